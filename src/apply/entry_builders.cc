#include "apply/entry_builders.h"

#include <new>

#include "apply/compressed_read_data.h"
#include "apply/delta_decoder.h"
#include "apply/file_data.h"
#include "apply/patch_thread.h"
#include "package/file_hash.h"

namespace {

// Whether [offset, offset + size) lies inside the package.
bool InPackage(uint64_t offset, uint64_t size, uint64_t packageSize) {
  return offset <= packageSize && size <= packageSize - offset;
}

}  // namespace

DWORD ReportProgress(uint64_t done, uint64_t total, uintptr_t context) {
  ProgressPace& pace = *reinterpret_cast<ProgressPace*>(context);
  double fraction = 1.0;
  if (total != 0 && done < total) {
    fraction = static_cast<double>(done) / static_cast<double>(total);
  }
  int64_t position = ProgressPosition(fraction);
  if (position == pace.shown) return 1;
  if (pace.shown >= 0 && position < kProgressRange &&
      GetTickCount64() - pace.sentAt < kProgressInterval) {
    return 1;
  }
  pace.shown = position;
  SendMessageW(pace.dialog, WM_PATCH_PROGRESS,
               reinterpret_cast<WPARAM>(&fraction), 0);
  pace.sentAt = GetTickCount64();
  return 1;
}

namespace {

// Reads a plain instruction block into `instructions`.
bool ReadPlainInstructions(HANDLE package, uint64_t position, uint64_t size,
                           SharedArray<uint8_t>* instructions) {
  if (size == 0 || size > INT32_MAX) return false;
  try {
    instructions->Allocate(static_cast<int32_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  DWORD read = 0;
  return SeekFile(package, position) &&
         ReadFile(package, instructions->Get(), static_cast<DWORD>(size), &read,
                  nullptr) &&
         read == size;
}

// Decodes the stream of `size` bytes at `position` and checks that it
// holds exactly `count` bytes; keeps them in `destination` when one is
// given, else passes them through a small buffer.
bool DecodeExactly(HANDLE package, uint64_t position, uint64_t size,
                   uint32_t count, uint8_t* destination) {
  if (!SeekFile(package, position)) return false;
  SharedArray<CCompressedReadData> stream;
  stream.Attach(new CCompressedReadData(&::ReadFile, package, size, count), 1);
  SharedArray<uint8_t> scratch;
  if (destination == nullptr) scratch.Allocate(kStreamBufferSize);
  uint32_t left = count;
  while (left > 0) {
    uint8_t* target =
        destination != nullptr ? destination + (count - left) : scratch.Get();
    uint32_t piece = destination != nullptr ||
                             left < static_cast<uint32_t>(kStreamBufferSize)
                         ? left
                         : static_cast<uint32_t>(kStreamBufferSize);
    uint32_t delivered = 0;
    stream.Get()->Read(target, piece, &delivered);
    if (delivered != piece) return false;
    left -= piece;
  }
  return stream.Get()->Finished();
}

// Decodes a compressed instruction block (its count of instruction bytes,
// then their stream) into `instructions`: exactly that many bytes, then the
// stream's end. The stream is decoded once before the memory is taken, so
// that a count the stream does not back reserves nothing.
bool ReadCompressedInstructions(HANDLE package, uint64_t position,
                                uint64_t size,
                                SharedArray<uint8_t>* instructions) {
  uint32_t count = 0;
  DWORD read = 0;
  if (size < 4 || !SeekFile(package, position) ||
      !ReadFile(package, &count, 4, &read, nullptr) || read != 4 ||
      count == 0 || count > INT32_MAX ||
      !DecodeExactly(package, position + 4, size - 4, count, nullptr)) {
    return false;
  }
  try {
    instructions->Allocate(static_cast<int32_t>(count));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return DecodeExactly(package, position + 4, size - 4, count,
                       instructions->Get());
}

}  // namespace

ResultCode RebuildFile(CPatchThread& worker, HANDLE oldFile, HANDLE output,
                       const PackageEntry& entry) {
  const PackageLoader& loader = *worker.loader.Get();
  HANDLE package = loader.fileHandle.Get();
  uint64_t packageSize = loader.header.packageSize;
  bool compressed = (loader.header.flags & PackageFlagCompressed) != 0;
  if (!InPackage(entry.instructionOffset, entry.instructionSize, packageSize) ||
      !InPackage(entry.literalOffset, entry.literalSize, packageSize)) {
    return ResultUpdateFailed;
  }
  uint64_t position = loader.packageOffset + entry.instructionOffset;
  SharedArray<uint8_t> instructions;
  if (!(compressed
            ? ReadCompressedInstructions(package, position,
                                         entry.instructionSize, &instructions)
            : ReadPlainInstructions(package, position, entry.instructionSize,
                                    &instructions))) {
    return ResultUpdateFailed;
  }
  BitReader reader(instructions);

  // The literal stream reads ahead from the package handle as soon as it is
  // built, so the instruction block must be in memory first.
  if (!SeekFile(package, loader.packageOffset + entry.literalOffset)) {
    return ResultUpdateFailed;
  }
  SharedArray<CFileReadData> literal;
  literal.Attach(
      compressed ? new CCompressedReadData(&::ReadFile, package,
                                           entry.literalSize, entry.newSize)
                 : new CFileReadData(&::ReadFile, package, entry.literalSize),
      1);
  SharedArray<CFileReadData> old;
  old.Attach(new CFileReadData(oldFile), 1);
  SharedArray<CFileWriteData> out;
  out.Attach(new CFileWriteData(output), 1);
  CFileWriteData& writer = *out.Get();
  ProgressPace pace(worker.dialogWindow);
  writer.progressCallback = &ReportProgress;
  writer.progressContext = reinterpret_cast<uintptr_t>(&pace);
  if (entry.newSize != 0) writer.progressTotal = entry.newSize;
  ReportProgress(0, writer.progressTotal, writer.progressContext);

  if (!DeltaDecoder::Decode(*old.Get(), writer, reader, *literal.Get()) ||
      (compressed &&
       !static_cast<CCompressedReadData*>(literal.Get())->Finished())) {
    return ResultUpdateFailed;
  }
  return writer.Flush() ? ResultSuccess : ResultUpdateFailed;
}

namespace {

// An added entry's compressed block, decoded into `output`: exactly newSize
// bytes, and then the stream's end.
ResultCode WriteDecodedFile(const PackageEntry& entry, HANDLE package,
                            uintptr_t progress, HANDLE output) {
  SharedArray<CCompressedReadData> stream;
  stream.Attach(new CCompressedReadData(&::ReadFile, package, entry.literalSize,
                                        entry.newSize),
                1);
  SharedArray<uint8_t> buffer;
  buffer.Allocate(kStreamBufferSize);
  uint64_t remaining = entry.newSize;
  while (remaining > 0) {
    uint32_t chunk = remaining < static_cast<uint64_t>(kStreamBufferSize)
                         ? static_cast<uint32_t>(remaining)
                         : static_cast<uint32_t>(kStreamBufferSize);
    uint32_t delivered = 0;
    stream.Get()->Read(buffer.Get(), chunk, &delivered);
    DWORD moved = 0;
    if (delivered != chunk ||
        !WriteFile(output, buffer.Get(), chunk, &moved, nullptr) ||
        moved != chunk) {
      return ResultCreateFailed;
    }
    remaining -= chunk;
    ReportProgress(entry.newSize - remaining, entry.newSize, progress);
  }
  return stream.Get()->Finished() ? ResultSuccess : ResultCreateFailed;
}

}  // namespace

ResultCode WriteAddedFile(const PackageEntry& entry, CPatchThread& worker,
                          HANDLE output) {
  const PackageLoader& loader = *worker.loader.Get();
  HANDLE package = loader.fileHandle.Get();
  if (!InPackage(entry.literalOffset, entry.literalSize,
                 loader.header.packageSize) ||
      !SeekFile(package, loader.packageOffset + entry.literalOffset)) {
    return ResultCreateFailed;
  }
  ProgressPace pace(worker.dialogWindow);
  auto context = reinterpret_cast<uintptr_t>(&pace);
  ReportProgress(0, entry.newSize, context);
  if (loader.header.flags & PackageFlagCompressed) {
    return WriteDecodedFile(entry, package, context, output);
  }
  SharedArray<uint8_t> buffer;
  buffer.Allocate(kStreamBufferSize);
  uint64_t remaining = entry.literalSize;
  uint64_t done = 0;
  while (remaining > 0) {
    DWORD chunk = remaining < static_cast<uint64_t>(kStreamBufferSize)
                      ? static_cast<DWORD>(remaining)
                      : static_cast<DWORD>(kStreamBufferSize);
    done += chunk;
    DWORD moved = 0;
    if (!ReadFile(package, buffer.Get(), chunk, &moved, nullptr) ||
        moved != chunk) {
      return ResultCreateFailed;
    }
    if (!WriteFile(output, buffer.Get(), chunk, &moved, nullptr) ||
        moved != chunk) {
      return ResultCreateFailed;
    }
    remaining -= chunk;
    ReportProgress(done, entry.literalSize, context);
  }
  return ResultSuccess;
}
