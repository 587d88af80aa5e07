#include "package/package_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "package/compact_table.h"
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

// The compact form holds what the fixed records hold: the same entries,
// with zero digests where a kind has none, behind a header that is shorter
// than the other form's.
TEST_F(Loader, ACompactTableReadsAsTheFixedRecords) {
  const std::vector<TestEntry> entries = {
      SourcedEntry("new.dll", "old.dll", ToBytes("o"), ToBytes("n")),
      PatchEntry("app.exe", Bytes(300, 1), Bytes(70000, 2)),
      AddEntry(std::string(2046, 'c'), ToBytes("1")),
      RemoveEntry("old.dll", ToBytes("o")),
      RemoveDirectoryEntry("old"),
      DirectoryEntry("dir")};
  std::vector<std::vector<LoadedEntry>> forms;
  for (uint32_t form : {0u, PackageFlagCompactTable}) {
    ASSERT_EQ(ResultSuccess,
              LoadWith(BuildPackage(entries, PackageFlagRemovals | form)));
    forms.push_back(loader->entries);
  }
  ASSERT_EQ(forms[0].size(), forms[1].size());
  for (size_t i = 0; i < forms[0].size(); ++i) {
    const LoadedEntry &fixed = forms[0][i], &compact = forms[1][i];
    EXPECT_EQ(fixed.name, compact.name);
    EXPECT_EQ(fixed.source, compact.source);
    EXPECT_EQ(fixed.kind, compact.kind);
    EXPECT_EQ(fixed.record.kind, compact.record.kind);
    EXPECT_EQ(fixed.record.oldSize, compact.record.oldSize);
    EXPECT_EQ(fixed.record.newSize, compact.record.newSize);
    EXPECT_EQ(fixed.record.instructionSize, compact.record.instructionSize);
    EXPECT_EQ(fixed.record.literalSize, compact.record.literalSize);
    EXPECT_EQ(0,
              std::memcmp(fixed.record.oldDigest, compact.record.oldDigest, 64))
        << i;
  }
  // A compact package without entries is its header alone.
  EXPECT_EQ(ResultSuccess, LoadWith(BuildPackage({}, PackageFlagCompactTable)));
}

// Where the table of a compact package holding "a" ("1") begins: after
// its one block.
constexpr size_t kOneTable = kCompactHeaderSize + 1;

TEST_F(Loader, DamagedCompactTablesAreRefused) {
  const Bytes one =
      BuildPackage({AddEntry("a", ToBytes("1"))}, PackageFlagCompactTable);
  const size_t tableOffset = kOneTable;
  const Bytes digest(one.begin() + tableOffset + 8,
                     one.begin() + tableOffset + 40);
  // The package with its table replaced by `table`, and the header's
  // count, table offset and size set to match, then sealed.
  auto with = [&](const Bytes& table, uint32_t count = 1,
                  uint64_t offset = kOneTable) {
    Bytes package(kOneTable + table.size());
    std::copy(one.begin(), one.begin() + kOneTable, package.begin());
    std::copy(table.begin(), table.end(), package.begin() + kOneTable);
    CompactHeader header;
    std::memcpy(&header, package.data(), sizeof header);
    header.entryCount = count;
    header.tableOffset = offset;
    header.packageSize = package.size();
    std::memcpy(package.data(), &header, sizeof header);
    Seal(&package);
    return package;
  };
  // The record of "a" with its numbers coded as `numbers`, its digest cut
  // to `digestBytes`, then `after`.
  auto record = [&](const Bytes& numbers, size_t digestBytes = 32,
                    const Bytes& after = Bytes()) {
    Bytes table = numbers;
    table.insert(table.end(), digest.begin(), digest.begin() + digestBytes);
    table.push_back('a');
    table.push_back(0);
    table.insert(table.end(), after.begin(), after.end());
    return table;
  };
  const Bytes numbers = {2, 4, 0, 1, 0, 0, kCompactHeaderSize, 1};
  auto numbersWith = [&](size_t index, const Bytes& coded) {
    Bytes changed(numbers.begin(), numbers.begin() + index);
    changed.insert(changed.end(), coded.begin(), coded.end());
    changed.insert(changed.end(), numbers.begin() + index + 1, numbers.end());
    return changed;
  };
  const Bytes eleven = {0x82, 0x80, 0x80, 0x80, 0x80, 0x80,
                        0x80, 0x80, 0x80, 0x80, 0x00};
  const Bytes high64 = {0x81, 0x80, 0x80, 0x80, 0x80,
                        0x80, 0x80, 0x80, 0x80, 0x01};
  Bytes over64 = high64;
  over64.back() = 0x02;
  Bytes truncatedHeader = with(record(numbers));
  truncatedHeader.resize(kCompactHeaderSize - 1);
  // The header's fields are under its digest: changed after sealing, a
  // flag the applier acts on or the table's offset is refused.
  auto resealedNot = [&](size_t at, uint32_t bits) {
    Bytes package = with(record(numbers));
    uint32_t field = 0;
    std::memcpy(&field, package.data() + at, 4);
    field ^= bits;
    std::memcpy(package.data() + at, &field, 4);
    return package;
  };
  const struct {
    Bytes appended;
    ResultCode code;
  } cases[] = {
      {with(record(numbers)), ResultSuccess},
      {truncatedHeader, ResultPackageTooSmall},
      {resealedNot(offsetof(CompactHeader, flags), PackageFlagBackup),
       ResultBadDigest},
      {resealedNot(offsetof(CompactHeader, tableOffset), 1), ResultBadDigest},
      // A number padded with a zero group reads as its shortest form.
      {with(record(numbersWith(0, {0x82, 0x00}))), ResultSuccess},
      // Numbers: the largest a 64-bit field holds is read; one bit more, a
      // 33-bit name length or kind, an eleventh byte are refused.
      {with(record(numbersWith(3, high64))), ResultSuccess},
      {with(record(numbersWith(3, over64))), ResultBadEntryList},
      {with(record(numbersWith(0, {0x82, 0x80, 0x80, 0x80, 0x10}))),
       ResultBadEntryList},
      {with(record(numbersWith(1, {0x84, 0x80, 0x80, 0x80, 0x10}))),
       ResultBadEntryList},
      {with(record(numbersWith(0, eleven))), ResultBadEntryList},
      // The table: cut inside a digest, a byte after its last record, a
      // record it does not hold, a name that runs past it, an offset inside
      // the header or past the package's end.
      {with(record(numbers, 31)), ResultBadEntryList},
      {with(record(numbers, 32, {0})), ResultBadEntryList},
      {with(record(numbers), 2), ResultBadEntryList},
      {with(record(numbersWith(0, {3}))), ResultBadEntryList},
      {with(record(numbers), 1, kCompactHeaderSize - 1), ResultBadEntryList},
      {with(record(numbers), 1, one.size() + 1), ResultBadEntryList},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(cases[i].code, LoadWith(cases[i].appended)) << "case " << i;
  // A record's digest is the one its entry is checked against.
  ASSERT_EQ(ResultSuccess, LoadWith(with(record(numbers))));
  EXPECT_EQ(
      0, std::memcmp(digest.data(), loader->entries[0].record.newDigest, 32));
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
