#!/usr/bin/env python3
"""What synchronous progress messages cost: one package that rebuilds a
256 MiB file, applied once by the real x64 program under wine64 through its
dialog, and once natively with a window that only counts messages.

  python3 bench/progress_cost.py [MiB]

Needs the native, release and win-x64 builds (make check win-x64; cmake
--build --preset release --target apply_bench).
"""
import os
import pathlib
import random
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
import run_e2e as e2e  # noqa: E402

APPLY_BENCH = ROOT / "build/release/bench/apply_bench"


def main():
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    work = e2e.WORK / "progress-cost"
    work.mkdir(parents=True, exist_ok=True)
    generator = random.Random(3)
    old = b"".join(generator.randbytes(1 << 20) for _ in range(mib))
    new = old[:4096] + b"changed" + old[4096 + 7:]
    (work / "old").write_bytes(old)
    (work / "new").write_bytes(new)
    exe = work / "patch.exe"
    subprocess.run([str(e2e.MAKE_PATCH), str(e2e.STUBS["x64"]), str(exe), "0",
                    "patch", "big.bin", str(work / "old"), str(work / "new")],
                   check=True)

    native = work / "native"
    native.mkdir(exist_ok=True)
    (native / "big.bin").write_bytes(old)
    out = subprocess.run([str(APPLY_BENCH), str(exe), str(native)],
                         capture_output=True, text=True, check=True)
    print(out.stdout.strip())

    session = e2e.Session()
    try:
        session.start()
        s = e2e.Scenario(session, "progress-cost/wine")
        s.file("big.bin", old)
        s.start(exe)
        s.wait_window(e2e.CONFIRM)
        s.press(e2e.CONFIRM, "yes")
        started = time.time()
        code, _ = session.drive("wait", e2e.DONE, "3600000", timeout=3700)
        took = time.time() - started
        s.press(e2e.DONE, "ok")
        s.finish()
        assert code == 0 and (s.app / "big.bin").read_bytes() == new
        print("wine64, real dialog: %.2f s (%.1f MiB/s)" % (took, mib / took))
    finally:
        session.stop()


if __name__ == "__main__":
    main()
