#!/usr/bin/env python3
"""What the dialog's progress messages cost: a patch that rebuilds a 2 KB
file and one that rebuilds a 10 MB file, in the same run, each applied by
the real x64 program under wine64 through its dialog (time from answering
Yes to the completion box, best of REPEATS), and once by the counting build
of the same program (tests/e2e/counting_applier.cc) for the number of
progress messages its dialog received. With the release build's
apply_bench, the same patches are applied natively beside them.

  python3 bench/progress_cost.py [REPEATS] [MiB]

Needs the native and win-x64 builds (make native win-x64); the native
column needs cmake --build --preset release --target apply_bench.
"""
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
COUNTING = e2e.BUILD / "win-x64/tests/counting_applier.exe"


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
        s.process = subprocess.Popen(
            [str(e2e.WINE), str(exe), str(count_file)], env=session.env,
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
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    for tool in (e2e.STUB, COUNTING, e2e.DRIVER, e2e.MAKE_PATCH):
        if not tool.exists():
            sys.exit("missing %s: make native win-x64" % tool)
    work = e2e.WORK / "progress-cost"
    work.mkdir(parents=True, exist_ok=True)
    cases = []
    for label, size in (("2 KB", 2048), ("%d MB" % mib, mib << 20)):
        folder = work / label.replace(" ", "")
        folder.mkdir(exist_ok=True)
        old, new = make_pair(size, size)
        (folder / "old").write_bytes(old)
        (folder / "new").write_bytes(new)
        patches = {}
        for kind, stub in (("shipped", e2e.STUB), ("counting", COUNTING)):
            patches[kind] = folder / (kind + ".exe")
            subprocess.run([str(e2e.MAKE_PATCH), str(stub),
                            str(patches[kind]), "0", "patch", "target.bin",
                            str(folder / "old"), str(folder / "new")],
                           check=True)
        cases.append((label, folder, old, new, patches))

    rows = []
    session = e2e.Session()
    try:
        session.start()
        for label, folder, old, new, patches in cases:
            times = [through_dialog(session, label, patches["shipped"], old,
                                    new) for _ in range(repeats)]
            count_file = folder / "messages.txt"
            through_dialog(session, label, patches["counting"], old, new,
                           count_file)
            messages = int(count_file.read_text().strip())
            rows.append((label, native(patches["shipped"], old), min(times),
                         messages))
    finally:
        session.stop()

    floor = rows[0][2]
    print("%-6s %14s %16s %14s %12s %10s" % (
        "file", "native apply", "native messages", "wine dialog",
        "x 2 KB time", "messages"))
    for label, native_run, took, messages in rows:
        seconds, sent = native_run if native_run else (float("nan"), -1)
        print("%-6s %12.3f s %16d %12.2f s %12.1f %10d" % (
            label, seconds, sent, took, took / floor, messages))


if __name__ == "__main__":
    main()
