// Rebuilding a 256 MiB file (mostly Copy, a Replace every MiB, an Insert
// every 4 MiB) through the decoder and the 64 KiB streams, with a cheap
// progress callback installed, side by side with a plain copy of the same
// bytes through the same 64 KiB buffers (the floor). Files in page cache;
// best of five each, interleaved.
#include <cstdio>

#include "apply/delta_decoder.h"
#include "bench_util.h"
#include "package/file_hash.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::Instruction;

namespace {

uint64_t g_reports = 0;
DWORD CountProgress(uint64_t, uint64_t, uintptr_t) {
  ++g_reports;
  return 1;
}

HANDLE Open(const fs::path& path, DWORD access, DWORD disposition) {
  return CreateFileW(testing_support::Wide(path).c_str(), access,
                     FILE_SHARE_READ, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256) << 20;
  fs::path dir = fs::temp_directory_path() / "selfpatch-rebuild-bench";
  fs::create_directories(dir);
  std::vector<uint8_t> old = bench::RandomData(size, 2);
  bench::WriteFile(dir / "old", old);

  std::vector<Instruction> program;
  std::vector<uint8_t> literal;
  const uint32_t kMiB = 1 << 20;
  for (uint64_t at = 0; at < size; at += kMiB) {
    program.push_back({0, kMiB - 64});  // Copy
    program.push_back({3, 64});         // Replace
    literal.insert(literal.end(), 64, 0x5A);
    if ((at / kMiB) % 4 == 3) {
      program.push_back({1, 100});  // Insert
      literal.insert(literal.end(), 100, 0xA5);
    }
  }
  std::vector<uint8_t> instructions =
      testing_support::EncodeInstructions(program);
  bench::WriteFile(dir / "literal", literal);
  bench::Command("cat '" + (dir / "old").string() + "'");

  uint64_t outSize = 0;
  auto runRebuild = [&] {
    HANDLE oldFile = Open(dir / "old", GENERIC_READ, OPEN_EXISTING);
    HANDLE literalFile = Open(dir / "literal", GENERIC_READ, OPEN_EXISTING);
    HANDLE outFile = Open(dir / "rebuilt", GENERIC_WRITE, CREATE_ALWAYS);
    {
      SharedArray<uint8_t> block;
      block.Allocate(static_cast<int32_t>(instructions.size()));
      std::copy(instructions.begin(), instructions.end(), block.data);
      BitReader reader(block);
      CFileReadData oldStream(oldFile);
      CFileReadData literalStream(&::ReadFile, literalFile, 0, literal.size());
      CFileWriteData output(outFile);
      output.progressCallback = &CountProgress;
      output.progressTotal = size;
      g_reports = 0;
      DeltaDecoder::Decode(oldStream, output, reader, literalStream);
      output.Flush();
      outSize = output.written;
    }
    CloseHandle(oldFile);
    CloseHandle(literalFile);
    CloseHandle(outFile);
  };

  std::vector<uint8_t> buffer(65536);
  auto runCopy = [&] {
    HANDLE in = Open(dir / "old", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = Open(dir / "copied", GENERIC_WRITE, CREATE_ALWAYS);
    DWORD moved = 0;
    while (ReadFile(in, buffer.data(), 65536, &moved, nullptr) && moved > 0) {
      WriteFile(out, buffer.data(), moved, &moved, nullptr);
    }
    CloseHandle(in);
    CloseHandle(out);
  };
  // Interleaved, so that neither gains from running first or last.
  double rebuild = 1e30, copy = 1e30;
  for (int round = 0; round < 5; ++round) {
    rebuild = std::min(rebuild, bench::BestOf(1, runRebuild));
    copy = std::min(copy, bench::BestOf(1, runCopy));
  }
  fs::remove_all(dir);

  std::printf(
      "Rebuild of %llu MiB (%zu instructions, %zu literal bytes), "
      "best of 5\n",
      static_cast<unsigned long long>(size >> 20), program.size(),
      literal.size());
  std::printf("  %-30s %7.3f s %7.0f MiB/s  (%llu progress reports)\n",
              "DeltaDecoder::Decode", rebuild,
              bench::MiBPerSecond(outSize, rebuild),
              static_cast<unsigned long long>(g_reports));
  std::printf("  %-30s %7.3f s %7.0f MiB/s\n", "plain 64 KiB copy", copy,
              bench::MiBPerSecond(size, copy));
  std::printf("  rebuild / copy: %.2fx the time\n", rebuild / copy);
  return 0;
}
