#!/usr/bin/env python3
"""The applier's own speed, this build's beside another's in one run: each
patch runs silently (/S /D=) under Wine, best of --runs, the two builds
taking turns. The cases: a one-file patch (the start of the program and a
minimal apply, the floor under the others); the esbuild 0.25.1 -> 0.25.2
executable pair from npm (load, check, decode, rebuild, verify, commit);
and a --plain patch that adds a --mib MiB file, run where that file
already is, so that the run is the SHA-256 of the package and of the file
and ends with "already applied": its time above the floor gives the hash
throughput.

  python3 bench/applier_speed.py --baseline OTHER_TREE [--arch x64|x86]
                                 [--runs N] [--mib N]

OTHER_TREE is a checkout whose build/win-ARCH holds its applier (make
win-x86 win-x64 there); this tree needs the same and the release
selfpatch (cmake --preset release && cmake --build --preset release
--target selfpatch), which makes the patches. x64 code runs natively under
wine64, so its times are the program's own; x86 runs through qemu here.
"""
import argparse
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
import patch_size  # noqa: E402  (fetches npm releases)

SELFPATCH = ROOT / "build/release/src/selfpatch"
WINE = ROOT / "tests/wine/wine.sh"
WORK = ROOT / "build/bench/applier-speed"
PREFIX = ROOT / "build/wine/bench-prefix"
ESBUILD = ("@esbuild/win32-x64", "0.25.1", "0.25.2", "package/esbuild.exe")


def stub(tree, arch):
    return tree / ("build/win-%s/src/ui/selfpatch-stub-%s.exe" % (arch, arch))


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Case:
    """A patch made from OLD to NEW (files or folders), run in a folder that
    holds START under FINAL's name and must hold FINAL's bytes after it."""

    def __init__(self, name, old, new, start, final, plain=False):
        self.name, self.old, self.new, self.start, self.final = name, old, new, start, final
        self.plain = plain
        self.folder = WORK / "run"
        self.patches = {}

    def make(self, label, applier):
        patch = WORK / ("%s-%s.exe" % (self.name.split()[0].lower(), label))
        subprocess.run([str(SELFPATCH), "create", str(self.old), str(self.new), "-o",
                        str(patch), "--stub", str(applier), "--quiet"] +
                       (["--plain"] if self.plain else []),
                       check=True, stdout=subprocess.DEVNULL)
        self.patches[label] = patch

    def run(self, label, env):
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        shutil.copy(self.start, self.folder / self.final.name)
        command = [str(WINE), str(self.patches[label]), "/S",
                   "/D=" + windows_path(self.folder)]
        started = time.perf_counter()
        result = subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=600)
        took = time.perf_counter() - started
        if result.returncode != 0 or \
                (self.folder / self.final.name).read_bytes() != self.final.read_bytes():
            sys.exit("%s with the %s applier: exit code %d or a wrong result" %
                     (self.name, label, result.returncode))
        return took


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", type=pathlib.Path, required=True)
    parser.add_argument("--arch", choices=("x64", "x86"), default="x64")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--mib", type=int, default=256)
    args = parser.parse_args()
    appliers = {"baseline": stub(args.baseline.resolve(), args.arch),
                "this": stub(ROOT, args.arch)}
    for tool in [SELFPATCH] + list(appliers.values()):
        if not tool.exists():
            sys.exit("missing %s (see --help)" % tool)

    WORK.mkdir(parents=True, exist_ok=True)
    package, before, after, member = ESBUILD
    old, new = (patch_size.fetch(package, version, member) for version in (before, after))
    big = WORK / "big" / "data.bin"
    if not big.exists() or big.stat().st_size != args.mib << 20:
        big.parent.mkdir(exist_ok=True)
        generator = random.Random(1)
        with open(big, "wb") as out:
            for _ in range(args.mib):
                out.write(generator.randbytes(1 << 20))
    empty = WORK / "empty"
    empty.mkdir(exist_ok=True)
    small_old, small_new = WORK / "small" / "old" / "a.txt", WORK / "small" / "a.txt"
    small_old.parent.mkdir(parents=True, exist_ok=True)
    small_old.write_bytes(b"version one\n")
    small_new.write_bytes(b"version two\n")
    cases = [Case("floor (start, one small file)", small_old, small_new, small_old,
                  small_new),
             Case("esbuild %s -> %s" % (before, after), old, new, old, new),
             Case("SHA-256 of %d MiB twice" % args.mib, empty, big.parent, big, big,
                  plain=True)]
    for case in cases:
        for label, applier in appliers.items():
            case.make(label, applier)

    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    env = dict(os.environ, SELFPATCH_WINEPREFIX=str(PREFIX),
               DISPLAY=":" + xvfb.stdout.readline().decode().strip())
    best = {}
    try:
        for command in (["wineboot", "-u"], ["wineserver", "-p"]):
            subprocess.run([str(WINE)] + command, env=env, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for round_ in range(args.runs):
            order = list(appliers) if round_ % 2 == 0 else list(reversed(appliers))
            for case in cases:
                for label in order:
                    took = case.run(label, env)
                    key = (case.name, label)
                    best[key] = min(best.get(key, took), took)
    finally:
        subprocess.run([str(WINE), "wineserver", "-k"], env=env, timeout=60)
        xvfb.kill()

    print("%s applier under Wine, best of %d runs: seconds, and above the floor" %
          (args.arch, args.runs))
    print("  %-34s %9s %9s %7s %9s %9s %7s" % ("case", "baseline", "this", "ratio",
                                                "baseline", "this", "ratio"))
    floor = [best[(cases[0].name, label)] for label in appliers]
    for case in cases:
        times = [best[(case.name, label)] for label in appliers]
        line = "  %-34s %9.3f %9.3f %7.3f" % (case.name, times[0], times[1],
                                              times[1] / times[0])
        if case is not cases[0]:
            work = [took - base for took, base in zip(times, floor)]
            line += " %9.3f %9.3f %7.3f" % (work[0], work[1], work[1] / work[0])
        print(line)
    rates = [2 * args.mib / (best[(cases[2].name, label)] - base)
             for label, base in zip(appliers, floor)]
    print("  %-34s %9.0f %9.0f %7.3f" % ("SHA-256 MiB/s above the floor", rates[0],
                                         rates[1], rates[1] / rates[0]))

if __name__ == "__main__":
    main()
