#!/usr/bin/env python3
"""What the dialog's progress messages cost, in one run: a patch that
rebuilds a 2 KB file and one that rebuilds a 10 MB file, each applied by
the real x64 program under wine64 through its dialog (time from answering
Yes to the completion box, best of --repeats), and once by the counting
build of the same program (tests/e2e/counting_applier.cc) for the number
of progress messages its dialog received. --baseline adds another win-x64
build (an earlier commit's) beside this one. With the release build's
apply_bench, each patch is also applied natively (time, messages sent).

  python3 bench/progress_cost.py [--repeats N] [--mib N] [--baseline DIR]

Needs the native and win-x64 builds (make native win-x64); the native
columns need cmake --build --preset release --target apply_bench.
"""
import argparse
import pathlib
import random
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
import run_e2e as e2e  # noqa: E402

APPLY_BENCH = ROOT / "build/release/bench/apply_bench"
# Inside a win-x64 build folder.
STUB = "src/ui/selfpatch-stub-x64.exe"
COUNTING = "tests/counting_applier.exe"


def make_pair(size, seed):
    generator = random.Random(seed)
    old = generator.randbytes(size)
    at = size // 3
    new = old[:at] + b"changed" + old[at + 7:]
    return old, new


def native(exe, old):
    """Seconds and progress messages of a native apply, or None."""
    if not APPLY_BENCH.exists():
        return None
    folder = exe.parent / "native"
    folder.mkdir(exist_ok=True)
    (folder / "target.bin").write_bytes(old)
    out = subprocess.run([str(APPLY_BENCH), str(exe), str(folder)],
                         capture_output=True, text=True, check=True).stdout
    found = re.search(r"([0-9.]+) s, ([0-9]+) progress", out)
    return float(found.group(1)), int(found.group(2))


def through_dialog(session, name, exe, old, new, count_file=None):
    """Seconds from answering Yes to the completion box."""
    s = e2e.Scenario(session, "progress-cost/run-" + name.replace(" ", ""))
    s.file("target.bin", old)
    if count_file is None:
        s.start(exe)
    else:
        s.before = e2e.snapshot(s.app)
        windows_path = "Z:" + str(count_file).replace("/", "\\")
        s.process = subprocess.Popen(
            [str(e2e.WINE), str(exe), windows_path], env=session.env,
            cwd=s.app, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    s.wait_window(e2e.CONFIRM)
    s.press(e2e.CONFIRM, "yes")
    started = time.time()
    code, _ = session.drive("wait", e2e.DONE, "3600000", timeout=3700)
    took = time.time() - started
    s.press(e2e.DONE, "ok")
    s.finish()
    assert code == 0 and (s.app / "target.bin").read_bytes() == new, name
    return took


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--mib", type=int, default=10)
    parser.add_argument("--baseline", type=pathlib.Path,
                        help="another win-x64 build folder to measure beside")
    args = parser.parse_args()
    builds = [("this", e2e.BUILD / "win-x64")]
    if args.baseline:
        builds.insert(0, ("baseline", args.baseline.resolve()))
    for _, build in builds:
        for tool in (build / STUB, build / COUNTING):
            if not tool.exists():
                sys.exit("missing %s: make native win-x64" % tool)
    for tool in (e2e.DRIVER, e2e.MAKE_PATCH):
        if not tool.exists():
            sys.exit("missing %s: make native win-x64" % tool)

    work = e2e.WORK / "progress-cost"
    work.mkdir(parents=True, exist_ok=True)
    cases = []
    for label, size in (("2 KB", 2048), ("%d MB" % args.mib, args.mib << 20)):
        old, new = make_pair(size, size)
        for build_name, build in builds:
            folder = work / (build_name + "-" + label.replace(" ", ""))
            folder.mkdir(exist_ok=True)
            (folder / "old").write_bytes(old)
            (folder / "new").write_bytes(new)
            patches = {}
            for kind, stub in (("shipped", STUB), ("counting", COUNTING)):
                patches[kind] = folder / (kind + ".exe")
                subprocess.run([str(e2e.MAKE_PATCH), str(build / stub),
                                str(patches[kind]), "0", "patch", "target.bin",
                                str(folder / "old"), str(folder / "new")],
                               check=True)
            cases.append((build_name, label, folder, old, new, patches))

    rows = []
    session = e2e.Session()
    try:
        session.start()
        for build_name, label, folder, old, new, patches in cases:
            name = folder.name
            times = [through_dialog(session, name, patches["shipped"], old,
                                    new) for _ in range(args.repeats)]
            count_file = folder / "messages.txt"
            through_dialog(session, name, patches["counting"], old, new,
                           count_file)
            messages = int(count_file.read_text().strip())
            # The native apply runs this tree's worker.
            native_run = (native(patches["shipped"], old)
                          if build_name == "this" else None)
            rows.append((build_name, label, native_run, min(times), messages))
    finally:
        session.stop()

    floors = {build: took for build, label, _, took, _ in rows
              if label == "2 KB"}
    print("%-8s %-6s %12s %9s %12s %8s %9s" % (
        "build", "file", "native", "messages", "dialog", "x 2 KB",
        "messages"))
    for build, label, native_run, took, messages in rows:
        native_text = ("%10.3f s %9d" % native_run if native_run
                       else "%12s %9s" % ("-", "-"))
        print("%-8s %-6s %s %10.2f s %8.1f %9d" % (
            build, label, native_text, took, took / floors[build], messages))


if __name__ == "__main__":
    main()
