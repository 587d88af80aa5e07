#include "apply/file_data.h"

#include <cstring>

#include "package/file_hash.h"

IFileDataBase::IFileDataBase(HANDLE file) : handle(file) {
  buffer.Allocate(kStreamBufferSize);
}

IFileDataBase::~IFileDataBase() = default;

CFileReadData::CFileReadData(HANDLE file, const CodeTransform* code)
    : IFileDataBase(file),
      origin(0),
      regionSize(0),
      transform(code),
      transfer(&::ReadFile) {
  FileSize(file, &regionSize);
  Fill();
}

CFileReadData::CFileReadData(ReadFunction read, HANDLE file, uint64_t start,
                             uint64_t region)
    : IFileDataBase(file), origin(start), regionSize(region), transfer(read) {
  Fill();
}

void CFileReadData::Fill() {
  uint64_t left = regionSize - consumed;
  uint32_t amount = left < nextLoad ? static_cast<uint32_t>(left) : nextLoad;
  if (nextLoad < static_cast<uint32_t>(kStreamBufferSize)) nextLoad *= 2;
  buffer.index = 0;
  DWORD done = 0;
  if (!SeekFile(handle, origin + consumed) ||
      !transfer(handle, buffer.data, amount, &done, nullptr)) {
    done = 0;
  }
  if (done < amount) std::memset(buffer.data + done, 0, amount - done);
  if (transform != nullptr) transform->Forward(buffer.data, consumed, amount);
  available = amount;
}

bool CFileReadData::Seek(uint64_t position) {
  if (position > regionSize) return false;
  uint64_t start = consumed - static_cast<uint64_t>(buffer.index);
  uint64_t end = consumed + available;
  if (position < start || position > end) {
    // The block of the transform that holds it (the transform works on
    // whole blocks), and as the reads go on blocks twice as large up to the
    // buffer's size: a copy from far away is often short.
    consumed = position - position % kTransformBlock;
    nextLoad = kTransformBlock;
    Fill();
    start = consumed;
    end = consumed + available;
  }
  buffer.index = static_cast<int32_t>(position - start);
  available = static_cast<uint32_t>(end - position);
  consumed = position;
  if (available == 0 && consumed < regionSize) Fill();
  return true;
}

bool CFileReadData::Read(void* destination, uint32_t count,
                         uint32_t* delivered) {
  if (delivered == nullptr) return false;
  *delivered = 0;
  auto* out = static_cast<uint8_t*>(destination);
  while (count > 0 && available > 0) {
    uint32_t piece = available < count ? available : count;
    std::memcpy(out, buffer.Get(), piece);
    buffer.index += static_cast<int32_t>(piece);
    consumed += piece;
    available -= piece;
    ReportProgress(consumed);
    *delivered += piece;
    out += piece;
    count -= piece;
    if (available == 0 && consumed < regionSize) Fill();
  }
  return true;
}

CFileWriteData::CFileWriteData(HANDLE file) : IFileDataBase(file) {}

bool CFileWriteData::Write(const void* source, uint32_t count) {
  const auto* in = static_cast<const uint8_t*>(source);
  while (count > 0) {
    uint32_t room = static_cast<uint32_t>(kStreamBufferSize - buffer.index);
    uint32_t piece = room < count ? room : count;
    std::memcpy(buffer.Get(), in, piece);
    buffer.index += static_cast<int32_t>(piece);
    written += piece;
    ReportProgress(written);
    in += piece;
    count -= piece;
    if (buffer.index == kStreamBufferSize) Flush();
  }
  return true;
}

bool CFileWriteData::Flush() {
  DWORD amount = static_cast<DWORD>(buffer.index);
  buffer.index = 0;
  if (transform != nullptr) {
    transform->Inverse(buffer.data, written - amount, amount);
  }
  DWORD done = 0;
  return WriteFile(handle, buffer.data, amount, &done, nullptr) &&
         done == amount;
}
