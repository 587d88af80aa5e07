#include "apply/entry_builders.h"

#include "apply/code_transform.h"
#include "apply/compressed_read_data.h"
#include "apply/delta_decoder.h"
#include "apply/file_data.h"
#include "apply/patch_thread.h"
#include "apply/read_ahead_data.h"
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
  if (pace.shown >= 0 && position < kProgressRange) {
    if (done < pace.clockAt) return 1;
    pace.clockAt = done + kProgressClockBytes;
    if (GetTickCount64() - pace.sentAt < kProgressInterval) return 1;
  }
  pace.shown = position;
  SendMessageW(pace.dialog, WM_PATCH_PROGRESS,
               reinterpret_cast<WPARAM>(&fraction), 0);
  pace.sentAt = GetTickCount64();
  return 1;
}

namespace {

// Reads a plain instruction block into `instructions`, holding `lock`.
bool ReadPlainInstructions(HANDLE package, uint64_t position, uint64_t size,
                           ICriticalSection* lock,
                           SharedArray<uint8_t>* instructions) {
  if (size == 0 || size > INT32_MAX) return false;
  if (!instructions->TryAllocate(static_cast<int32_t>(size))) return false;
  CAutoLock guard(lock);
  DWORD read = 0;
  return SeekFile(package, position) &&
         ReadFile(package, instructions->Get(), static_cast<DWORD>(size), &read,
                  nullptr) &&
         read == size;
}

// Decodes the stream of `size` bytes at `position` and checks that it
// holds exactly `count` bytes; keeps them in `destination` when one is
// given, else passes them through a small buffer. Every load from the
// package holds `lock`.
bool DecodeExactly(HANDLE package, uint64_t position, uint64_t size,
                   uint32_t count, ICriticalSection* lock, StreamCodec codec,
                   uint8_t* destination) {
  SharedArray<CCompressedReadData> stream;
  stream.Attach(new CCompressedReadData(&::ReadFile, package, position, size,
                                        count, lock, codec),
                1);
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

// Instruction counts up to this, or up to kTrustedExpansion times their
// stream's size, are taken at their word: the memory is as much as the
// package itself could ask for.
constexpr uint32_t kTrustedInstructions = 1u << 20;
constexpr uint64_t kTrustedExpansion = 16;

// Decodes a compressed instruction block (its count of instruction bytes,
// then their stream) into `instructions`: exactly that many bytes, then the
// stream's end. A count larger than its stream can plausibly hold is
// decoded once before the memory is taken, so that a count the stream does
// not back reserves nothing; others are decoded once, in place. Every load
// from the package holds `lock`.
bool ReadCompressedInstructions(HANDLE package, uint64_t position,
                                uint64_t size, ICriticalSection* lock,
                                StreamCodec codec,
                                SharedArray<uint8_t>* instructions) {
  uint32_t count = 0;
  DWORD read = 0;
  {
    CAutoLock guard(lock);
    if (size < 4 || !SeekFile(package, position) ||
        !ReadFile(package, &count, 4, &read, nullptr) || read != 4 ||
        count == 0 || count > INT32_MAX) {
      return false;
    }
  }
  const bool trusted =
      count <= kTrustedInstructions || count / kTrustedExpansion <= size - 4;
  if (!trusted && !DecodeExactly(package, position + 4, size - 4, count, lock,
                                 codec, nullptr)) {
    return false;
  }
  if (!instructions->TryAllocate(static_cast<int32_t>(count))) return false;
  return DecodeExactly(package, position + 4, size - 4, count, lock, codec,
                       instructions->Get());
}

// Where the parts of a seeking instruction block lie in the package file,
// and the transform it names.
struct SeekingBlock {
  uint64_t instructions = 0, instructionSize = 0;
  uint64_t differences = 0, differenceSize = 0;
  TransformParameters transform;
};

// The largest parameters a transform can have.
constexpr uint32_t kMaxParameterSize = 12 + 16 * 2 * kMaxCodeRanges;

// Reads the head of a seeking block of `size` bytes at `position`: the
// size of the transform's parameters (present exactly when the entry names
// a transform) and of the instruction part; the rest is the difference
// part. Holds `lock` while it reads.
bool ReadSeekingBlock(HANDLE package, uint64_t position, uint64_t size,
                      const PackageEntry& entry, bool transformed,
                      ICriticalSection* lock, SeekingBlock* block) {
  uint32_t sizes[2];
  DWORD read = 0;
  CAutoLock guard(lock);
  if (size < 8 || !SeekFile(package, position) ||
      !ReadFile(package, sizes, 8, &read, nullptr) || read != 8) {
    return false;
  }
  const uint64_t parameters = sizes[0], part = sizes[1];
  if (parameters > size - 8 || part > size - 8 - parameters ||
      transformed != (parameters != 0) || parameters > kMaxParameterSize) {
    return false;
  }
  if (transformed) {
    uint8_t bytes[kMaxParameterSize];
    if (!ReadFile(package, bytes, sizes[0], &read, nullptr) ||
        read != sizes[0] ||
        !ParseTransformParameters(bytes, sizes[0], entry.oldSize, entry.newSize,
                                  &block->transform)) {
      return false;
    }
  }
  block->instructions = position + 8 + parameters;
  block->instructionSize = part;
  block->differences = block->instructions + part;
  block->differenceSize = size - 8 - parameters - part;
  return true;
}

// Reads the SharedLiteral that is the literal block of `size` bytes at
// `position`, holding `lock`, and checks that it places a window of the
// entry's size in the package.
bool ReadSharedLiteral(HANDLE package, uint64_t position, uint64_t size,
                       const PackageEntry& entry, uint64_t packageSize,
                       ICriticalSection* lock, SharedLiteral* shared) {
  DWORD read = 0;
  CAutoLock guard(lock);
  return size == sizeof *shared && SeekFile(package, position) &&
         ReadFile(package, shared, sizeof *shared, &read, nullptr) &&
         read == sizeof *shared &&
         InPackage(shared->streamOffset, shared->streamSize, packageSize) &&
         shared->skip <= kMaxSharedSkip && shared->length > 0 &&
         shared->length <= entry.newSize;
}

// A stream over a data block; when `compressed`, decoded on a thread of its
// own ahead of the reader. Every stream over the package on more than one
// thread holds `packageLock` for its loads.
CFileReadData* BlockStream(HANDLE package, uint64_t position, uint64_t size,
                           bool compressed, StreamCodec codec,
                           uint64_t decodedLimit,
                           ICriticalSection* packageLock) {
  if (compressed) {
    SharedArray<CCompressedReadData> stream;
    stream.Attach(new CCompressedReadData(&::ReadFile, package, position, size,
                                          decodedLimit, packageLock, codec),
                  1);
    return new CReadAheadData(stream);
  }
  return new CFileReadData(&::ReadFile, package, position, size, packageLock);
}

// The window `shared` places in the stream of `size` bytes at `position`:
// the worker's last shared stream moved on, when it is that stream and has
// not passed the window, or else the stream from its start.
CFileReadData* WindowStream(CPatchThread& worker, HANDLE package,
                            uint64_t position, uint64_t size,
                            const SharedLiteral& shared) {
  CCompressedReadData* last = worker.sharedLiteral.data;
  if (last == nullptr || last->origin != position || last->regionSize != size ||
      !last->NextWindow(shared.skip, shared.length)) {
    worker.sharedLiteral.Attach(
        new CCompressedReadData(&::ReadFile, package, position, size,
                                shared.length, &worker.packageLock),
        1);
    worker.sharedLiteral.Get()->Window(shared.skip);
  }
  return new CReadAheadData(worker.sharedLiteral);
}

// A stream that was read to its end.
bool Finished(CFileReadData* stream, bool compressed) {
  return compressed ? static_cast<CReadAheadData*>(stream)->Finished()
                    : stream->consumed == stream->regionSize;
}

}  // namespace

ResultCode OpenBlocks(CPatchThread& worker, const PackageEntry& entry,
                      OpenedBlocks* opened) {
  const PackageLoader& loader = *worker.loader.Get();
  HANDLE package = loader.fileHandle.Get();
  uint64_t packageSize = loader.header.packageSize;
  bool compressed = (loader.header.flags & PackageFlagCompressed) != 0;
  uint32_t options = (loader.header.flags & PackageFlagEntryOptions) != 0
                         ? entry.kind & 0xFFFF0000u
                         : 0;
  bool seeking = (options & EntryOptionSeeking) != 0;
  bool shared = (options & EntryOptionSharedLiteral) != 0;
  bool zstd = (options & EntryOptionZstd) != 0;
  opened->compressed = compressed;
  opened->codec = zstd ? StreamCodec::kZstd : StreamCodec::kLzma;
  opened->seeking = seeking;
  opened->grouped = (options & EntryOptionGrouped) != 0;
  opened->transform = (options & kEntryTransformMask) >> kEntryTransformShift;
  if (!InPackage(entry.instructionOffset, entry.instructionSize, packageSize) ||
      !InPackage(entry.literalOffset, entry.literalSize, packageSize) ||
      (options & ~kEntryOptionsKnown) != 0 ||
      opened->transform > kTransformX64 ||
      ((opened->transform != kTransformNone || opened->grouped) && !seeking) ||
      (shared && !compressed) ||
      (zstd && (!compressed || !seeking || shared))) {
    return ResultUpdateFailed;
  }
  uint64_t literalAt = loader.packageOffset + entry.literalOffset;
  uint64_t literalSize = entry.literalSize;
  SharedLiteral window;
  if (shared) {
    if (!ReadSharedLiteral(package, literalAt, literalSize, entry, packageSize,
                           &worker.packageLock, &window)) {
      return ResultUpdateFailed;
    }
    literalAt = loader.packageOffset + window.streamOffset;
    literalSize = window.streamSize;
  }
  SeekingBlock block;
  block.instructions = loader.packageOffset + entry.instructionOffset;
  block.instructionSize = entry.instructionSize;
  if (seeking &&
      !ReadSeekingBlock(package, block.instructions, entry.instructionSize,
                        entry, opened->transform != kTransformNone,
                        &worker.packageLock, &block)) {
    return ResultUpdateFailed;
  }
  opened->instructions = block.instructions;
  opened->instructionSize = block.instructionSize;
  opened->parameters = block.transform;

  // An empty difference part is an empty stream in both forms.
  opened->compressedDifferences = compressed && block.differenceSize > 0;
  opened->literal.Attach(
      shared ? WindowStream(worker, package, literalAt, literalSize, window)
             : BlockStream(package, literalAt, literalSize, compressed,
                           opened->codec, entry.newSize, &worker.packageLock),
      1);
  // Counted differences take at most two bytes for each byte the Adds
  // build, and a count of the zeros after the last.
  const uint64_t differenceLimit =
      entry.newSize < UINT64_MAX / 2 ? entry.newSize * 2 + 1 : UINT64_MAX;
  opened->differences.Attach(
      BlockStream(package, block.differences, block.differenceSize,
                  opened->compressedDifferences, opened->codec, differenceLimit,
                  &worker.packageLock),
      1);
  return ResultSuccess;
}

namespace {

// The rest of RebuildFile, once a seeking entry's old file (`old`) is being
// proven.
ResultCode Rebuild(CPatchThread& worker, OpenedBlocks& blocks,
                   COldFileReader* old, HANDLE oldFile, HANDLE output,
                   const CodeTransform* newCode, const PackageEntry& entry) {
  // The streams may be loading from the package on their own threads.
  HANDLE package = worker.loader.Get()->fileHandle.Get();
  SharedArray<uint8_t> instructions;
  if (!(blocks.compressed
            ? ReadCompressedInstructions(
                  package, blocks.instructions, blocks.instructionSize,
                  &worker.packageLock, blocks.codec, &instructions)
            : ReadPlainInstructions(package, blocks.instructions,
                                    blocks.instructionSize, &worker.packageLock,
                                    &instructions))) {
    return ResultUpdateFailed;
  }
  SharedArray<CFileWriteData> out;
  out.Attach(new CFileWriteData(output), 1);
  CFileWriteData& writer = *out.Get();
  writer.transform = newCode;
  ProgressPace pace(worker.dialogWindow);
  writer.progressCallback = &ReportProgress;
  writer.progressContext = reinterpret_cast<uintptr_t>(&pace);
  if (entry.newSize != 0) writer.progressTotal = entry.newSize;
  ReportProgress(0, writer.progressTotal, writer.progressContext);

  CFileReadData& literal = *blocks.literal.Get();
  bool decoded;
  if (blocks.seeking) {
    SharedArray<ISeekingSteps> steps;
    steps.Attach(blocks.grouped ? static_cast<ISeekingSteps*>(
                                      new CGroupedSteps(instructions))
                                : new CBitSteps(instructions),
                 1);
    decoded =
        DeltaDecoder::DecodeSeeking(*old, writer, *steps.Get(), literal,
                                    *blocks.differences.Get(), entry.newSize);
  } else {
    SharedArray<CFileReadData> ordered;
    ordered.Attach(new CFileReadData(oldFile), 1);
    BitReader reader(instructions);
    decoded = DeltaDecoder::Decode(*ordered.Get(), writer, reader, literal);
  }
  // The ordered form's plain literal block may hold bytes it never takes;
  // every other stream is taken to its end.
  if (!decoded ||
      ((blocks.seeking || blocks.compressed) &&
       !Finished(&literal, blocks.compressed)) ||
      !Finished(blocks.differences.Get(), blocks.compressedDifferences)) {
    return ResultUpdateFailed;
  }
  return writer.Flush() ? ResultSuccess : ResultUpdateFailed;
}

}  // namespace

ResultCode RebuildFile(CPatchThread& worker, OpenedBlocks& blocks,
                       HANDLE oldFile, HANDLE output,
                       const PackageEntry& entry) {
  const TransformParameters& parameters = blocks.parameters;
  CodeTransform oldCode(blocks.transform, parameters.width, parameters.old);
  CodeTransform newCode(blocks.transform, parameters.width, parameters.target);
  bool transformed = blocks.transform != kTransformNone;
  if (!blocks.seeking) {
    return Rebuild(worker, blocks, nullptr, oldFile, output, nullptr, entry);
  }
  SharedArray<COldFileReader> old;
  old.Attach(new COldFileReader(oldFile, transformed ? &oldCode : nullptr), 1);
  if (!old.Get()->Prove(entry.oldDigest)) return ResultSourceMismatch;
  ResultCode code = Rebuild(worker, blocks, old.Get(), oldFile, output,
                            transformed ? &newCode : nullptr, entry);
  // Whatever the rebuild made of it, a fault counts only once the old file
  // is the one the entry names.
  return old.Get()->Proven() ? code : ResultSourceMismatch;
}

namespace {

// An added entry's compressed block, decoded into `output`: exactly newSize
// bytes, and then the stream's end.
ResultCode WriteDecodedFile(const PackageEntry& entry, HANDLE package,
                            uint64_t position, uintptr_t progress,
                            HANDLE output) {
  SharedArray<CCompressedReadData> stream;
  stream.Attach(new CCompressedReadData(&::ReadFile, package, position,
                                        entry.literalSize, entry.newSize),
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
    return WriteDecodedFile(entry, package,
                            loader.packageOffset + entry.literalOffset, context,
                            output);
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
