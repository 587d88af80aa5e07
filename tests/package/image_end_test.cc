#include "package/image_end.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/test_support.h"

namespace {

using namespace testing_support;

class ImageEnd : public ::testing::Test {
 protected:
  bool EndOf(const Bytes& file, uint32_t* end) {
    WriteAll(dir / "image.exe", file);
    return ComputeImageEnd(Wide(dir / "image.exe").c_str(), end);
  }
  ScratchDir dir;
};

// `file` with the 32-bit `value` written at `at`.
Bytes With(Bytes file, size_t at, int32_t value) {
  std::memcpy(file.data() + at, &value, 4);
  return file;
}

// An end of 0 means the headers are refused.
TEST_F(ImageEnd, InvalidHeadersFail) {
  const Bytes good = MakePeImage(false, {0x200, 0x600});
  // The PE32+ section table starts 16 bytes later.
  const Bytes pe64 = MakePeImage(true, {0x400, 0x800});
  Bytes appended = pe64;
  appended.resize(pe64.size() + 500, 7);
  const uint32_t pe64End = static_cast<uint32_t>(pe64.size());
  const struct {
    Bytes file;
    uint32_t end;
  } cases[] = {
      {good, static_cast<uint32_t>(good.size())},
      {appended, pe64End},  // appended bytes do not move the image end
      // Starts with "PE\0\0": SizeOfHeaders 0x200 and the two sections.
      {Bytes(good.begin() + 0x80, good.end()), 0xA00},
      {Bytes(63, 'M'), 0},
      {With(good, 0, 0), 0},     // no "MZ"
      {With(good, 0x80, 0), 0},  // no "PE"
      {With(good, 60, static_cast<int32_t>(good.size())), 0},
      {With(good, 60, -4), 0},
      // Shorter than SizeOfHeaders, and a SizeOfHeaders beyond the file
      // with every header read.
      {Bytes(good.begin(), good.begin() + 0x180), 0},
      {With(good, 0x80 + 24 + 60, 0x10000), 0},
  };
  for (const auto& c : cases) {
    uint32_t end = 1;
    EXPECT_EQ(c.end != 0, EndOf(c.file, &end)) << &c - cases;
    EXPECT_EQ(c.end, end) << &c - cases;
  }
  uint32_t end = 0;
  EXPECT_FALSE(ComputeImageEnd(Wide(dir / "missing.exe").c_str(), &end));
}

// The executables built in this run (PE32 and PE32+ appliers), when the
// build names them.
TEST_F(ImageEnd, BuiltExecutablesEndAtTheirLastSection) {
  const char* list = std::getenv("SELFPATCH_BUILT_EXECUTABLES");
  if (list == nullptr || *list == 0) GTEST_SKIP() << "no executables named";
  std::stringstream paths(list);
  std::string path;
  while (std::getline(paths, path, ';')) {
    Bytes exe = ReadAll(path);
    uint32_t end = 0;
    ASSERT_TRUE(EndOf(exe, &end)) << path;
    EXPECT_EQ(exe.size(), end) << path << ": nothing may follow the image";
    // Large-address-aware (file header characteristic 0x20): a PE32
    // applier then has 4 GiB of address space under 64-bit Windows.
    int32_t headers = 0;
    std::memcpy(&headers, exe.data() + 60, 4);
    uint16_t characteristics = 0;
    std::memcpy(&characteristics, exe.data() + headers + 22, 2);
    EXPECT_NE(0, characteristics & 0x20) << path;
  }
}

}  // namespace
