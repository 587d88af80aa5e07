#!/usr/bin/env python3
"""End-to-end runs of both appliers, as a user runs them: the x64 one under
wine64, the x86 one (the shipped default) under wine32.

    run_e2e.py [x64] [x86]    (both when none is named)

Each scenario lays out an installed program in a scratch folder, writes a
patch executable (the stub with a package from the tests' package writer),
starts it there under Wine on a virtual X display, and answers its windows
through the UI driver. Every wait has a timeout, so a crash or a hang fails
the scenario instead of the run.
"""
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
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
BOX_TEXT = "65535"

MESSAGES = {
    3: "パッチファイルのデータサイズが小さすぎます。",
    10: "パッチ元ファイルが差分元ファイルデータと異なっています。",
    14: "ファイル更新に失敗しました。",
}


def escape(text):
    return "".join(c if ord(c) < 128 else "\\u%04x" % ord(c) for c in text)


class Session:
    """One Wine prefix, one X display, one wineserver for all scenarios."""

    def __init__(self):
        self.env = dict(os.environ)
        self.env["SELFPATCH_WINEPREFIX"] = str(PREFIX)
        # The applier that scenarios patch with.
        self.arch, self.stub = "x64", STUBS["x64"]
        self.xvfb = None

    def start(self):
        display = next(n for n in range(70, 200)
                       if not os.path.exists("/tmp/.X11-unix/X%d" % n)
                       and not os.path.exists("/tmp/.X%d-lock" % n))
        self.xvfb = subprocess.Popen(
            ["Xvfb", ":%d" % display, "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        self.env["DISPLAY"] = ":%d" % display
        self.display = ":%d" % display
        # The first Wine call makes the prefix when there is none yet; one
        # wineserver then serves the whole run, so later starts are fast.
        for args in (["wineboot", "-u"], ["wineserver", "-p"]):
            subprocess.run([str(WINE)] + args, env=self.env, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Keep the virtual desktop up between programs: a program and the
        # driver that start together while it comes up can hang for good.
        self.keeper = subprocess.Popen(
            [str(WINE), str(DRIVER), "wait", "no such window", "86400000"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3)

    def run_wine(self, args, timeout, cwd=None):
        return subprocess.run([str(WINE)] + args, env=self.env, cwd=cwd,
                              capture_output=True, timeout=timeout)

    def launch(self, exe, cwd):
        return subprocess.Popen([str(WINE), str(exe)], env=self.env, cwd=cwd,
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def drive(self, *args, timeout=60):
        args = [escape(a) for a in args]
        result = self.run_wine([str(DRIVER)] + args, timeout=timeout)
        return result.returncode, result.stdout.decode("utf-8", "replace").strip()

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        str(path)], capture_output=True)

    def stop(self):
        if getattr(self, "keeper", None):
            self.keeper.kill()
            self.keeper.wait()
        subprocess.run([str(WINE), "wineserver", "-k"], env=self.env,
                       timeout=60)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def snapshot(root):
    files = {}
    for path in sorted(root.rglob("*")):
        key = str(path.relative_to(root))
        files[key + "/" if path.is_dir() else key] = (
            None if path.is_dir() else hashlib.sha256(path.read_bytes()).hexdigest())
    return files


class Scenario:
    def __init__(self, session, name):
        session.current = self
        self.session = session
        self.stub = session.stub
        self.dir = WORK / session.arch / name
        shutil.rmtree(self.dir, ignore_errors=True)
        self.app = self.dir / "app"
        self.app.mkdir(parents=True)
        self.inputs = self.dir / "inputs"
        self.inputs.mkdir()

    def file(self, name, data):
        path = self.app / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def input(self, name, data):
        path = self.inputs / name
        path.write_bytes(data)
        return str(path)

    def patch(self, flags, *entries):
        out = self.dir / "patch.exe"
        if entries or flags:
            subprocess.run([str(MAKE_PATCH), str(self.stub), str(out),
                            str(flags)] + list(entries), check=True)
        else:
            shutil.copy(self.stub, out)
        return out

    def start(self, exe):
        self.before = snapshot(self.app)
        self.process = self.session.launch(exe, self.app)

    def wait_window(self, caption, timeout_ms=30000):
        code, _ = self.session.drive("wait", caption, str(timeout_ms))
        check(code == 0, "no window '%s'" % caption)

    def box_text(self, caption):
        self.wait_window(caption)
        code, text = self.session.drive("text", caption, BOX_TEXT)
        check(code == 0, "cannot read the box '%s'" % caption)
        return text

    def press(self, caption, button):
        code, _ = self.session.drive("press", caption, button)
        check(code == 0, "cannot press %s in '%s'" % (button, caption))

    def finish(self, timeout=60):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the program did not end")
        check(code == 0, "exit code %d" % code)

    def kill(self):
        if getattr(self, "process", None) and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def unchanged(self):
        return snapshot(self.app) == self.before


def mib(session, x64):
    """MiB of data that keep the applier busy about as long as `x64` MiB keep
    the x64 one: x86 code runs about 4 times slower under qemu."""
    return x64 if session.arch == "x64" else x64 // 4


def scenario_success(session):
    s = Scenario(session, "success")
    old = bytes(range(256)) * 4096 * mib(session, 768)  # a few seconds
    new = bytearray(old)
    new[1000:1000] = b"inserted" * 1000
    new[-5000:-4000] = b"\x55" * 1000
    new = bytes(new)
    s.file("app.exe", old)
    s.file("app.exe.bak", b"an older backup")
    past = time.time() - 400 * 86400
    os.utime(s.app / "app.exe", (past, past))
    exe = s.patch(3, "dir", "plugins", "add", "plugins\\new.dll",
                  s.input("new.dll", b"a new plugin"),
                  "patch", "app.exe", s.input("old", old), s.input("new", new),
                  "dir", "data", "dir", "data\\cache")
    s.start(exe)
    check(s.box_text(CONFIRM) == "差分パッチを適応します。よろしいですか？",
          "confirmation text")
    s.press(CONFIRM, "yes")
    # Catch the dialog mid-progress for a screenshot.
    shot = None
    for _ in range(200):
        code, pos = session.drive("pos", DIALOG, "1002")
        if code == 0 and pos.isdigit() and 2500 < int(pos) < 10000:
            shot = WORK / session.arch / "dialog-progress.png"
            session.screenshot(shot)
            code, status = session.drive("text", DIALOG, "1001")
            check(status.endswith("app.exe"), "status text '%s'" % status)
            break
        code, _ = session.drive("wait", DONE, "0")
        if code == 0:
            break
    check(s.box_text(DONE) == "パッチ作業が完了しました。", "completion text")
    s.press(DONE, "ok")
    s.finish()
    check((s.app / "app.exe").read_bytes() == new, "app.exe was not patched")
    check((s.app / "app.exe.bak").read_bytes() == old, "backup")
    check((s.app / "plugins/new.dll").read_bytes() == b"a new plugin", "added")
    check((s.app / "data/cache").is_dir(), "directory")
    check(abs(os.stat(s.app / "app.exe").st_mtime - past) < 1, "kept times")
    check(sorted(snapshot(s.app)) == sorted(
        ["app.exe", "app.exe.bak", "data/", "data/cache/", "plugins/",
         "plugins/new.dll"]), "stray files: %s" % sorted(snapshot(s.app)))
    return shot


def scenario_declined(session):
    s = Scenario(session, "declined")
    s.file("app.exe", b"old")
    s.start(s.patch(0, "patch", "app.exe", s.input("o", b"old"),
                    s.input("n", b"new")))
    s.wait_window(CONFIRM)
    s.press(CONFIRM, "no")
    s.finish()
    check(s.unchanged(), "files changed")


def scenario_bare(session):
    s = Scenario(session, "bare")
    s.start(s.patch(0))
    check(s.box_text(ERROR) == MESSAGES[3], "error text")
    code, _ = session.drive("wait", CONFIRM, "0")
    check(code != 0, "asked for confirmation")
    s.press(ERROR, "ok")
    s.finish()


def scenario_target_differs(session):
    s = Scenario(session, "differs")
    s.file("app.exe", b"somebody else's program")
    s.start(s.patch(1, "patch", "app.exe", s.input("o", b"old"),
                    s.input("n", b"new")))
    s.wait_window(CONFIRM)
    s.press(CONFIRM, "yes")
    check(s.box_text(ERROR) == MESSAGES[10], "error text")
    s.press(ERROR, "ok")
    s.finish()
    check(s.unchanged(), "files changed")


def scenario_locked(session):
    s = Scenario(session, "locked")
    s.file("first.dll", b"first, old")
    s.file("app.exe", b"running program, old")
    exe = s.patch(1, "patch", "first.dll", s.input("o1", b"first, old"),
                  s.input("n1", b"first, new"),
                  "patch", "app.exe", s.input("o2", b"running program, old"),
                  s.input("n2", b"running program, new"))
    s.start(exe)
    s.wait_window(CONFIRM)
    holder = subprocess.Popen(
        [str(WINE), str(DRIVER), "hold", str(s.app / "app.exe"), "30000"],
        env=session.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    check(holder.stdout.readline().strip() == b"holding", "could not hold")
    s.press(CONFIRM, "yes")
    check(s.box_text(ERROR) == MESSAGES[14], "error text")
    s.press(ERROR, "ok")
    s.finish()
    holder.kill()
    holder.wait()
    check(s.unchanged(), "files changed")


def scenario_close(session):
    s = Scenario(session, "close")
    old = bytes(range(256)) * 4096 * mib(session, 768)  # running when closed
    new = old[:5000] + b"x" + old[5000:]
    s.file("big.bin", old)
    s.start(s.patch(0, "patch", "big.bin", s.input("o", old), s.input("n", new)))
    s.wait_window(CONFIRM)
    s.press(CONFIRM, "yes")
    s.wait_window(DIALOG)
    session.drive("close", DIALOG)
    s.wait_window(CLOSE)
    s.press(CLOSE, "no")
    session.drive("gone", CLOSE, "5000")
    code, _ = session.drive("wait", DIALOG, "0")
    done_already, _ = session.drive("wait", DONE, "0")
    check(code == 0 or done_already == 0, "'no' ended the dialog")
    if done_already == 0:
        s.press(DONE, "ok")
    else:
        session.drive("close", DIALOG)
        s.wait_window(CLOSE)
        s.press(CLOSE, "yes")
    s.finish()
    content = (s.app / "big.bin").read_bytes()
    check(content in (old, new), "big.bin lost")
    check(len(list(s.app.iterdir())) == 1, "stray files")


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def scenario_silent(session):
    # Started from elsewhere by a deployment tool: no window at all, the
    # exit code and the log say how it went; a second run finds it done.
    s = Scenario(session, "silent")
    folder = s.app / "My App"
    folder.mkdir()
    (folder / "app.exe").write_bytes(b"version one")
    log = s.dir / "run log.txt"
    exe = s.patch(0, "patch", "app.exe", s.input("o", b"version one"),
                  s.input("n", b"version two"), "add", "new.txt",
                  s.input("a", b"added"))
    # Wine quotes each argument with a space whole, as launchers do.
    args = [str(exe), "/S", "/LOG=" + windows_path(log),
            "/D=" + windows_path(folder)]
    for run, expected in ((1, "result 0 パッチ作業が完了しました。"),
                          (2, "result 0 このパッチはすでに適用されています。")):
        result = session.run_wine(args, timeout=120, cwd=s.dir)
        check(result.returncode == 0, "run %d: exit code %d" %
              (run, result.returncode))
        check((folder / "app.exe").read_bytes() == b"version two",
              "run %d: app.exe" % run)
        text = log.read_text("utf-8")
        check(text.splitlines()[-1] == expected, "run %d: log %r" % (run, text))
        check(sorted(snapshot(folder)) == ["app.exe", "new.txt"],
              "run %d: stray files %s" % (run, sorted(snapshot(folder))))
    code, _ = session.drive("wait", DIALOG, "0")
    check(code != 0, "a dialog is left")


def scenario_picker(session):
    # Started from a downloads folder: the user points at the program.
    s = Scenario(session, "picker")
    installed = s.dir / "installed"
    installed.mkdir()
    (installed / "app.exe").write_bytes(b"version one")
    s.start(s.patch(0, "patch", "app.exe", s.input("o", b"version one"),
                    s.input("n", b"version two")))
    picker = "パッチを適用するフォルダーを選択してください"
    s.wait_window(picker)
    code, _ = session.drive("type", picker, windows_path(installed))
    check(code == 0, "no name field in the picker")
    s.press(picker, "ok")
    s.wait_window(CONFIRM)
    s.press(CONFIRM, "yes")
    check(s.box_text(DONE) == "パッチ作業が完了しました。", "completion text")
    s.press(DONE, "ok")
    s.finish()
    check((installed / "app.exe").read_bytes() == b"version two", "not patched")
    check(s.unchanged(), "the downloads folder changed")


SCENARIOS = [scenario_success, scenario_declined, scenario_bare,
             scenario_target_differs, scenario_locked, scenario_close,
             scenario_silent, scenario_picker]


def main(arches):
    unknown = [arch for arch in arches if arch not in STUBS]
    if unknown:
        sys.exit("unknown applier %s: choose from %s" % (unknown, list(STUBS)))
    for tool in [STUBS[arch] for arch in arches] + [DRIVER, MAKE_PATCH]:
        if not tool.exists():
            sys.exit("missing %s: build the native, win-x64 and win-x86 "
                     "presets" % tool)
    WORK.mkdir(parents=True, exist_ok=True)
    session = Session()
    passed = failed = 0
    try:
        session.start()
        # One session for both: the x64 driver reads the x86 program's
        # windows through the same wineserver.
        for arch in arches:
            session.arch, session.stub = arch, STUBS[arch]
            for scenario in SCENARIOS:
                name = "%s %s" % (arch, scenario.__name__[len("scenario_"):])
                started = time.time()
                try:
                    result = scenario(session)
                    passed += 1
                    print("ok   %-20s %.1fs%s" % (
                        name, time.time() - started,
                        "  screenshot: %s" % result if result else ""))
                except (Failure, subprocess.TimeoutExpired) as error:
                    failed += 1
                    shot = WORK / arch / ("%s-failure.png" % name.split()[1])
                    session.screenshot(shot)
                    print("FAIL %-20s %s (screen: %s)" % (name, error, shot))
                    session.current.kill()
    finally:
        session.stop()
    print("e2e: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or list(STUBS)))
