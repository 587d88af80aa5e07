#!/usr/bin/env python3
"""Patch size and speed on real executable pairs, side by side with bsdiff,
xdelta3 -9 -S djw and zstd -19 --long --patch-from, in the same run.

Pairs are two consecutive releases of Windows executables and DLLs that npm
packages ship (Go, Rust, C and C++; x86 and x64; up to 33 MB), fetched with
`npm pack` into build/bench/pairs (never committed), plus the demo's small
program. For each: package size, package size after xz -9, diff time, max
RSS of the diff (the median of five runs for one under half a second),
apply time (selfpatch apply checks both digests; best of APPLY_RUNS) and
the apply's max RSS, for every tool; selfpatch in both
forms, the default (compressed, seeking) and --plain, with the size of the
whole patch executable and the default form against the plain one after
xz -9. The summary at the end sets each package beside bsdiff's patch:
the size ratio per pair, its geometric mean and worst, and the create
times.

  tools/need.sh bench    (the baselines; make release installs them too)
  make win-x86 && cmake --preset release && cmake --build --preset release
  python3 bench/patch_size.py [--baseline OTHER_SELFPATCH] [PAIR...]

--baseline adds the rows of another selfpatch build (both forms), made and
applied in the same run: the way to compare a change to the producer.
PAIR picks the pairs whose names contain it. After the pairs, a tree of
many files (the typescript package, two releases) sets the default
package beside the plain one after xz -9.
"""
import argparse
import math
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tarfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build/bench/pairs"
SELFPATCH = ROOT / "build/release/src/selfpatch"
LCS_BOUND = ROOT / "build/release/bench/lcs_bound"
# Myers' algorithm costs (old + new) x edits: pairs beyond this many edits
# are too far apart to bound here.
LCS_MAX_EDITS = 200000
STUB = ROOT / "build/win-x86/src/ui/selfpatch-stub-x86.exe"
# Apply times are the best of this many runs: one run is at the mercy of
# the disk and the scheduler.
APPLY_RUNS = 5

NPM_PAIRS = [
    ("esbuild 0.19.11 -> 0.19.12", "@esbuild/win32-x64", "0.19.11", "0.19.12", "package/esbuild.exe"),
    ("esbuild 0.20.1 -> 0.20.2", "@esbuild/win32-x64", "0.20.1", "0.20.2", "package/esbuild.exe"),
    ("esbuild x64 0.25.1 -> 0.25.2", "@esbuild/win32-x64", "0.25.1", "0.25.2", "package/esbuild.exe"),
    ("esbuild ia32 0.25.1 -> 0.25.2", "@esbuild/win32-ia32", "0.25.1", "0.25.2",
     "package/esbuild.exe"),
    ("biome x64 1.9.3 -> 1.9.4", "@biomejs/cli-win32-x64", "1.9.3", "1.9.4", "package/biome.exe"),
    ("sharp .node x64 0.34.4 -> .5", "@img/sharp-win32-x64", "0.34.4", "0.34.5",
     "package/lib/sharp-win32-x64.node"),
    ("sharp .node ia32 0.34.4 -> .5", "@img/sharp-win32-ia32", "0.34.4", "0.34.5",
     "package/lib/sharp-win32-ia32.node"),
    ("libvips dll x64 0.34.4 -> .5", "@img/sharp-win32-x64", "0.34.4", "0.34.5",
     "package/lib/libvips-42.dll"),
    ("libvips dll ia32 0.34.4 -> .5", "@img/sharp-win32-ia32", "0.34.4", "0.34.5",
     "package/lib/libvips-42.dll"),
    ("lightningcss x64 1.30.1 -> .2", "lightningcss-win32-x64-msvc", "1.30.1", "1.30.2",
     "package/lightningcss.win32-x64-msvc.node"),
    ("rollup ia32 4.69.2 -> .3", "@rollup/rollup-win32-ia32-msvc", "4.69.2", "4.69.3",
     "package/rollup.win32-ia32-msvc.node"),
]


# Trees of many files: a package's folder in two releases, against the
# plain package after xz -9 (one stream over every entry).
NPM_TREES = [
    ("typescript 5.8.3 -> 5.9.2", "typescript", "5.8.3", "5.9.2"),
]


def fetch_tree(package, version):
    """The unpacked folder of an npm package (its `package/`), fetched once."""
    folder = WORK / (package.replace("/", "_") + "-" + version + "-tree")
    if (folder / "package").is_dir():
        return folder / "package"
    folder.mkdir(parents=True, exist_ok=True)
    out = subprocess.run(["npm", "pack", "%s@%s" % (package, version), "--silent"],
                         cwd=folder, capture_output=True, text=True, check=True)
    tgz = folder / out.stdout.strip().splitlines()[-1]
    with tarfile.open(tgz) as archive:
        archive.extractall(folder, filter="data")
    tgz.unlink()
    return folder / "package"


def run_tree(name, old, new):
    """The default package of a tree beside the plain one after xz -9."""
    work = WORK / "run"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    sizes = {}
    for form, extra in (("default", []), ("plain", ["--plain"])):
        patch = work / ("tree-%s.exe" % form)
        seconds, _ = measure([SELFPATCH, "create", old, new, "-o", patch, "--stub", STUB]
                             + extra)
        package = work / ("tree-%s.bin" % form)
        package.write_bytes(patch.read_bytes()[STUB.stat().st_size:])
        sizes[form] = (package.stat().st_size, xz_size(package), seconds)
        target = work / "target"
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(old, target)
        subprocess.run([SELFPATCH, "apply", patch, target, "--yes"], check=True,
                       capture_output=True)
        assert subprocess.run(["diff", "-r", new, target]).returncode == 0, form
    print("\n%s (a tree): default package %d bytes (create %.2f s); plain %d, after xz -9 %d; "
          "default vs plain after xz -9: %.3f"
          % (name, sizes["default"][0], sizes["default"][2], sizes["plain"][0],
             sizes["plain"][1], sizes["default"][0] / sizes["plain"][1]))


def fetch(package, version, member):
    folder = WORK / (package.replace("/", "_") + "-" + version)
    target = folder / pathlib.Path(member).name
    if target.exists():
        return target
    folder.mkdir(parents=True, exist_ok=True)
    out = subprocess.run(["npm", "pack", "%s@%s" % (package, version), "--silent"],
                         cwd=folder, capture_output=True, text=True, check=True)
    tgz = folder / out.stdout.strip().splitlines()[-1]
    with tarfile.open(tgz) as archive:
        data = archive.extractfile(member).read()
    target.write_bytes(data)
    tgz.unlink()
    return target


def measure(command):
    """Runs a command; returns (seconds, max RSS in MiB). The RSS comes from
    GNU time: a child forked from this Python process would count the
    interpreter's pages as its own."""
    report = WORK / "rss.txt"
    report.parent.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    process = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + list(command),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    took = time.perf_counter() - started
    if process.returncode != 0:
        raise RuntimeError("failed: %s" % " ".join(map(str, command)))
    return took, int(report.read_text().split()[-1]) / 1024.0


def measure_create(command):
    """measure() of a patch's creation: a quick one (under half a second) is
    run four times more and its median taken, as one run of a tenth of a
    second tells little; the largest max RSS."""
    runs = [measure(command)]
    if runs[0][0] < 0.5:
        runs += [measure(command) for _ in range(4)]
    return statistics.median(r[0] for r in runs), max(r[1] for r in runs)


def best_apply(command, prepare=lambda: None):
    """The best time of APPLY_RUNS runs, and the largest max RSS."""
    runs = []
    for _ in range(APPLY_RUNS):
        prepare()
        runs.append(measure(command))
    return min(run[0] for run in runs), max(run[1] for run in runs)


def xz_size(path):
    return len(subprocess.run(["xz", "-9", "-c", str(path)], capture_output=True,
                              check=True).stdout)


def run_pair(name, old, new, baseline):
    work = WORK / "run"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    results = []

    # selfpatch, both forms: the package is what follows the stub.
    target = work / "target"

    def fresh_target():
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        shutil.copy(old, target / new.name)

    executable = 0
    copied = 0
    builds = [("selfpatch", SELFPATCH)]
    if baseline:
        builds.append(("baseline", baseline))
    forms = [(label + form, program, extra) for label, program in builds
             for form, extra in (("", []), (" --plain", ["--plain"]))]
    for form, program, extra in forms:
        patch = work / ("patch%s.exe" % ("-plain" if extra else ""))
        create = [program, "create", old, new, "-o", patch, "--stub", STUB] + extra
        diff_time, rss = measure_create(create)
        summary = subprocess.run(create, capture_output=True, text=True, check=True).stdout
        if program == SELFPATCH:
            copied = int(summary.split("(")[1].split()[0])
        package = work / "package.bin"
        package.write_bytes(patch.read_bytes()[STUB.stat().st_size:])
        apply_time, apply_rss = best_apply([SELFPATCH, "apply", patch, target, "--yes"],
                                           fresh_target)
        assert (target / new.name).read_bytes() == new.read_bytes()
        if form == "selfpatch":
            executable = patch.stat().st_size
        results.append((form, package.stat().st_size, xz_size(package), diff_time, rss,
                        apply_time, apply_rss))

    out = work / "out"
    tools = [
        ("bsdiff", ["bsdiff", old, new, work / "p.bsdiff"], work / "p.bsdiff",
         ["bspatch", old, out, work / "p.bsdiff"]),
        ("xdelta3 -9 -S djw", ["xdelta3", "-f", "-9", "-S", "djw", "-e", "-s", old, new,
                               work / "p.xd3"], work / "p.xd3",
         ["xdelta3", "-f", "-d", "-s", old, work / "p.xd3", out]),
        ("zstd -19 --patch-from", ["zstd", "-q", "-f", "-19", "--long=30", "--patch-from=%s" % old,
                                   new, "-o", work / "p.zst"], work / "p.zst",
         ["zstd", "-q", "-f", "-d", "--long=30", "--patch-from=%s" % old, work / "p.zst",
          "-o", out]),
    ]
    for tool, create, patch_file, apply in tools:
        diff_time, rss = measure_create(create)
        apply_time, apply_rss = best_apply(apply)
        assert out.read_bytes() == new.read_bytes(), tool
        size = patch_file.stat().st_size
        results.append((tool, size, xz_size(patch_file), diff_time, rss, apply_time,
                        apply_rss))

    print("\n%s: old %d bytes, new %d bytes" % (name, old.stat().st_size, new.stat().st_size))
    print("  %-22s %10s %10s %8s %9s %8s %9s" % ("tool", "patch", "xz -9", "diff s",
                                                "RSS MiB", "apply s", "RSS MiB"))
    for row in results:
        print("  %-22s %10d %10d %8.2f %9.1f %8.3f %9.1f" % row)
    bound = subprocess.run([LCS_BOUND, old, new, str(LCS_MAX_EDITS)], capture_output=True,
                           text=True).stdout.strip()
    if bound.isdigit():
        print("  new bytes taken from the old file: %d of an in-order bound (LCS) of %s: "
              "%.1f%%" % (copied, bound, 100.0 * copied / int(bound)))
    else:
        print("  in-order bound: old and new are too far apart for Myers' O(ND) here")
    compressed, plain = results[0], results[1]
    xdelta = next(row for row in results if row[0].startswith("xdelta3"))
    print("  patch executable (compressed): %d bytes (applier %d)"
          % (executable, STUB.stat().st_size))
    print("  compressed package vs plain after xz -9: %.3f; vs xdelta3's patch: %.3f; "
          "apply time compressed vs plain: %.2f"
          % (compressed[1] / plain[2], compressed[1] / xdelta[1],
             compressed[5] / plain[5]))
    return results


def summary(rows):
    """Each pair's default package beside bsdiff's patch, and the means."""
    print("\nselfpatch (default form) against bsdiff, in the same run:")
    print("  %-30s %10s %10s %6s %9s %9s %9s" % ("pair", "selfpatch", "bsdiff", "ratio",
                                              "create s", "bsdiff s", "apply MiB"))
    ratios = []
    for name, results in rows:
        own = results[0]
        bsdiff = next(row for row in results if row[0] == "bsdiff")
        ratios.append(own[1] / bsdiff[1])
        print("  %-30s %10d %10d %6.3f %9.3f %9.3f %9.1f"
              % (name, own[1], bsdiff[1], ratios[-1], own[3], bsdiff[3], own[6]))
    mean = math.exp(sum(math.log(r) for r in ratios) / len(ratios))
    print("  geometric mean %.3f, worst %.3f" % (mean, max(ratios)))


# The demo's small program, the first pair of every benchmark that takes it.
DEMO_PAIR = ("demo hello.exe", ROOT / "examples/demo/v1/hello.exe",
             ROOT / "examples/demo/v2/hello.exe")


def require(*tools):
    """Stops when selfpatch, the applier stub or one of `tools` is not built."""
    for tool in (SELFPATCH, STUB) + tools:
        if not tool.exists():
            sys.exit("missing %s: make win-x86 and cmake --build --preset release" % tool)


def alternation_arguments(doc, runs, pairs):
    """The arguments of a benchmark that alternates selfpatch with others:
    --runs (`runs` by default), --baseline and the pairs (`pairs`)."""
    parser = argparse.ArgumentParser(description=doc,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=runs)
    parser.add_argument("--baseline", type=pathlib.Path)
    parser.add_argument("pairs", nargs="*", default=pairs)
    arguments = parser.parse_args()
    require()
    return arguments


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", type=pathlib.Path,
                        help="another selfpatch build to measure beside this one")
    parser.add_argument("pairs", nargs="*",
                        help="only the pairs and trees whose names contain one of these")
    arguments = parser.parse_args()
    baseline = arguments.baseline

    def wanted(name):
        return not arguments.pairs or any(part in name for part in arguments.pairs)
    if baseline and not baseline.exists():
        sys.exit("missing %s" % baseline)
    require(LCS_BOUND)
    pairs = [DEMO_PAIR]
    pairs = [pair for pair in pairs if wanted(pair[0])]
    for name, package, before, after, member in NPM_PAIRS:
        if not wanted(name):
            continue
        try:
            pairs.append((name, fetch(package, before, member), fetch(package, after, member)))
        except (subprocess.CalledProcessError, KeyError) as error:
            print("skipping %s: %s" % (name, error))
    rows = []
    for name, old, new in pairs:
        rows.append((name, run_pair(name, old, new, baseline)))
    if rows:
        summary(rows)
    for name, package, before, after in NPM_TREES:
        if wanted(name):
            run_tree(name, fetch_tree(package, before), fetch_tree(package, after))


if __name__ == "__main__":
    main()
