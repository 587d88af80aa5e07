#!/usr/bin/env python3
"""The demo: make a patch from examples/demo/v1 to v2, apply it to a copy
of v1, show what changed and check the result.

Under wine64 (when present) the real x64 applier runs with its dialog,
answered automatically; otherwise `selfpatch apply` does the same work.
"""
import filecmp
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEMO = ROOT / "examples/demo"
OUT = ROOT / "build/demo"
SELFPATCH = ROOT / "build/release/src/selfpatch"
sys.path.insert(0, str(ROOT / "tests/e2e"))
import run_e2e as e2e  # noqa: E402


def run(*args):
    print("$", " ".join(str(a) for a in args))
    subprocess.run([str(a) for a in args], check=True)


def apply_under_wine(patch, installed):
    session = e2e.Session()
    try:
        session.start()
        process = session.launch(patch, installed)
        code, _ = session.drive("wait", e2e.CONFIRM, "30000")
        if code != 0:
            raise SystemExit("demo: the confirmation did not appear")
        session.screenshot(OUT / "confirm.png")
        session.drive("press", e2e.CONFIRM, "yes")
        code, _ = session.drive("wait", e2e.DONE, "60000")
        code2, text = session.drive("text", e2e.DONE, e2e.BOX_TEXT)
        session.screenshot(OUT / "done.png")
        if code != 0:
            raise SystemExit("demo: the patch did not complete")
        print("the applier says:", text)
        session.drive("press", e2e.DONE, "ok")
        process.wait(timeout=60)
    finally:
        session.stop()


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    patch = OUT / "demo-patch.exe"
    installed = OUT / "installed"
    shutil.copytree(DEMO / "v1", installed)
    wine = shutil.which("/usr/lib/wine/wine64") and e2e.STUBS["x64"].exists() and \
        e2e.DRIVER.exists() and shutil.which("Xvfb")
    run(SELFPATCH, "create", DEMO / "v1", DEMO / "v2", "-o", patch,
        "--arch", "x64" if wine else "x86", "--backup")
    run(SELFPATCH, "info", patch)
    run(SELFPATCH, "verify", patch, installed)
    if wine:
        print("applying under wine64 with the real dialog ...")
        apply_under_wine(patch, installed)
    else:
        run(SELFPATCH, "apply", patch, installed, "--yes")

    compare = filecmp.dircmp(DEMO / "v2", installed)
    problems = []

    def walk(c, prefix=""):
        problems.extend(prefix + n for n in c.left_only + c.diff_files)
        for extra in c.right_only:
            if not extra.endswith(".bak"):
                problems.append(prefix + extra + " (unexpected)")
        for name, sub in c.subdirs.items():
            walk(sub, prefix + name + "/")

    walk(compare)
    print("\nwhat changed in", installed)
    for path in sorted(installed.rglob("*")):
        relative = path.relative_to(installed)
        before = DEMO / "v1" / relative
        state = ("backup" if path.suffix == ".bak" else
                 "new" if not before.exists() else
                 "changed" if path.is_file() and not filecmp.cmp(before, path, False)
                 else "same")
        print("  %-8s %s" % (state, relative))
    if problems:
        raise SystemExit("demo: the result differs from v2: %s" % problems)
    print("\ndemo: the installed copy now equals v2 (plus .bak backups)")
    shots = sorted(OUT.glob("*.png"))
    if shots:
        print("demo: screenshots of the dialog:", " ".join(map(str, shots)))
    else:
        print("demo: no screenshots (applied without Wine)")


if __name__ == "__main__":
    main()
