#include "apply/compressed_read_data.h"

#include "package/package_format.h"

CCompressedReadData::CCompressedReadData(ReadFunction read, HANDLE file,
                                         uint64_t origin, uint64_t region,
                                         uint64_t limit)
    : CFileReadData(read, file, origin, region),
      decodedLimit(limit),
      context(ZSTD_createDCtx()) {
  if (context == nullptr || ZSTD_isError(ZSTD_DCtx_setParameter(
                                context, ZSTD_d_windowLogMax, kMaxWindowLog))) {
    state = kFailed;
  }
}

CCompressedReadData::~CCompressedReadData() { ZSTD_freeDCtx(context); }

void CCompressedReadData::Take(uint32_t count) {
  buffer.index += static_cast<int32_t>(count);
  consumed += count;
  available -= count;
  if (buffer.index == kStreamBufferSize) Fill();
}

uint32_t CCompressedReadData::Decode(uint8_t* destination, uint32_t count) {
  ZSTD_outBuffer out = {destination, count, 0};
  while (state == kRunning && out.pos < out.size) {
    ZSTD_inBuffer in = {buffer.Get(), available, 0};
    size_t before = out.pos;
    size_t result = ZSTD_decompressStream(context, &out, &in);
    Take(static_cast<uint32_t>(in.pos));
    if (ZSTD_isError(result)) {
      state = kFailed;
    } else if (result == 0) {
      state = kEnded;  // the frame is decoded and flushed
    } else if (in.pos == 0 && out.pos == before) {
      state = kFailed;  // the block ran out inside the frame
    }
  }
  return static_cast<uint32_t>(out.pos);
}

bool CCompressedReadData::Read(void* destination, uint32_t count,
                               uint32_t* delivered) {
  if (delivered == nullptr) return false;
  if (count > decodedLimit - decoded) {
    count = static_cast<uint32_t>(decodedLimit - decoded);
  }
  *delivered = Decode(static_cast<uint8_t*>(destination), count);
  decoded += *delivered;
  if (*delivered > 0) ReportProgress(decoded);
  return true;
}

bool CCompressedReadData::Finished() {
  uint8_t extra;
  return Decode(&extra, 1) == 0 && state == kEnded && available == 0 &&
         consumed == regionSize;
}
