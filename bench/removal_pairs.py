#!/usr/bin/env python3
"""Removed files go, renamed files are rebuilt from their old selves: whole
program trees patched natively and by the real appliers under Wine.

Pairs: the sharp 0.34.4 -> 0.34.5 Windows x64 package (libvips-cpp-8.17.2.dll
becomes libvips-cpp-8.17.3.dll), typescript 5.8.3 -> 5.9.2 (the package
trees), both fetched with `npm pack` into build/bench/removal/cache (kept
there, never committed), and a made-up tree with removed files, a removed
nested folder, a renamed library (a version in its name) and a moved file.
For each pair: `selfpatch create` (the summary line), what `info` says of
removals and sources, the package bytes of each file rebuilt from another
(its instructions and literals, `dataBytes` in `info --json`) beside
`zstd -19 --patch-from` of the same two files and `zstd -19` of the new
file alone (what storing it whole costs), and the package of `--plain`.
Each patch is applied to a fresh copy of OLD with `selfpatch apply` (the
--plain one too), with the x64 applier under wine64 and the x86 one under
wine32 (`/S /D= /LOG=`); `diff -r NEW COPY` must show nothing. Then a removed
file the user changed: it is kept, `apply` and the /LOG say so, and the
rest is NEW; a changed file that a new file is rebuilt from fails the run
with 10, nothing changed.

  make appliers && make release      (the appliers, then build/release)
  python3 bench/removal_pairs.py [--no-x86]

--no-x86 leaves out the x86 applier under wine32 (qemu) except on the
made-up tree. The exit status is 1 when a check fails.
"""
import argparse
import json
import pathlib
import random
import shutil
import subprocess
import sys
import tarfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build/bench/removal"
SELFPATCH = ROOT / "build/release/src/selfpatch"
WINE = ROOT / "tests/wine/wine.sh"

# (name, npm package, old version, new version, the renamed file in NEW)
NPM_PAIRS = [
    ("sharp x64 0.34.4 -> .5", "@img/sharp-win32-x64", "0.34.4", "0.34.5",
     "lib/libvips-cpp-8.17.3.dll"),
    ("typescript 5.8.3 -> 5.9.2", "typescript", "5.8.3", "5.9.2", None),
]

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("  FAIL: %s" % what)
    return ok


def fetch_tree(package, version):
    """The package's tree, unpacked once from a cached `npm pack`."""
    stem = package.replace("@", "").replace("/", "-") + "-" + version
    tree = WORK / "trees" / stem
    if (tree / "package").is_dir():
        return tree / "package"
    cache = WORK / "cache"
    cache.mkdir(parents=True, exist_ok=True)
    tgz = cache / (stem + ".tgz")
    if not tgz.exists():
        subprocess.run(["npm", "pack", "%s@%s" % (package, version), "--silent"], cwd=cache,
                       check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(tree, ignore_errors=True)
    tree.mkdir(parents=True)
    with tarfile.open(tgz) as archive:
        archive.extractall(tree, filter="data")
    return tree / "package"


def made_up_trees():
    """OLD and NEW of a program whose new version drops three files and a
    nested folder, renames its library to a new version with a few bytes
    changed, and moves a data file to another folder."""
    base = WORK / "trees/made-up"
    shutil.rmtree(base, ignore_errors=True)
    rng = random.Random(26)

    def noise(size):
        return bytes(rng.getrandbits(8) for _ in range(size))

    library, table, program = noise(200000), noise(60000), noise(90000)
    new_library = bytearray(library)
    for at in range(1000, len(new_library), 25000):
        new_library[at:at + 8] = b"v1.3.0\0\0"
    old = {
        "app.exe": program,
        "readme.txt": b"App 1.2\r\n",
        "lib/libfoo-1.2.dll": library,
        "data/table.bin": table,
        "plugins/keep.dll": noise(5000),
        "plugins/old-plugin.dll": noise(40000),
        "notes-1.2.txt": b"What is new in 1.2\r\n" * 50,
        "cache.tmp": noise(3000),
        "legacy/a.txt": b"legacy\r\n",
        "legacy/sub/b.dat": noise(7000),
        "legacy/sub/deeper/c.bin": noise(9000),
    }
    new = {
        "app.exe": program[:50000] + b"1.3" + program[50000:],
        "readme.txt": b"App 1.3\r\n",
        "lib/libfoo-1.3.dll": bytes(new_library),
        "resources/table.bin": table,
        "plugins/keep.dll": old["plugins/keep.dll"],
    }
    for side, files in (("old", old), ("new", new)):
        for name, data in files.items():
            path = base / side / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
    return base / "old", base / "new"


def run(command, **options):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          **options)


def diff_r(new, copy):
    """What `diff -r` says, '' when the trees are equal."""
    return run(["diff", "-r", new, copy]).stdout.strip()


def fresh_copy(old, name):
    copy = WORK / "run" / name
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(old, copy)
    return copy


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def apply_wine(patch, copy, log):
    """The real applier, silent; (exit code, the /LOG's text)."""
    if log.exists():
        log.unlink()
    result = run([WINE, patch, "/S", "/LOG=" + windows_path(log),
                  "/D=" + windows_path(copy)])
    text = log.read_text(encoding="utf-8") if log.exists() else ""
    return result.returncode, text


def zstd_size(arguments):
    out = WORK / "run/zstd.out"
    run(["zstd", "-q", "-f", "-19", "--long=30"] + arguments + ["-o", out], check=True)
    size = out.stat().st_size
    out.unlink()
    return size


def run_pair(name, old, new, renamed, x86):
    print("\n%s" % name)
    patches = WORK / "run"
    patches.mkdir(parents=True, exist_ok=True)
    patch = {arch: patches / ("p-%s.exe" % arch) for arch in ("x86", "x64")}
    for arch, path in patch.items():
        created = run([SELFPATCH, "create", old, new, "-o", path, "--arch", arch, "-q"])
        check(created.returncode == 0, "%s: create --arch %s: %s" % (name, arch, created.stderr))
    print("  create: " + " ".join(created.stdout.split()))
    plain = patches / "p-plain.exe"
    check(run([SELFPATCH, "create", old, new, "-o", plain, "--plain", "-q"]).returncode == 0,
          "%s: create --plain" % name)
    info = run([SELFPATCH, "info", patch["x86"]]).stdout.splitlines()
    for line in info:
        if line.startswith(("remove", "rmdir")) or " (from " in line:
            print("  info: " + " ".join(line.split()))
    described = json.loads(run([SELFPATCH, "info", patch["x86"], "--json"]).stdout)
    package = described["packageSize"]
    plain_package = json.loads(run([SELFPATCH, "info", plain, "--json"]).stdout)["packageSize"]
    entries = described["entries"]
    removed = [e["name"] for e in entries if e["kind"] == "remove"]
    folders = [e["name"] for e in entries if e["kind"] == "rmdir"]
    sourced = [e for e in entries if "source" in e]
    cost = "-"
    for entry in sourced:
        source = old / entry["source"].replace("\\", "/")
        target = new / entry["name"].replace("\\", "/")
        print("  %s from %s: %d package bytes; zstd -19 --patch-from %d, stored whole "
              "(zstd -19) %d" % (entry["name"], entry["source"], entry["dataBytes"],
                                 zstd_size(["--patch-from=%s" % source, target]),
                                 zstd_size([target])))
        if renamed and entry["name"] == renamed.replace("/", "\\"):
            cost = entry["dataBytes"]
    if renamed:
        check(cost != "-" and cost < 1024, "%s: %s costs %s bytes" % (name, renamed, cost))

    # Each applier on a fresh copy of OLD: the copy must become NEW.
    native = ""
    for form, path in (("", patch["x86"]), (" --plain", plain)):
        copy = fresh_copy(old, "native")
        applied = run([SELFPATCH, "apply", path, copy, "-y", "-q"])
        check(applied.returncode == 0,
              "%s: apply%s: %s" % (name, form, applied.stdout + applied.stderr))
        for file in removed:
            check("removed: %s" % (copy / file.replace("\\", "/")) in applied.stdout,
                  "%s: apply%s does not say %s was removed" % (name, form, file))
        difference = diff_r(new, copy)
        check(difference == "", "%s: native diff -r%s:\n%s" % (name, form, difference))
        native += difference
    wine = []
    for arch in ("x64", "x86") if x86 else ("x64",):
        copy = fresh_copy(old, arch)
        code, log = apply_wine(patch[arch], copy, patches / ("%s.log" % arch))
        check(code == 0, "%s: %s applier exit code %d:\n%s" % (name, arch, code, log))
        for file in removed:
            check("entry %s: removed" % windows_path(copy / file) in log.replace("/", "\\"),
                  "%s: the %s log does not name %s as removed" % (name, arch, file))
        difference = diff_r(new, copy)
        check(difference == "", "%s: %s diff -r:\n%s" % (name, arch, difference))
        wine.append("%s %s" % (arch, "nothing" if difference == "" else "DIFFERS"))
    return (name, package, plain_package, "%d+%d" % (len(removed), len(folders)), len(sourced),
            cost, "nothing" if native == "" else "DIFFERS", ", ".join(wine))


def changed_removed_file(old, new, changed):
    """A file the patch removes, changed by the user: kept and said so, in
    `apply`'s output and the /LOG; every other file is NEW's."""
    print("\nmade-up tree, %s changed by the user before the patch" % changed)
    patches = WORK / "run"
    expected = WORK / "run/expected"
    shutil.rmtree(expected, ignore_errors=True)
    shutil.copytree(new, expected)
    (expected / changed).parent.mkdir(parents=True, exist_ok=True)
    (expected / changed).write_bytes((old / changed).read_bytes() + b"user's edit")
    rows = []
    for how in ("native", "x64"):
        copy = fresh_copy(old, how)
        (copy / changed).write_bytes((expected / changed).read_bytes())
        if how == "native":
            result = run([SELFPATCH, "apply", patches / "p-x86.exe", copy, "-y", "-q"])
            code, said = result.returncode, result.stdout
            wanted = "kept, changed since the old version: %s" % (copy / changed)
        else:
            code, said = apply_wine(patches / "p-x64.exe", copy, patches / "changed.log")
            said = said.replace("/", "\\")
            wanted = "entry %s: kept: changed since the old version" % windows_path(copy / changed)
        reported = wanted in said
        difference = diff_r(expected, copy)
        check(code == 0 and reported and difference == "",
              "%s: code %d, reported %s, diff -r against NEW plus the kept file:\n%s\n%s"
              % (how, code, reported, difference, said))
        line = next((line for line in said.splitlines() if wanted in line), "(not reported)")
        print("  %s: code %d; %s; rest equals NEW: %s" % (how, code, line.strip(),
                                                        difference == ""))
        rows.append(difference == "" and reported)
    return rows


def changed_source(name, old, source):
    """A changed file that a new file is rebuilt from: 10, nothing changed."""
    copy = fresh_copy(old, "source")
    with open(copy / source, "ab") as file:
        file.write(b"user's edit")
    before = WORK / "run/source-before"
    shutil.rmtree(before, ignore_errors=True)
    shutil.copytree(copy, before)
    result = run([SELFPATCH, "apply", WORK / "run/p-x86.exe", copy, "-y", "-q"])
    untouched = diff_r(before, copy) == ""
    print("\n%s, the source %s changed by the user: apply exits %d, folder untouched: %s\n  %s"
          % (name, source, result.returncode, untouched, result.stderr.strip()))
    check(result.returncode == 10 and untouched and source in result.stderr,
          "%s: a changed source" % name)
    shutil.rmtree(before)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--no-x86", action="store_true",
                        help="the x86 applier on the made-up tree only")
    x86 = not parser.parse_args().no_x86
    if not SELFPATCH.exists():
        sys.exit("missing %s: make appliers && make release" % SELFPATCH)
    rows = []
    old, new = made_up_trees()
    rows.append(run_pair("made-up tree", old, new, "lib/libfoo-1.3.dll", True))
    changed = changed_removed_file(old, new, "legacy/sub/b.dat")
    for name, package, before, after, renamed in NPM_PAIRS:
        old, new = fetch_tree(package, before), fetch_tree(package, after)
        rows.append(run_pair(name, old, new, renamed, x86))
        if renamed:
            changed_source(name, old, "lib/libvips-cpp-8.17.2.dll")
    print("\n%-26s %9s %9s %8s %8s %10s %8s %s" % (
        "pair", "package", "plain", "removed", "rebuilt", "renamed", "native", "Wine"))
    print("%-26s %9s %9s %8s %8s %10s %8s %s" % (
        "", "bytes", "bytes", "files+", "from old", "file's", "diff -r", "diff -r"))
    print("%-26s %9s %9s %8s %8s %10s" % ("", "", "", "folders", "files", "bytes"))
    for row in rows:
        print("%-26s %9d %9d %8s %8d %10s %8s %s" % row)
    print("a removed file the user changed: kept and reported, the rest NEW: %s"
          % ", ".join("%s %s" % (how, "yes" if ok else "NO")
                      for how, ok in zip(("native", "x64 Wine"), changed)))
    shutil.rmtree(WORK / "run")
    if failures:
        print("\n%d checks failed" % len(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
