// A data block of a package with PackageFlagCompressed: a stream that hands
// out what the block decodes to, through the same interface as the plain
// block's reader.
#pragma once

#include <cstdint>

#include "apply/file_data.h"

// How a stream is coded: an LZMA stream, or a Zstandard frame (see
// EntryOptionZstd).
enum class StreamCodec { kLzma, kZstd };

// Reads the compressed block of `regionSize` bytes at the file offset
// `origin`, 64 KiB at a time, and decodes it into the caller's buffer:
// memory is the read buffer, the decoder's tables and the stream's
// dictionary (a frame's window and one block), no larger than what the
// stream may decode to and at most 64 MiB, whatever the sizes. A damaged
// stream, one whose dictionary is too large, or one that ends, hands out fewer
// bytes than asked, as an exhausted plain block does; so does a read past
// `decodedLimit` bytes (what the entry's new file bounds the block to), which
// keeps a stream that expands without end from filling the disk.
class CCompressedReadData : public CFileReadData {
 public:
  CCompressedReadData(ReadFunction read, HANDLE file, uint64_t origin,
                      uint64_t regionSize, uint64_t decodedLimit,
                      ICriticalSection* handleLock = nullptr,
                      StreamCodec codec = StreamCodec::kLzma);
  ~CCompressedReadData() override;

  bool Read(void* destination, uint32_t count, uint32_t* delivered) override;
  // Makes the stream a window of one that several entries share: its first
  // `skip` decoded bytes are discarded before the first Read hands any out,
  // and decodedLimit bytes after them are the window's. Before any Read.
  void Window(uint64_t skip);
  // Moves a window on to the `length` bytes after the stream's first
  // `skip`, decoding on from where the last one stopped; false (and the
  // window as it was) when the stream has failed, decoded past `skip`, or
  // has a dictionary too small for the new window's end.
  bool NextWindow(uint64_t skip, uint64_t length);
  // True when every decoded byte has been read, the stream ended with its
  // end marker, and nothing follows it in the block; for a window, when it
  // was read whole, as the rest of the stream is other entries'.
  bool Finished();

  uint64_t decodedLimit;
  uint64_t decoded = 0;

 private:
  enum State { kHeader, kRunning, kEnded, kFailed };
  struct Decoder;
  struct Frame;
  // Reads the stream's header and sets the decoder up for it.
  void Start();
  void StartFrame(uint64_t reach);
  // Decodes up to `count` bytes into `destination`; returns how many.
  uint32_t Decode(uint8_t* destination, uint32_t count);
  uint32_t DecodeFrame(uint8_t* destination, uint32_t count);
  // Moves `count` compressed bytes out of the read buffer.
  void Take(uint32_t count);
  // Moves the next `count` compressed bytes to `destination`; false when
  // the block holds fewer.
  bool Gather(uint8_t* destination, uint32_t count);
  // Decodes the bytes before the window and drops them; false when the
  // stream holds fewer.
  bool Discard();

  StreamCodec codec;
  Decoder* decoder = nullptr;
  Frame* frame = nullptr;
  State state = kHeader;
  // Bytes decoded, and how many the dictionary allows.
  uint64_t produced = 0;
  uint64_t capacity = UINT64_MAX;
  bool windowed = false;
  uint64_t skip = 0;  // still to discard
};
