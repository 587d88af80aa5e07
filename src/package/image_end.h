// Where a PE image ends in its file: the package starts there.
#pragma once

#include <cstdint>

#include "platform/platform.h"

#pragma pack(push, 1)

struct ImageDosHeader {
  uint16_t e_magic;  // "MZ"
  uint8_t unused[58];
  int32_t e_lfanew;  // file offset of the NT headers
};

struct ImageFileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};

// Signature, file header and optional header. A PE32 optional header has
// 224 bytes, a PE32+ one 240; `optional` has room for either.
struct ImageNtHeaders {
  uint32_t Signature;  // "PE\0\0"
  ImageFileHeader FileHeader;
  uint8_t optional[240];
};

#pragma pack(pop)

static_assert(sizeof(ImageDosHeader) == 64, "DOS header layout");
static_assert(sizeof(ImageFileHeader) == 20, "file header layout");

constexpr uint32_t kNtHeadersSize32 = 248;  // PE32
constexpr uint32_t kNtHeadersSize64 = 264;  // PE32+
constexpr uint16_t kOptionalMagic32 = 0x10B;
constexpr uint16_t kOptionalMagic64 = 0x20B;

// Magic and SizeOfHeaders of the optional header (same offsets in both).
uint16_t OptionalHeaderMagic(const ImageNtHeaders& nt);
uint32_t SizeOfHeaders(const ImageNtHeaders& nt);

// Opens the PE file at `path` and reads its DOS and NT headers. Returns the
// open handle positioned directly after the NT headers (248 bytes for PE32,
// 264 for PE32+), or INVALID_HANDLE_VALUE when the file cannot be opened,
// is shorter than 64 bytes, has no valid "MZ"/"PE" headers, or is shorter
// than its SizeOfHeaders. A file that starts with "PE\0\0" (no DOS header)
// is accepted, with a standard DOS header whose e_lfanew is 0.
HANDLE OpenImageHeaders(const WCHAR* path, ImageDosHeader* dos,
                        ImageNtHeaders* nt);

// The same checks and headers, read from the start of the file open as
// `file`, which is left positioned directly after the NT headers.
bool ReadImageHeaders(HANDLE file, ImageDosHeader* dos, ImageNtHeaders* nt);

// The file offset where the image ends: SizeOfHeaders plus the raw size of
// every section, in 32-bit arithmetic.
bool ComputeImageEnd(const WCHAR* path, uint32_t* imageEnd);
// The same for the file open as `file` (with read access), from its start.
bool ImageEndOf(HANDLE file, uint32_t* imageEnd);
