#include "package/package_loader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/image_end.h"
#include "support/platform_support.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

class Loader : public ::testing::Test {
 protected:
  // Loads `appendix` appended to a real executable's image.
  ResultCode LoadWith(const Bytes& appendix) {
    Bytes exe = BaseExecutable();
    exe.insert(exe.end(), appendix.begin(), appendix.end());
    path = dir / ("patch" + std::to_string(++count) + ".exe");
    WriteAll(path, exe);
    module.reset(new TestModule(path));
    if (module->handle() == nullptr) return 0xFFFFFFFF;
    loader.reset(new PackageLoader(module->handle()));
    return loader->Load();
  }

  ScratchDir dir;
  std::filesystem::path path;
  int count = 0;
  std::unique_ptr<TestModule> module;
  std::unique_ptr<PackageLoader> loader;
};

TEST_F(Loader, ReadsTheEntryTable) {
  Bytes package =
      BuildPackage({AddEntry("readme.txt", ToBytes("hello")),
                    DirectoryEntry("data\\\xE6\x97\xA5\xE6\x9C\xAC"),
                    PatchEntry("bin/app.exe", ToBytes("old"), ToBytes("new"))},
                   PackageFlagBackup);
  ASSERT_EQ(ResultSuccess, LoadWith(package));
  ASSERT_EQ(3u, loader->entries.size());
  EXPECT_EQ(Wide(u"readme.txt"), loader->entries[0].name);
  EXPECT_EQ(Wide(u"data\\\u65e5\u672c"), loader->entries[1].name);
  EXPECT_EQ(EntryKindPatch, loader->entries[2].record.kind);
  EXPECT_EQ(3u, loader->entries[2].record.oldSize);
  EXPECT_EQ(PackageFlagBackup, loader->header.flags);
  EXPECT_EQ(ImageEndOf(BaseExecutable()), loader->packageOffset);
}

TEST_F(Loader, EmptyTableAndIgnoredFields) {
  ASSERT_EQ(ResultSuccess, LoadWith(BuildPackage({})));
  EXPECT_TRUE(loader->entries.empty());
  Bytes package = BuildPackage({AddEntry("a", ToBytes("x"))});
  package[24] = 0x55;  // reserved
  package[40] = 0x66;  // reservedBytes
  EXPECT_EQ(ResultSuccess, LoadWith(package));
}

TEST_F(Loader, ShortWrongOrDamagedPackagesAreRefused) {
  const Bytes package = BuildPackage({AddEntry("a", Bytes(1000, 1))});
  auto sized = [&](uint64_t size) {
    Bytes changed = package;
    std::memcpy(changed.data() + 16, &size, 8);
    return changed;
  };
  auto flipped = [&](size_t at) {
    Bytes changed = package;
    changed[at] ^= 1;
    return changed;
  };
  const struct {
    Bytes appended;
    ResultCode code;
  } cases[] = {
      {Bytes(), ResultPackageTooSmall},
      {Bytes(95, 't'), ResultPackageTooSmall},
      // The size claims far more than the file holds: hashing would fail
      // with 5, so 4 proves the magic was checked first.
      {[&] {
         Bytes wrong = sized(1ull << 40);
         wrong[0] = 'T';
         return wrong;
       }(),
       ResultBadMagic},
      {flipped(96), ResultBadDigest},
      {flipped(150), ResultBadDigest},
      {flipped(package.size() - 1), ResultBadDigest},
      {sized(package.size() + 1), ResultBadDigest},
      {sized(95), ResultBadDigest},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(cases[i].code, LoadWith(cases[i].appended)) << "case " << i;
}

// Rewrites the record of entry `index` (name lengths as built) and seals.
Bytes WithRecord(std::vector<TestEntry> entries, size_t index,
                 const std::function<void(PackageEntry*)>& change) {
  Bytes package = BuildPackage(entries);
  size_t offset = kPackageHeaderSize;
  for (size_t i = 0; i < index; ++i) {
    offset += kPackageEntrySize + entries[i].name.size() + 1;
  }
  PackageEntry record;
  std::memcpy(&record, package.data() + offset, sizeof record);
  change(&record);
  std::memcpy(package.data() + offset, &record, sizeof record);
  Seal(&package);
  return package;
}

TEST_F(Loader, BrokenEntryTables) {
  std::vector<TestEntry> two = {AddEntry("first", ToBytes("1")),
                                AddEntry("second", ToBytes("2"))};
  // A zero name length in the second record: the first entry stays.
  EXPECT_EQ(
      ResultBadEntryList,
      LoadWith(WithRecord(two, 1, [](PackageEntry* r) { r->nameLength = 0; })));
  EXPECT_EQ(1u, loader->entries.size());

  // A name reaching past the package.
  EXPECT_EQ(ResultBadEntryList,
            LoadWith(WithRecord(
                two, 1, [](PackageEntry* r) { r->nameLength = 1000000; })));
  // A name whose bytes hold no NUL ("second" without its terminator is read
  // as 6 bytes).
  EXPECT_EQ(
      ResultBadEntryList,
      LoadWith(WithRecord(two, 1, [](PackageEntry* r) { r->nameLength = 6; })));
  // More entries than the package can hold: refused before anything is
  // reserved for them.
  Bytes many = BuildPackage(two);
  uint32_t count = 0xFFFFFFFF;
  std::memcpy(many.data() + 8, &count, 4);
  Seal(&many);
  EXPECT_EQ(ResultBadEntryList, LoadWith(many));
}

TEST_F(Loader, LongNamesAreReadWholeUpToTheLimit) {
  std::string long300(300, 'n');
  std::string longest(2046, 'c');
  ASSERT_EQ(ResultSuccess,
            LoadWith(BuildPackage({AddEntry(long300, ToBytes("1")),
                                   AddEntry("short", ToBytes("2")),
                                   AddEntry(longest, ToBytes("3"))})));
  EXPECT_EQ(300u, loader->entries[0].name.size());
  EXPECT_EQ(Wide(u"short"), loader->entries[1].name);
  EXPECT_EQ(2046u, loader->entries[2].name.size());
  // One unit more would be cut to another name: refused.
  EXPECT_EQ(ResultBadEntryList,
            LoadWith(BuildPackage({AddEntry(longest + "c", ToBytes("3"))})));
}

TEST_F(Loader, NamesThatLeaveTheFolderAreRefused) {
  const char* unsafe[] = {
      "\\Windows\\evil.dll",
      "/etc/passwd",
      "C:evil.dll",
      "C:\\evil.dll",
      "\\\\server\\share",
      "\\\\?\\C:\\evil",
      "..\\evil.dll",
      "a/../../evil",
      "a\\..",
      "file.txt:stream",
      "trailing.",
      "dir \\file",
      "CON",
      "con.txt",
      "sub\\NUL.log",
      "LPT9",
      "com1.dat",
      "Aux .x",
      ".",
      "\xE0\x80\x80",  // an overlong NUL
  };
  for (const char* name : unsafe) {
    EXPECT_EQ(ResultBadEntryList,
              LoadWith(BuildPackage({AddEntry(name, ToBytes("x"))})))
        << name;
  }
  const char* safe[] = {
      "a",      "dir\\sub/file.bin", "..x", "x..y", "CONSOLE", "COM10", "lpt",
      ".hidden"};
  for (const char* name : safe) {
    EXPECT_EQ(ResultSuccess,
              LoadWith(BuildPackage({AddEntry(name, ToBytes("x"))})))
        << name;
  }
}

TEST_F(Loader, InvalidImageFailsWithTheImageEndCode) {
  Bytes garbage(4096, 'x');
  WriteAll(dir / "garbage.exe", garbage);
  TestModule garbageModule(dir / "garbage.exe");
  if (garbageModule.handle() == nullptr) {
    GTEST_SKIP() << "this platform will not map an invalid image";
  }
  PackageLoader invalid(garbageModule.handle());
  EXPECT_EQ(ResultImageEnd, invalid.Load());
}

}  // namespace

TEST_F(Loader, NamesThatCollideInOneFolderAreRefused) {
  const Bytes x = ToBytes("x");
  const ResultCode kBad = ResultBadEntryList, kGood = ResultSuccess;
  const uint32_t kBak = PackageFlagBackup;
  auto add = [&](const char* name) { return AddEntry(name, x); };
  auto patch = [&](const char* name) { return PatchEntry(name, x, x); };
  const struct Case {
    std::vector<TestEntry> entries;
    uint32_t flags;
    ResultCode expected;
  } cases[] = {
      // Names equal but for case; case beyond ASCII, and either separator.
      {{add("Readme.txt"), add("README.txt")}, 0, kBad},
      {{DirectoryEntry("\xC3\xA9t\xC3\xA9"), add("\xC3\xA9t\xC3\xA9/a"),
        add("\xC3\x89T\xC3\x89\\\\A")},
       0,
       kBad},
      // A patched file and its backup, patched or added; the same without
      // backups; an added file's name plus .bak.
      {{patch("app.exe"), patch("app.exe.bak")}, kBak, kBad},
      {{patch("app.exe"), add("APP.EXE.BAK")}, kBak, kBad},
      {{patch("app.exe"), add("app.exe.bak")}, 0, kGood},
      {{add("new.txt"), add("new.txt.bak")}, kBak, kGood},
      // The journal's name, as a file or a folder; below the top it is free.
      {{add("SelfPatch.Journal")}, 0, kBad},
      {{DirectoryEntry("selfpatch.journal"), add("selfpatch.journal\\a")},
       0,
       kBad},
      {{DirectoryEntry("sub"), add("sub\\selfpatch.journal")}, 0, kGood},
      // A temporary's name, in any folder; names like it but not one.
      {{DirectoryEntry("sub"), add("sub\\PTF0000abcd.tmp")}, 0, kBad},
      {{add("ptf12345.tmp"), add("ptfz.tmp")}, 0, kGood},
      // A file or folder under an added or patched file; a file in a folder.
      {{add("data"), add("Data\\inner.txt")}, 0, kBad},
      {{patch("lib"), DirectoryEntry("lib/sub")}, 0, kBad},
      {{DirectoryEntry("data"), add("data\\inner.txt")}, 0, kGood},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, LoadWith(BuildPackage(c.entries, c.flags)))
        << "case " << &c - cases;
  }
}
