#!/usr/bin/env python3
"""Create time beside bsdiff's, in alternating runs: the measure for files
small enough that one run of each says little (bench/patch_size.py takes
the median of five, each through /usr/bin/time).

Each run makes the patch of each pair with `selfpatch create` (the default
form, then --plain: one ordered form, nothing compressed, which is most of
what create costs beyond its choice) and with `bsdiff`, one after the
other, writing over the last run's output as a user's rerun does; the
table shows medians of --runs runs and the default form over bsdiff.
--baseline adds another selfpatch build's default form to the alternation.

  cmake --build --preset release --target selfpatch
  python3 bench/create_time.py [--runs N] [--baseline OTHER_SELFPATCH] [PAIR...]

PAIR picks the pairs whose name contains it, as bench/patch_size.py names
them (default: the demo's hello.exe and sharp's modules).
"""
import pathlib
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import patch_size  # noqa: E402

WORK = patch_size.ROOT / "build/bench/create"
DEFAULT_PAIRS = ["demo", "sharp"]


def seconds(command):
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - started


def main():
    arguments = patch_size.alternation_arguments(__doc__, 21, DEFAULT_PAIRS)
    pairs = [patch_size.DEMO_PAIR]
    for name, package, before, after, member in patch_size.NPM_PAIRS:
        pairs.append((name, (package, before, member), (package, after, member)))
    WORK.mkdir(parents=True, exist_ok=True)
    print("create time, medians of %d alternating runs (ms)" % arguments.runs)
    print("  %-32s %9s %9s %9s %9s %7s" % ("pair", "selfpatch", "--plain", "baseline",
                                          "bsdiff", "ratio"))
    for name, old, new in pairs:
        if not any(wanted in name for wanted in arguments.pairs):
            continue
        if isinstance(old, tuple):
            old, new = patch_size.fetch(*old), patch_size.fetch(*new)
        patch = WORK / "patch.exe"

        def create(program, *form):
            return [program, "create", old, new, "-o", patch, "--stub",
                    patch_size.STUB] + list(form)
        commands = {"selfpatch": create(patch_size.SELFPATCH),
                    "--plain": create(patch_size.SELFPATCH, "--plain"),
                    "bsdiff": ["bsdiff", old, new, WORK / "patch.bsdiff"]}
        if arguments.baseline:
            commands["baseline"] = create(arguments.baseline)
        times = {label: [] for label in commands}
        for _ in range(arguments.runs):
            for label, command in commands.items():
                times[label].append(seconds(command))
        median = {label: statistics.median(t) * 1000 for label, t in times.items()}
        print("  %-32s %9.1f %9.1f %9s %9.1f %7.2f"
              % (name, median["selfpatch"], median["--plain"],
                 "%.1f" % median["baseline"] if "baseline" in median else "-",
                 median["bsdiff"], median["selfpatch"] / median["bsdiff"]))


if __name__ == "__main__":
    main()
