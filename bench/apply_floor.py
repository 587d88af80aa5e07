#!/usr/bin/env python3
"""Apply time against the physical floor of the same work, in one run.

The floor of applying a patch to one file: read the old file and the
package (`cat` to /dev/null), write the new file and flush it (`cp` of the
old file, then `sync` on the copy), and SHA-256 both files at OpenSSL's
speed (`openssl dgst -sha256`). Each pair's patch is made once (default
form, and --plain), then `selfpatch apply` and the floor run alternately,
each on a fresh copy of the old file made outside the timing; the table
shows medians of --runs runs, apply over floor, and the apply's max RSS.
--baseline adds another selfpatch build's patches, made by it and applied
by it, in the same alternation (an earlier commit against this one).

  cmake --build --preset release --target selfpatch
  python3 bench/apply_floor.py [--runs N] [--baseline OTHER_SELFPATCH] [PAIR...]

Pairs are fetched as bench/patch_size.py fetches them (build/bench/pairs);
PAIR picks pairs whose name contains it (default: biome, esbuild x64).
"""
import pathlib
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import patch_size  # noqa: E402

ROOT = patch_size.ROOT
WORK = ROOT / "build/bench/apply"
DEFAULT_PAIRS = ["biome", "esbuild x64 0.25"]


def make_patch(name, old, new, form, program=patch_size.SELFPATCH, tag=""):
    """The patch of `old` to `new` in `form` ([] or ["--plain"]) by
    `program`, made once (`tag` names another program's)."""
    patch = WORK / ("%s%s%s.exe" % (name.replace(" ", "_").replace(">", ""),
                                    "-plain" if form else "", tag))
    if not patch.exists():
        subprocess.run([program, "create", old, new, "-o", patch, "--stub",
                        patch_size.STUB] + form, check=True, capture_output=True)
    return patch


def measure(old, new, patches, runs):
    """Median apply seconds per program, its max RSS, and the floor's median."""
    target = WORK / "target"
    copy = WORK / "floor.new"
    programs = list(patches)
    applies = {program: [] for program in programs}
    rss = {program: 0.0 for program in programs}
    floors = []
    patch = patches[programs[0]]
    for _ in range(runs):
        for program in programs:
            shutil.rmtree(target, ignore_errors=True)
            target.mkdir()
            shutil.copy(old, target / new.name)
            seconds, peak = patch_size.measure([program, "apply", patches[program], target,
                                                "--yes"])
            assert (target / new.name).read_bytes() == new.read_bytes(), program
            applies[program].append(seconds)
            rss[program] = max(rss[program], peak)
        copy.unlink(missing_ok=True)
        floor = ("cat '{old}' '{patch}' >/dev/null && cp '{old}' '{copy}' && sync '{copy}' && "
                 "openssl dgst -sha256 '{old}' '{copy}' >/dev/null").format(
                     old=target / new.name, patch=patch, copy=copy)
        floors.append(patch_size.measure(["bash", "-c", floor])[0])
    copy.unlink(missing_ok=True)
    shutil.rmtree(target, ignore_errors=True)
    return ({p: statistics.median(t) for p, t in applies.items()}, rss,
            statistics.median(floors))


def main():
    arguments = patch_size.alternation_arguments(__doc__, 9, DEFAULT_PAIRS)
    programs = [patch_size.SELFPATCH] + ([arguments.baseline] if arguments.baseline else [])
    WORK.mkdir(parents=True, exist_ok=True)
    print("apply time against the floor (read old + package, write + sync new, "
          "openssl SHA-256 of both); medians of %d alternating runs" % arguments.runs)
    print("  %-32s %-8s %-10s %9s %9s %7s %8s" % ("pair", "form", "applier", "apply s",
                                               "floor s", "ratio", "RSS MiB"))
    for name, package, before, after, member in patch_size.NPM_PAIRS:
        if not any(wanted in name for wanted in arguments.pairs):
            continue
        old = patch_size.fetch(package, before, member)
        new = patch_size.fetch(package, after, member)
        for form in ([], ["--plain"]):
            patches = {program: make_patch(name, old, new, form, program,
                                           "" if program == patch_size.SELFPATCH
                                           else "-baseline")
                       for program in programs}
            applies, rss, floor = measure(old, new, patches, arguments.runs)
            for program in programs:
                print("  %-32s %-8s %-10s %9.3f %9.3f %7.2f %8.1f"
                      % (name, "plain" if form else "default",
                         "this" if program == patch_size.SELFPATCH else "baseline",
                         applies[program], floor, applies[program] / floor, rss[program]))


if __name__ == "__main__":
    main()
