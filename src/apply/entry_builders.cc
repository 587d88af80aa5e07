#include "apply/entry_builders.h"

#include <new>

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

ResultCode RebuildFile(CPatchThread& worker, HANDLE oldFile, HANDLE output,
                       const PackageEntry& entry) {
  const PackageLoader& loader = *worker.loader.Get();
  HANDLE package = loader.fileHandle.Get();
  uint64_t packageSize = loader.header.packageSize;
  if (entry.instructionSize == 0 || entry.instructionSize > INT32_MAX ||
      !InPackage(entry.instructionOffset, entry.instructionSize, packageSize) ||
      !InPackage(entry.literalOffset, entry.literalSize, packageSize)) {
    return ResultUpdateFailed;
  }
  SharedArray<uint8_t> instructions;
  try {
    instructions.Allocate(static_cast<int32_t>(entry.instructionSize));
  } catch (const std::bad_alloc&) {
    return ResultUpdateFailed;
  }
  DWORD read = 0;
  if (!SeekFile(package, loader.packageOffset + entry.instructionOffset) ||
      !ReadFile(package, instructions.Get(),
                static_cast<DWORD>(entry.instructionSize), &read, nullptr) ||
      read != entry.instructionSize) {
    return ResultUpdateFailed;
  }
  BitReader reader(instructions);

  // The literal stream reads ahead from the package handle as soon as it is
  // built, so the instruction block must be in memory first.
  if (!SeekFile(package, loader.packageOffset + entry.literalOffset)) {
    return ResultUpdateFailed;
  }
  SharedArray<CFileReadData> literal;
  literal.Attach(new CFileReadData(&::ReadFile, package, entry.literalSize), 1);
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

  if (!DeltaDecoder::Decode(*old.Get(), writer, reader, *literal.Get())) {
    return ResultUpdateFailed;
  }
  return writer.Flush() ? ResultSuccess : ResultUpdateFailed;
}

ResultCode WriteAddedFile(const PackageEntry& entry, CPatchThread& worker,
                          HANDLE output) {
  const PackageLoader& loader = *worker.loader.Get();
  HANDLE package = loader.fileHandle.Get();
  if (!InPackage(entry.literalOffset, entry.literalSize,
                 loader.header.packageSize) ||
      !SeekFile(package, loader.packageOffset + entry.literalOffset)) {
    return ResultCreateFailed;
  }
  SharedArray<uint8_t> buffer;
  buffer.Allocate(kStreamBufferSize);
  ProgressPace pace(worker.dialogWindow);
  auto context = reinterpret_cast<uintptr_t>(&pace);
  ReportProgress(0, entry.literalSize, context);
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
