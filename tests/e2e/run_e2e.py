#!/usr/bin/env python3
"""End-to-end runs of the real appliers, x64 under wine64 and x86 (the
shipped default) under wine32, on a virtual X display, answered through the
UI driver: run_e2e.py [x64] [x86] (both when none is named). Every wait has
a timeout, so a crash or a hang fails the scenario instead of the run.
"""
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
STUBS = {arch: BUILD / ("win-%s/src/ui/selfpatch-stub-%s.exe" % (arch, arch))
         for arch in ("x64", "x86")}
DRIVER = BUILD / "win-x64/tests/uidriver.exe"
MAKE_PATCH = BUILD / "native/tests/make_patch"
WINE = ROOT / "tests/wine/wine.sh"
WORK = BUILD / "e2e"
PREFIX = BUILD / "wine/e2e-prefix"

DIALOG = "差分パッチ進行状況"
CONFIRM = "実行確認"
CLOSE = "終了確認"
DONE = "正常終了"
ERROR = "エラー"
PICKER = "パッチを適用するフォルダーを選択してください"
BOX_TEXT = "65535"
COMPLETE = "パッチ作業が完了しました。"


def escape(text):
    return "".join(c if ord(c) < 128 else "\\u%04x" % ord(c) for c in text)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Session:
    """One Wine prefix, one X display, one wineserver for all scenarios."""

    def __init__(self):
        self.env = dict(os.environ, SELFPATCH_WINEPREFIX=str(PREFIX))
        self.arch, self.stub = "x64", STUBS["x64"]  # what scenarios patch with
        self.xvfb = self.keeper = None
        self.folders = []  # of the scenario at hand, removed when it passes

    def start(self):
        # Xvfb takes a free display number and writes it to its stdout.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"], stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        self.display = ":" + self.xvfb.stdout.readline().decode().strip()
        self.env["DISPLAY"] = self.display
        # The first Wine call makes the prefix when there is none yet; one
        # wineserver then serves the whole run, so later starts are fast.
        # What stops wine.sh itself (a missing package, a prefix it cannot
        # make) is its one line, and ends the run; it comes through a file,
        # as the wineserver it starts keeps a pipe open.
        for args in (["wineboot", "-u"], ["wineserver", "-p"]):
            with tempfile.TemporaryFile() as stderr:
                subprocess.run([str(WINE)] + args, env=self.env, timeout=300,
                               stdout=subprocess.DEVNULL, stderr=stderr)
                stderr.seek(0)
                for line in stderr.read().decode("utf-8", "replace").split("\n"):
                    if line.startswith("wine.sh: "):
                        sys.exit(line)
        # Keep the virtual desktop up between programs: a program and the
        # driver that start together while it comes up can hang for good.
        self.keeper = self.launch(DRIVER, ROOT, "wait", "none", "86400000")
        time.sleep(3)

    def run_wine(self, args, timeout, cwd=None):
        return subprocess.run([str(WINE)] + args, env=self.env, cwd=cwd,
                              capture_output=True, timeout=timeout)

    def launch(self, exe, cwd, *args, stdout=subprocess.DEVNULL):
        return subprocess.Popen([str(WINE), str(exe)] + list(args),
                                env=self.env, cwd=cwd, stdout=stdout,
                                stderr=subprocess.DEVNULL)

    def drive(self, *args, timeout=60):
        result = self.run_wine([str(DRIVER)] + [escape(a) for a in args],
                               timeout=timeout)
        return result.returncode, result.stdout.decode("utf-8", "replace").strip()

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        str(path)], capture_output=True)

    def stop(self):
        if self.keeper:
            self.keeper.kill()
        self.run_wine(["wineserver", "-k"], timeout=60)
        if self.xvfb:
            self.xvfb.kill()


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def snapshot(root):
    """Each file's SHA-256 and each folder (None) below root, by name."""
    return {str(path.relative_to(root)) + ("/" if path.is_dir() else ""):
            None if path.is_dir() else sha(path.read_bytes())
            for path in root.rglob("*")}


class Scenario:
    def __init__(self, session, name):
        session.current = self
        self.session, self.stub = session, session.stub
        self.dir = WORK / session.arch / name
        session.folders.append(self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.app = self.dir / "app"
        self.app.mkdir(parents=True)

    def file(self, name, data):
        (self.app / name).write_bytes(data)

    def patch(self, flags, *entries):
        """The stub with a package of ("patch", NAME, OLD, NEW), ("add",
        NAME, DATA) and ("dir", NAME) entries."""
        out, args = self.dir / "patch.exe", []
        for kind, name, *contents in entries:
            args += [kind, name]
            for data in contents:
                args.append(str(self.dir / ("input%d" % len(args))))
                pathlib.Path(args[-1]).write_bytes(data)
        subprocess.run([str(MAKE_PATCH), str(self.stub), str(out), str(flags)]
                       + args, check=True)
        return out

    def start(self, exe):
        self.before = snapshot(self.app)
        self.process = self.session.launch(exe, self.app)

    def wait_window(self, caption, timeout_ms=30000):
        code, _ = self.session.drive("wait", caption, str(timeout_ms))
        check(code == 0, "no window '%s'" % caption)

    def press(self, caption, button):
        """Answers the box (waiting for it) and returns its text."""
        code, text = self.session.drive("press", caption, button)
        check(code == 0, "cannot press %s in '%s'" % (button, caption))
        return text

    def finish(self, timeout=60):
        code = self.process.wait(timeout=timeout)
        check(code == 0, "exit code %d" % code)


def scenario_success(session):
    # Started from a downloads folder: the user picks the installed folder,
    # says yes, asks to close mid-run and says no, and the run completes.
    s = Scenario(session, "success")
    installed = s.dir / "installed"
    installed.mkdir()
    # A few seconds of work: x86 code runs about 4 times slower under qemu.
    old = bytes(range(256)) * 4096 * (768 if session.arch == "x64" else 192)
    new = old[:1000] + b"inserted" * 1000 + old[1000:-5000] + b"\x55" * 1000 \
        + old[-4000:]
    (installed / "app.exe").write_bytes(old)
    (installed / "app.exe.bak").write_bytes(b"an older backup")
    s.start(s.patch(3, ("dir", "plugins"),
                    ("add", "plugins\\new.dll", b"a new plugin"),
                    ("patch", "app.exe", old, new), ("dir", "data"),
                    ("dir", "data\\cache")))
    code, _ = session.drive("type", PICKER, windows_path(installed))
    check(code == 0, "no name field in the picker")
    s.press(PICKER, "ok")
    text = s.press(CONFIRM, "yes")
    check(text == "差分パッチを適応します。よろしいですか？", "confirm: " + text)
    shot = None
    for _ in range(300):  # until a quarter is done, or all of it
        code, pos = session.drive("pos", DIALOG, "1002")
        if code != 0 or session.drive("wait", DONE, "0")[0] == 0:
            break
        if 2500 < int(pos) < 10000:
            shot = WORK / session.arch / "dialog-progress.png"
            session.screenshot(shot)
            code, status = session.drive("text", DIALOG, "1001")
            check(status.endswith("app.exe"), "status text '%s'" % status)
            session.drive("close", DIALOG)
            text = s.press(CLOSE, "no")
            check(text == "終了します。よろしいですか？", "close: " + text)
            break
    text = s.press(DONE, "ok")
    check(text == COMPLETE, "completion: " + text)
    s.finish()
    files = snapshot(installed)
    check(files == {"app.exe": sha(new), "app.exe.bak": sha(old),
                    "data/": None, "data/cache/": None, "plugins/": None,
                    "plugins/new.dll": sha(b"a new plugin")},
          "files: %s" % sorted(files))
    check(snapshot(s.app) == s.before, "the downloads folder changed")
    return shot


# Runs that end without a change: the answer to the confirmation (None: it
# must not be asked) and the error box's text (None: no box). "bare" is the
# stub with no package; in "locked" another program holds app.exe open.
FAILURES = [
    ("declined", "no", None),
    ("bare", None, "パッチファイルのデータサイズが小さすぎます。"),
    ("differs", "yes", "パッチ元ファイルが差分元ファイルデータと異なっています。"),
    ("locked", "yes", "ファイル更新に失敗しました。"),
]


def scenario_failures(session):
    for name, answer, error in FAILURES:
        s = Scenario(session, name)
        s.file("first.dll", b"first, old")
        s.file("app.exe", b"somebody else's" if name == "differs" else b"old")
        if name == "locked":
            holder = session.launch(DRIVER, s.dir, "hold", s.app / "app.exe",
                                    "60000", stdout=subprocess.PIPE)
            check(holder.stdout.readline().strip() == b"holding", "no hold")
        s.start(s.stub if name == "bare" else s.patch(
            1, ("patch", "first.dll", b"first, old", b"first, new"),
            ("patch", "app.exe", b"old", b"new")))
        if answer:
            s.press(CONFIRM, answer)
        else:
            s.wait_window(ERROR)
            check(session.drive("wait", CONFIRM, "0")[0] != 0,
                  "%s: asked for confirmation" % name)
        if error:
            text = s.press(ERROR, "ok")
            check(text == error, "%s: error %s" % (name, text))
        s.finish()
        if name == "locked":
            holder.kill()
        check(snapshot(s.app) == s.before, "%s: files changed" % name)


def scenario_silent(session):
    # Started from elsewhere by a deployment tool: no window at all, the
    # exit code and the log say how it went; a second run finds it done.
    s = Scenario(session, "silent")
    folder = s.app / "My App"
    folder.mkdir()
    (folder / "app.exe").write_bytes(b"version one")
    log = s.dir / "run log.txt"
    exe = s.patch(0, ("patch", "app.exe", b"version one", b"version two"),
                  ("add", "new.txt", b"added"))
    # Wine quotes each argument with a space whole, as launchers do.
    args = [str(exe), "/S", "/LOG=" + windows_path(log),
            "/D=" + windows_path(folder)]
    for text in (COMPLETE, "このパッチはすでに適用されています。"):
        result = session.run_wine(args, timeout=120, cwd=s.dir)
        last = log.read_text("utf-8").splitlines()[-1]
        check(result.returncode == 0 and last == "result 0 " + text,
              "exit code %d, log %r" % (result.returncode, last))
        files = snapshot(folder)
        check(files == {"app.exe": sha(b"version two"),
                        "new.txt": sha(b"added")}, "files: %s" % sorted(files))
    check(session.drive("wait", DIALOG, "0")[0] != 0, "a dialog is left")


# The x86 applier runs the full scenario; what fails and the switches are
# the same code in both.
SCENARIOS = {"x64": [scenario_success, scenario_failures, scenario_silent],
             "x86": [scenario_success]}


def main(arches):
    tools = [STUBS.get(arch, pathlib.Path(arch)) for arch in arches]
    missing = [str(tool) for tool in tools + [DRIVER, MAKE_PATCH]
               if not tool.exists()]
    if missing:
        sys.exit("missing %s: build the native, win-x64 and win-x86 presets "
                 "(appliers: %s)" % (missing, list(STUBS)))
    WORK.mkdir(parents=True, exist_ok=True)
    session, failed = Session(), 0
    try:
        session.start()
        # One session for both: the x64 driver reads the x86 program's
        # windows through the same wineserver.
        for arch in arches:
            session.arch, session.stub = arch, STUBS[arch]
            for scenario in SCENARIOS[arch]:
                session.folders = []
                name = "%s %s" % (arch, scenario.__name__[len("scenario_"):])
                started = time.time()
                try:
                    shot = scenario(session)
                    print("ok   %-20s %.1fs  %s" % (
                        name, time.time() - started, shot or ""))
                    # A passed scenario's files (gigabytes for the full
                    # run) go; a failed one's stay to be looked at.
                    for folder in session.folders:
                        shutil.rmtree(folder, ignore_errors=True)
                except (AssertionError, subprocess.TimeoutExpired) as error:
                    failed += 1
                    shot = WORK / arch / ("%s-failure.png" % name.split()[1])
                    session.screenshot(shot)
                    print("FAIL %-20s %s (screen: %s)" % (name, error, shot))
                    process = getattr(session.current, "process", None)
                    if process:
                        process.kill()
    finally:
        session.stop()
    print("e2e: %d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or list(STUBS)))
