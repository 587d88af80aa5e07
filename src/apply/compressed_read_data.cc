#include "apply/compressed_read_data.h"

#include <LzmaDec.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "apply/zstd_frame.h"
#include "package/package_format.h"

namespace {

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* block) { std::free(block); }
ISzAlloc allocator = {&Allocate, &Release};
// The decoder's smallest dictionary.
constexpr uint64_t kSmallestDictionary = 4096;

}  // namespace

struct CCompressedReadData::Decoder {
  CLzmaDec state;
  Decoder() { LzmaDec_Construct(&state); }
  ~Decoder() {
    LzmaDec_FreeProbs(&state, &allocator);
    std::free(state.dic);
  }
};

// A frame's decoder, and the block it decodes next.
struct CCompressedReadData::Frame {
  ZstdFrame decoder;
  uint8_t block[ZstdFrame::kMaxBlock];
};

CCompressedReadData::CCompressedReadData(ReadFunction read, HANDLE file,
                                         uint64_t origin, uint64_t region,
                                         uint64_t limit,
                                         ICriticalSection* handleLock,
                                         StreamCodec streamCodec)
    : CFileReadData(read, file, origin, region, handleLock),
      decodedLimit(limit),
      codec(streamCodec) {}

CCompressedReadData::~CCompressedReadData() {
  delete decoder;
  delete frame;
}

void CCompressedReadData::Take(uint32_t count) {
  buffer.index += static_cast<int32_t>(count);
  consumed += count;
  available -= count;
  if (buffer.index == kStreamBufferSize) Fill();
}

bool CCompressedReadData::Gather(uint8_t* destination, uint32_t count) {
  while (count > 0) {
    if (available == 0) return false;
    const uint32_t piece = available < count ? available : count;
    std::memcpy(destination, buffer.Get(), piece);
    Take(piece);
    destination += piece;
    count -= piece;
  }
  return true;
}

void CCompressedReadData::Start() {
  state = kFailed;
  // A distance reaches back at most as far as the stream has decoded: a
  // dictionary that holds every byte the stream may hand out (one more for
  // the check that it ends) serves as well as the size the header names,
  // as long as the stream decodes no more than it holds.
  // A window's stream goes on for the windows after it that fit: none
  // starts further in than kMaxSharedSkip.
  uint64_t reach = windowed ? kMaxSharedSkip + decodedLimit : decodedLimit;
  if (codec == StreamCodec::kZstd) return StartFrame(reach);
  uint8_t header[LZMA_PROPS_SIZE];
  if (!Gather(header, LZMA_PROPS_SIZE)) return;
  uint32_t dictionary;
  std::memcpy(&dictionary, header + 1, 4);
  if (dictionary > uint32_t{1} << kMaxWindowLog) return;
  decoder = new (std::nothrow) Decoder;
  if (decoder == nullptr ||
      LzmaDec_AllocateProbs(&decoder->state, header, LZMA_PROPS_SIZE,
                            &allocator) != SZ_OK) {
    return;
  }
  uint64_t size = dictionary;
  if (reach < size) size = capacity = reach + 1;
  if (size < kSmallestDictionary) size = kSmallestDictionary;
  decoder->state.dic = static_cast<Byte*>(std::malloc(size));
  if (decoder->state.dic == nullptr) return;
  decoder->state.dicBufSize = size;
  LzmaDec_Init(&decoder->state);
  state = kRunning;
}

void CCompressedReadData::StartFrame(uint64_t reach) {
  uint8_t header[ZstdFrame::kMaxHeader];
  if (!Gather(header, ZstdFrame::kHeaderStart)) return;
  const uint32_t size = ZstdFrame::HeaderSize(header);
  if (size == 0 || !Gather(header + ZstdFrame::kHeaderStart,
                           size - ZstdFrame::kHeaderStart)) {
    return;
  }
  frame = new (std::nothrow) Frame;
  if (frame == nullptr ||
      !frame->decoder.Begin(header, size, kMaxWindowLog, reach)) {
    return;
  }
  if (reach < UINT64_MAX) capacity = reach + 1;
  state = kRunning;
}

uint32_t CCompressedReadData::DecodeFrame(uint8_t* destination,
                                          uint32_t count) {
  ZstdFrame& decoder = frame->decoder;
  uint32_t done = 0;
  while (state == kRunning && done < count) {
    const size_t pending = decoder.PendingSize();
    if (pending > 0) {
      const uint32_t piece = pending < count - done
                                 ? static_cast<uint32_t>(pending)
                                 : count - done;
      std::memcpy(destination + done, decoder.Pending(), piece);
      decoder.Take(piece);
      done += piece;
    } else if (decoder.Ended()) {
      state = kEnded;
    } else {
      uint8_t header[ZstdFrame::kBlockHeader];
      uint32_t size = 0;
      if (!Gather(header, ZstdFrame::kBlockHeader) ||
          !decoder.BlockHeader(header, &size) || !Gather(frame->block, size) ||
          !decoder.Block(frame->block, size)) {
        state = kFailed;
      }
    }
  }
  return done;
}

uint32_t CCompressedReadData::Decode(uint8_t* destination, uint32_t count) {
  if (state == kHeader) Start();
  if (count > capacity - produced)
    count = static_cast<uint32_t>(capacity - produced);
  if (codec == StreamCodec::kZstd) {
    const uint32_t done =
        state == kRunning ? DecodeFrame(destination, count) : 0;
    produced += done;
    return done;
  }
  uint32_t done = 0;
  while (state == kRunning && done < count) {
    SizeT in = available, out = count - done;
    ELzmaStatus status;
    SRes result =
        LzmaDec_DecodeToBuf(&decoder->state, destination + done, &out,
                            buffer.Get(), &in, LZMA_FINISH_ANY, &status);
    Take(static_cast<uint32_t>(in));
    done += static_cast<uint32_t>(out);
    if (result != SZ_OK) {
      state = kFailed;
    } else if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
      state = kEnded;
    } else if (in == 0 && out == 0) {
      state = kFailed;  // the block ran out inside the stream
    }
  }
  produced += done;
  return done;
}

void CCompressedReadData::Window(uint64_t discarded) {
  windowed = true;
  skip = discarded;
}

bool CCompressedReadData::NextWindow(uint64_t discarded, uint64_t length) {
  if (!windowed || state == kFailed || discarded < produced ||
      discarded + length >= capacity) {
    return false;
  }
  skip = discarded - produced;
  decodedLimit = length;
  decoded = 0;
  return true;
}

bool CCompressedReadData::Discard() {
  SharedArray<uint8_t> scratch;
  if (!scratch.TryAllocate(kStreamBufferSize)) return false;
  while (skip > 0) {
    uint32_t piece = skip < static_cast<uint64_t>(kStreamBufferSize)
                         ? static_cast<uint32_t>(skip)
                         : static_cast<uint32_t>(kStreamBufferSize);
    if (Decode(scratch.Get(), piece) != piece) return false;
    skip -= piece;
  }
  return true;
}

bool CCompressedReadData::Read(void* destination, uint32_t count,
                               uint32_t* delivered) {
  if (delivered == nullptr) return false;
  if (skip > 0 && !Discard()) {
    state = kFailed;
    *delivered = 0;
    return true;
  }
  if (count > decodedLimit - decoded) {
    count = static_cast<uint32_t>(decodedLimit - decoded);
  }
  *delivered = Decode(static_cast<uint8_t*>(destination), count);
  decoded += *delivered;
  if (*delivered > 0) ReportProgress(decoded);
  return true;
}

bool CCompressedReadData::Finished() {
  if (windowed) return skip == 0 && decoded == decodedLimit;
  uint8_t extra;
  return Decode(&extra, 1) == 0 && state == kEnded && available == 0 &&
         consumed == regionSize;
}
