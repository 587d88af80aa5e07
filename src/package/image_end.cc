#include "package/image_end.h"

#include <cstring>
#include <vector>

#include "package/file_hash.h"

namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"

bool ReadExactly(HANDLE file, void* out, DWORD size) {
  DWORD read = 0;
  return ReadFile(file, out, size, &read, nullptr) && read == size;
}

}  // namespace

uint16_t OptionalHeaderMagic(const ImageNtHeaders& nt) {
  uint16_t magic;
  std::memcpy(&magic, nt.optional, sizeof magic);
  return magic;
}

uint32_t SizeOfHeaders(const ImageNtHeaders& nt) {
  uint32_t size;
  std::memcpy(&size, nt.optional + 60, sizeof size);
  return size;
}

bool ReadImageHeaders(HANDLE file, ImageDosHeader* dos, ImageNtHeaders* nt) {
  bool ok = false;
  do {
    uint32_t size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || size < sizeof(ImageDosHeader)) break;
    if (!ReadExactly(file, dos, sizeof *dos)) break;
    std::memset(nt, 0, sizeof *nt);
    uint64_t ntOffset;
    if (dos->e_magic == kDosMagic) {
      if (dos->e_lfanew < 0) break;
      ntOffset = static_cast<uint32_t>(dos->e_lfanew);
      if (size < ntOffset + kNtHeadersSize32) break;
      if (!SeekFile(file, ntOffset) ||
          !ReadExactly(file, nt, kNtHeadersSize32)) {
        break;
      }
      if (nt->Signature != kPeSignature) break;
    } else {
      std::memcpy(nt, dos, sizeof *dos);
      if (nt->Signature != kPeSignature || size < kNtHeadersSize32) break;
      if (!ReadExactly(file, reinterpret_cast<uint8_t*>(nt) + sizeof *dos,
                       kNtHeadersSize32 - sizeof *dos)) {
        break;
      }
      std::memset(dos, 0, sizeof *dos);
      dos->e_magic = kDosMagic;
      ntOffset = 0;
    }
    // A PE32+ optional header is 16 bytes longer; the section table follows
    // it.
    if (OptionalHeaderMagic(*nt) == kOptionalMagic64) {
      if (size < ntOffset + kNtHeadersSize64) break;
      if (!ReadExactly(file, reinterpret_cast<uint8_t*>(nt) + kNtHeadersSize32,
                       kNtHeadersSize64 - kNtHeadersSize32)) {
        break;
      }
    }
    ok = size >= SizeOfHeaders(*nt);
  } while (false);
  return ok;
}

HANDLE OpenImageHeaders(const WCHAR* path, ImageDosHeader* dos,
                        ImageNtHeaders* nt) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  if (!ReadImageHeaders(file, dos, nt)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

namespace {

// The end of the image whose NT headers `nt` were just read from `file`:
// SizeOfHeaders plus the raw size of every section in the table that
// follows them.
bool ReadImageEnd(HANDLE file, const ImageNtHeaders& nt, uint32_t* imageEnd) {
  constexpr size_t kSectionSize = 40;
  constexpr size_t kRawSizeOffset = 16;
  std::vector<uint8_t> sections(nt.FileHeader.NumberOfSections * kSectionSize);
  if (!sections.empty() &&
      !ReadExactly(file, sections.data(), static_cast<DWORD>(sections.size())))
    return false;
  uint32_t end = SizeOfHeaders(nt);
  for (size_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
    uint32_t rawSize;
    std::memcpy(&rawSize, &sections[i * kSectionSize + kRawSizeOffset],
                sizeof rawSize);
    end += rawSize;
  }
  *imageEnd = end;
  return true;
}

}  // namespace

bool ComputeImageEnd(const WCHAR* path, uint32_t* imageEnd) {
  *imageEnd = 0;
  ImageDosHeader dos;
  ImageNtHeaders nt;
  HANDLE file = OpenImageHeaders(path, &dos, &nt);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = ReadImageEnd(file, nt, imageEnd);
  CloseHandle(file);
  return ok;
}

bool ImageEndOf(HANDLE file, uint32_t* imageEnd) {
  *imageEnd = 0;
  ImageDosHeader dos;
  ImageNtHeaders nt;
  return SeekFile(file, 0) && ReadImageHeaders(file, &dos, &nt) &&
         ReadImageEnd(file, nt, imageEnd);
}
