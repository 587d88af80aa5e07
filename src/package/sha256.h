// SHA-256 (FIPS 180-4) behind the system's digest interface.
#pragma once

#include <cstdint>

class IHashCode {
 public:
  virtual ~IHashCode() = default;
  virtual void Init() = 0;
  virtual void Update(const void* data, uint32_t count) = 0;
  // Pads and finishes the digest; the next message starts with Init.
  virtual void Final() = 0;
  virtual void GetDigest(uint8_t* out) = 0;
  virtual uint32_t GetDigestSize() = 0;

  // XORs digest byte i into out[i % length]; length >= 1.
  virtual void FoldDigest(uint8_t* out, uint32_t length);
  // Compares the finished digest with `expected` over all its bytes.
  virtual bool CompareDigest(const uint8_t* expected);
  // Compares the digest folded to `length` (1..64) bytes.
  virtual bool CompareFoldedDigest(const uint8_t* expected, uint32_t length);
};

class CHashSHA256 : public IHashCode {
 public:
  CHashSHA256();
  void Init() override;
  void Update(const void* data, uint32_t count) override;
  void Final() override;
  void GetDigest(uint8_t* out) override;
  uint32_t GetDigestSize() override { return 32; }

 private:
  uint32_t state[8];
  uint32_t bitCountLow;
  uint32_t bitCountHigh;
  uint8_t block[64];
  uint32_t fill;
};
