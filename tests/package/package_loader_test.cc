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
    std::filesystem::path path =
        dir / ("patch" + std::to_string(++count) + ".exe");
    WriteAll(path, exe);
    module.reset(new TestModule(path));
    if (module->handle() == nullptr) return 0xFFFFFFFF;
    loader.reset(new PackageLoader(module->handle()));
    return loader->Load();
  }

  ScratchDir dir;
  int count = 0;
  std::unique_ptr<TestModule> module;
  std::unique_ptr<PackageLoader> loader;
};

// Fields the loader does not use are ignored; the longest name a package
// may carry grows the name buffer, which a shorter name then reuses.
TEST_F(Loader, ReadsTheEntryTable) {
  ASSERT_EQ(ResultSuccess, LoadWith(BuildPackage({})));
  Bytes package = BuildPackage({AddEntry(std::string(2046, 'c'), ToBytes("1")),
                                AddEntry("short", ToBytes("2"))});
  package[24] = 0x55;  // reserved
  package[40] = 0x66;  // reservedBytes
  ASSERT_EQ(ResultSuccess, LoadWith(package));
  EXPECT_EQ(2046u, loader->entries[0].name.size());
  EXPECT_EQ(Wide(u"short"), loader->entries[1].name);
  // What each entry does: removals only with the flag that makes them, a
  // source after the name's NUL.
  const std::vector<TestEntry> removals = {
      SourcedEntry("new.dll", "old.dll", ToBytes("o"), ToBytes("n")),
      RemoveEntry("old.dll", ToBytes("o")), RemoveDirectoryEntry("old")};
  for (uint32_t flags : {0u, PackageFlagRemovals}) {
    Bytes table = BuildPackage(removals, flags);
    if (!flags) table = BuildPackage({removals[1], removals[2]}, flags);
    ASSERT_EQ(ResultSuccess, LoadWith(table)) << flags;
    std::vector<std::pair<int, WString>> loaded;
    for (const LoadedEntry& entry : loader->entries)
      loaded.push_back({entry.kind, entry.source});
    const std::vector<std::pair<int, WString>> expected =
        flags ? std::vector<std::pair<int, WString>>{{1, Wide(u"old.dll")},
                                                     {8, {}},
                                                     {128, {}}}
              : std::vector<std::pair<int, WString>>{{0, {}}, {0, {}}};
    EXPECT_EQ(expected, loaded);
  }
}

TEST_F(Loader, ShortWrongOrDamagedPackagesAreRefused) {
  const Bytes package = BuildPackage({AddEntry("a", Bytes(1000, 1))});
  auto at = [&](size_t offset, uint64_t value, size_t size) {
    Bytes changed = package;
    std::memcpy(changed.data() + offset, &value, size);
    return changed;
  };
  auto flipped = [&](size_t offset) {
    return at(offset, package[offset] ^ 1, 1);
  };
  // Two entries, sealed again after a 32-bit field was changed.
  auto sealed = [](size_t offset, uint32_t value) {
    Bytes changed = BuildPackage(
        {AddEntry("first", ToBytes("1")), AddEntry("second", ToBytes("2"))});
    std::memcpy(changed.data() + offset, &value, 4);
    Seal(&changed);
    return changed;
  };
  const size_t secondName = kPackageHeaderSize + kPackageEntrySize + 6 +
                            offsetof(PackageEntry, nameLength);
  const struct {
    Bytes appended;
    ResultCode code;
  } cases[] = {
      {Bytes(), ResultPackageTooSmall},
      {Bytes(95, 't'), ResultPackageTooSmall},
      // The size claims far more than the file holds: hashing would fail
      // with 5, so 4 proves the magic was checked first.
      {[&] {
         Bytes wrong = at(16, 1ull << 40, 8);
         wrong[0] = 'T';
         return wrong;
       }(),
       ResultBadMagic},
      {flipped(96), ResultBadDigest},
      {flipped(package.size() - 1), ResultBadDigest},
      {at(16, package.size() + 1, 8), ResultBadDigest},
      {at(16, 95, 8), ResultBadDigest},
      // Entry tables: a zero name length; a name reaching past the package;
      // a name whose bytes hold no NUL ("second" read as 6 bytes); more
      // entries than the package can hold, refused before anything is
      // reserved for them; a name one unit too long, which would be cut to
      // another name.
      {sealed(secondName, 0), ResultBadEntryList},
      {sealed(secondName, 1000000), ResultBadEntryList},
      {sealed(secondName, 6), ResultBadEntryList},
      {sealed(8, 0xFFFFFFFF), ResultBadEntryList},
      {BuildPackage({AddEntry(std::string(2047, 'c'), ToBytes("3"))}),
       ResultBadEntryList},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(cases[i].code, LoadWith(cases[i].appended)) << "case " << i;
}

TEST_F(Loader, InvalidImageFailsWithTheImageEndCode) {
  WriteAll(dir / "garbage.exe", Bytes(4096, 'x'));
  TestModule garbage(dir / "garbage.exe");
  if (garbage.handle() == nullptr) {
    GTEST_SKIP() << "this platform will not map an invalid image";
  }
  EXPECT_EQ(ResultImageEnd, PackageLoader(garbage.handle()).Load());
}

// Names that leave the folder, that Windows does not hold as they are, or
// that collide with each other or with names of ours.
TEST_F(Loader, NamesItCannotTakeAreRefused) {
  const Bytes x = ToBytes("x");
  const ResultCode kBad = ResultBadEntryList, kGood = ResultSuccess;
  const uint32_t kBak = PackageFlagBackup;
  const uint32_t kRem = PackageFlagRemovals;
  auto add = [&](const char* name) { return AddEntry(name, x); };
  auto patch = [&](const char* name) { return PatchEntry(name, x, x); };
  auto sourced = [&](const char* name, const char* source) {
    return SourcedEntry(name, source, x, x);
  };
  auto kind = [](TestEntry entry, uint32_t value) {
    entry.kind = value;
    return entry;
  };
  const struct Case {
    std::vector<TestEntry> entries;
    uint32_t flags;
    ResultCode expected;
  } cases[] = {
      {{add("\\Windows\\evil.dll")}, 0, kBad},
      {{add("a/../../evil")}, 0, kBad},
      {{add("a\\..")}, 0, kBad},
      {{add("trailing.")}, 0, kBad},
      {{add("x\xE3\x81\x41")}, 0, kBad},  // a third byte that continues none
      {{add("Aux .x")}, 0, kBad},
      {{add("dir\\sub/file.bin"), add("..x"), add("x..y"), add("CONSOLE"),
        add("COM10"), add(".hidden")},
       0,
       kGood},
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
      // Removals and sources: the kinds and the one option the flag gives,
      // the source after the name and only with its option, both names
      // under the name rule; kinds without the flag mean nothing, and the
      // bits above the options are not read.
      {{RemoveEntry("a", x), RemoveDirectoryEntry("b"), sourced("c", "a")},
       kRem,
       kGood},
      {{kind(add("a"), 2)}, kRem, kBad},
      {{kind(add("a"), EntryKindAdd | EntryOptionSource)}, kRem, kBad},
      {{kind(sourced("c", "a"), EntryKindPatch)}, kRem, kBad},
      {{kind(patch("c"), EntryKindPatch | EntryOptionSource)}, kRem, kBad},
      {{sourced("c", "..\\a")}, kRem, kBad},
      {{sourced("c", "a")}, 0, kBad},
      {{kind(add("a"), EntryKindAdd | 0x10000)}, kRem, kGood},
      {{kind(add("a"), 2 | EntryOptionSource)}, 0, kGood},
      // A removed file keeps its backup name as a patched one does; a
      // file rebuilt from a source has none.
      {{RemoveEntry("app.exe", x), add("app.exe.bak")}, kRem | kBak, kBad},
      {{kind(RemoveEntry("app.exe", x), 8), add("app.exe.bak")}, kBak, kGood},
      {{sourced("app.exe", "a"), add("app.exe.bak")}, kRem | kBak, kGood},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, LoadWith(BuildPackage(c.entries, c.flags)))
        << "case " << &c - cases;
  }
}

}  // namespace
