#include "producer/code_sections.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/test_support.h"

namespace {

using namespace testing_support;

// A PE32+ image of three sections (0x400 bytes of code, data, code), at
// addresses 0x1000, 0x2000, 0x3000, with `change` applied to it.
Bytes Image(const std::function<void(Bytes&)>& change) {
  Bytes image = MakePeImage(true, {0x400, 0x200, 0x100});
  const uint32_t table = 0x80 + 264, imageSize = 0x4000;
  std::memcpy(&image[0x80 + 24 + 56], &imageSize, 4);
  for (uint32_t i = 0; i < 3; ++i) {
    const uint32_t address = 0x1000 * (i + 1);
    std::memcpy(&image[table + 40 * i + 12], &address, 4);
    image[table + 40 * i + 36] = i == 1 ? 0x40 : 0x20;
  }
  change(image);
  return image;
}

// Code sections of x86 and x64 images, clipped to the file; nothing for
// anything else.
TEST(FindCode, CodeSectionsOfProgramsAndNothingElse) {
  const uint32_t table = 0x80 + 264;
  const std::vector<CodeRange> both = {{0x200, 0x400, 0x1000},
                                       {0x800, 0x100, 0x3000}};
  const struct Case {
    const char* what;
    Bytes image;
    uint32_t kind;
    std::vector<CodeRange> ranges;
  } cases[] = {
      {"x64", Image([](Bytes&) {}), kTransformX64, both},
      {"x86", Image([](Bytes& i) { i[0x84] = 0x4C, i[0x85] = 0x01; }),
       kTransformX86, both},
      {"an ARM64 image",
       Image([](Bytes& i) { i[0x84] = 0x64, i[0x85] = 0xAA; }),
       kTransformNone,
       {}},
      {"the last section cut short",
       Image([](Bytes& i) { i.resize(0x880); }),
       kTransformX64,
       {both[0], {0x800, 0x80, 0x3000}}},
      {"a section that overlaps the one before",
       Image([&](Bytes& i) { i[table + 80 + 20] = 0, i[table + 80 + 21] = 3; }),
       kTransformX64,
       {{0x200, 0x400, 0x1000}}},
      {"no code",
       Image([&](Bytes& i) { i[table + 36] = i[table + 116] = 0; }),
       kTransformNone,
       {}},
      {"a section table past the end",
       Image([](Bytes& i) { i[0x80 + 20] = 0xFF, i[0x80 + 21] = 0xFF; }),
       kTransformNone,
       {}},
      {"headers cut short",
       Image([](Bytes& i) { i.resize(0x90); }),
       kTransformNone,
       {}},
      {"not a program", ToBytes("MZ but nothing more"), kTransformNone, {}},
  };
  for (const Case& c : cases) {
    CodeLayout layout = FindCode(c.image.data(), c.image.size());
    EXPECT_EQ(c.kind, layout.kind) << c.what;
    ASSERT_EQ(c.ranges.size(), layout.ranges.size()) << c.what;
    for (size_t i = 0; i < c.ranges.size(); ++i) {
      EXPECT_EQ(c.ranges[i].offset, layout.ranges[i].offset) << c.what;
      EXPECT_EQ(c.ranges[i].size, layout.ranges[i].size) << c.what;
      EXPECT_EQ(c.ranges[i].address, layout.ranges[i].address) << c.what;
    }
  }
}

}  // namespace
