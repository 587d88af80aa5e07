#include "package/image_end.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "package/package_loader.h"
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

TEST_F(ImageEnd, Pe32AndPe32Plus) {
  uint32_t end = 0;
  Bytes pe32 = MakePeImage(false, {0x600, 0x200, 0x1000});
  ASSERT_TRUE(EndOf(pe32, &end));
  EXPECT_EQ(pe32.size(), end);
  // The PE32+ section table starts 16 bytes later.
  Bytes pe64 = MakePeImage(true, {0x400, 0x800});
  ASSERT_TRUE(EndOf(pe64, &end));
  EXPECT_EQ(pe64.size(), end);
  // Appended bytes do not move the image end.
  pe64.resize(pe64.size() + 500, 7);
  ASSERT_TRUE(EndOf(pe64, &end));
  EXPECT_EQ(pe64.size() - 500, end);
}

TEST_F(ImageEnd, HeadersWithoutDosStub) {
  Bytes image = MakePeImage(false, {0x200});
  Bytes bare(image.begin() + 0x80, image.end());  // starts with "PE\0\0"
  // SizeOfHeaders stays 0x200, the section 0x200: the end is 0x400.
  uint32_t end = 0;
  ASSERT_TRUE(EndOf(bare, &end));
  EXPECT_EQ(0x400u, end);
}

TEST_F(ImageEnd, InvalidHeadersFail) {
  Bytes good = MakePeImage(false, {0x200});
  uint32_t end = 1;
  EXPECT_FALSE(EndOf(Bytes(63, 'M'), &end));
  EXPECT_EQ(0u, end);
  Bytes noMagic = good;
  noMagic[0] = 'X';
  EXPECT_FALSE(EndOf(noMagic, &end));
  Bytes badSignature = good;
  badSignature[0x81] = 'X';
  EXPECT_FALSE(EndOf(badSignature, &end));
  Bytes farHeaders = good;
  int32_t beyond = static_cast<int32_t>(good.size());
  std::memcpy(farHeaders.data() + 60, &beyond, 4);
  EXPECT_FALSE(EndOf(farHeaders, &end));
  Bytes negative = good;
  int32_t minus = -4;
  std::memcpy(negative.data() + 60, &minus, 4);
  EXPECT_FALSE(EndOf(negative, &end));
  Bytes shortHeaders(good.begin(), good.begin() + 0x180);  // < SizeOfHeaders
  EXPECT_FALSE(EndOf(shortHeaders, &end));
  // Every header read, but SizeOfHeaders claims more than the file holds.
  Bytes bigHeaders = good;
  uint32_t huge = 0x10000;
  std::memcpy(bigHeaders.data() + 0x80 + 24 + 60, &huge, 4);
  EXPECT_FALSE(EndOf(bigHeaders, &end));
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
    ASSERT_FALSE(exe.empty()) << path;
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
    // A package appended to a copy is found where the image ends.
    Bytes package = BuildPackage({AddEntry("file.txt", ToBytes("content"))});
    exe.insert(exe.end(), package.begin(), package.end());
    WriteAll(dir / "patched.exe", exe);
    PackageLoader loader(nullptr);
    ASSERT_EQ(ResultSuccess, loader.LoadFile(Wide(dir / "patched.exe").c_str()))
        << path;
    EXPECT_EQ(end, loader.packageOffset);
    EXPECT_EQ(1u, loader.entries.size());
  }
}

}  // namespace
