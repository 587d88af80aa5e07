// SHA-256 of a 256 MiB file through HashWholeFile, side by side with
// `openssl dgst -sha256` (OpenSSL's SHA-extension code, the anchor) and
// `sha256sum`, on the same file in the page cache, best of five each.
#include <cstdio>
#include <cstring>

#include "bench_util.h"
#include "package/file_hash.h"
#include "package/sha256_compress.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256) << 20;
  fs::path file = fs::temp_directory_path() / "selfpatch-hash-bench.bin";
  bench::WriteFile(file, bench::RandomData(size, 1));
  bench::Command("cat '" + file.string() + "'");  // into the page cache

  WString wide;
  for (char c : file.string()) wide += static_cast<WCHAR>(c);
  HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  double ours = bench::BestOf(5, [&] { HashWholeFile(handle, hash); });
  CloseHandle(handle);
  double openssl = bench::BestOf(5, [&] {
    bench::Command("openssl dgst -sha256 '" + file.string() + "'");
  });
  double sha256sum = bench::BestOf(
      5, [&] { bench::Command("sha256sum '" + file.string() + "'"); });
  std::vector<uint8_t> block(size);
  uint32_t state[8] = {};
  double portable = bench::BestOf(1, [&] {
    Sha256CompressPortable(state, block.data(), block.size() / 64);
  });
  fs::remove(file);

  std::printf("SHA-256 of %llu MiB (page cache), best of 5\n",
              static_cast<unsigned long long>(size >> 20));
  std::printf("  %-34s %8.0f MiB/s\n", "HashWholeFile",
              bench::MiBPerSecond(size, ours));
  std::printf("  %-34s %8.0f MiB/s\n", "openssl dgst -sha256",
              bench::MiBPerSecond(size, openssl));
  std::printf("  %-34s %8.0f MiB/s\n", "sha256sum",
              bench::MiBPerSecond(size, sha256sum));
  std::printf("  %-34s %8.0f MiB/s (memory, no file)\n", "portable compression",
              bench::MiBPerSecond(size, portable));
  std::printf("  SHA extensions: %s\n",
              Sha256ShaExtensionsAvailable() ? "used" : "not available");
  std::printf("  HashWholeFile / openssl: %.2f\n", openssl / ours);
  return 0;
}
