"""Runs the real Tarvex.exe under Wine and operates its window from another process, as a user would.

Stdlib only; the end-to-end tests import it (``sys.path`` already holds this folder when a test runs as
``python3 tests/e2e/NAME.py``).

Environment (ctest sets the first three; scripts/wine-env.sh the others):
    TARVEX_BUILD   build folder holding Tarvex.exe and the fixtures (winctl.exe, avrdude.exe, ...)
    TARVEX_WINE    the Wine loader (/usr/lib/wine/wine64 here)
    TARVEX_SOURCE  the source tree
    WINEPREFIX, DISPLAY

Quick start::

    import unittest, harness
    from harness import FILE_FIELD, PORT_COMBO, FLASH_BUTTON

    class SaveTest(harness.TarvexCase):
        def test_saves_path(self):
            run = self.new_run()                        # fresh folder with a copy of Tarvex.exe
            run.write_bytes("Setting.ini", b"...")      # optional
            app, win = self.start_app(run)              # Tarvex under Wine, its main window found
            win.set_text(FILE_FIELD, "C:\\\\fw\\\\blink.hex")
            win.close()                                 # the close button (WM_SYSCOMMAND SC_CLOSE)
            self.assertEqual(app.wait(), 0)
            self.assertEqual(run.read_bytes("Setting.ini"), b"...")

    if __name__ == "__main__":
        harness.main()

The bench's Python fixtures import directly after ``import harness`` (it puts tests/fixtures on sys.path):
``import ports, hexfile, bootloader_sim``. harness.windows_path(unix_path) gives the "Z:\\..." name of any file.

start_app (and App.main_window) return once the program is idle in its event loop: the window is visible, all
six controls exist, the port list is filled and the GUI thread answers messages. Startup is then complete.

Every process a test started (Tarvex, whatever Tarvex started, avrdude behind the bridge) is ended by pid in the
test's clean-up: each run carries a marker in its environment, which Wine passes on to every child, and clean-up
ends every process with that marker (never the wineserver or Wine's other services of the prefix). Run folders
stay under $TARVEX_BUILD/e2e-runs/ for inspection and are emptied when the same test runs again.

API
---
Control ids: FILE_FIELD 0, BROWSE_BUTTON 1, PORT_LABEL 2, PORT_COMBO 3, FLASH_BUTTON 4, LOG_VIEW 5.
TITLE is the main window's title, CONSOLE_TITLE the console's.

``TarvexCase(unittest.TestCase)``
    new_run(name=None) -> RunFolder        a fresh run folder for this test (name: a suffix, for several runs)
    start_app(run=None, cwd=None, settings=None, timeout=20) -> (App, MainWindow)
                                           writes settings (bytes) as Setting.ini if given, starts the exe and
                                           waits for its visible main window
    driver                                 the shared Driver (one winctl.exe for the whole test module)
    wait_until(fn, timeout=5, interval=0.05, message=None)   polls fn() until truthy; returns its value or fails

``RunFolder``
    path (Unix), exe (Unix path of the copy of Tarvex.exe), win(rel="") -> Windows path ("Z:\\...")
    file(rel) -> Unix path; write_bytes(rel, data); write_text(rel, text, encoding="utf-8");
    read_bytes(rel) -> bytes or None when absent; exists(rel); listdir()
    add_fixture(build_name, as_name=None)  copies a built fixture (e.g. "fake_programmer.exe" as "avrdude.exe")
    copy_in(src_path, as_name=None)
    start(cwd=None, env=None, console=False) -> App   starts the exe under Wine (env: extra variables); cwd
                                           defaults to the run folder; the program's output goes to stdout.txt /
                                           stderr.txt; console: under wineconsole, in a console window of its own

``App`` (one started program)
    pid                Unix pid of the Wine process (its /proc entry gives CPU time)
    wait(timeout=20)   exit code, or None when it is still running after timeout seconds
    alive(); returncode; cpu_seconds() (user + system of the process so far; None once it has ended)
    main_window(driver, timeout=20) -> MainWindow   (start_app does this for you)
    stdout_bytes(), stderr_bytes()         what the program wrote (captured in the run folder)
    kill()             ends the program and every process of its run (clean-up does this too)
    processes()        Unix pids of every live process of this run (Tarvex and its children)

``MainWindow`` (all ids are the control ids above)
    hwnd, pid (Windows pid), tid (GUI thread), driver; call(cmd, **args) sends any winctl command for the window
    info() -> dict     title, class, style, exstyle, rect, client (screen coordinates), visible, enabled, ...
    control(id) -> dict   class, id, style, exstyle, rect (in the parent's client area), text, visible, enabled
    controls() -> dict id -> control dict for every direct child
    text(id); set_text(id, text); enabled(id); log_text(); log_lines() (LogView split at its line breaks)
    combo() -> dict    count, items, cursel, dropped, rect, dropped_rect (screen), edit (the inner edit field)
    click(id)          BM_CLICK, posted (does not wait for a busy program); for enabled buttons
    mouse_click(id, x=None, y=None)   a real mouse click (SendInput) at the control's centre or a point in it
    close(how="syscommand"|"wm_close")   posts the close request
    close_watch(file=None, how=..., timeout=10)   the same, watching in a tight loop the window and a file
                       (a Windows path, e.g. run.win("Setting.ini")): file_changed_ms, visible_at_file_change
                       (on screen just before the file was first seen changed), hidden_ms, gone_ms (-1: never)
    press(keys)        one chord through SendInput after bringing the window to the front: "tab",
                       "shift+tab", "escape", "enter", "space", "alt+f4", "ctrl+a", ...; returns whether the
                       window was still in front just after. Keys and mouse clicks go to whatever window is in
                       front: run key tests with the display to themselves (no other program's windows popping
                       up meanwhile)
    type_text(text)    Unicode key strokes into the focused control
    focus() -> id      the focused control's id (the combo's inner field counts as PORT_COMBO); None when no
                       control of the window has the focus; focus_info() gives the raw reply
    deactivate()       another application's window (the driver's own) comes to the front
    activate() -> bool this window comes back to the front
    responsive(timeout_ms=500) -> bool    whether the GUI thread answers a sent message in time
    foreground_image() -> the exe path of the window in front (None when no window is)
    wait_enabled(id, state=True, timeout=10); wait_log(predicate, timeout=10) -> lines (a busy program that
                       does not answer counts as "not yet")
    wait_until_text(id, expected, timeout=5) -> the text read last
    wait_gone(timeout=10) -> bool          the window no longer exists
    thread_windows(class_name=None, visible=True) -> top-level windows of the GUI thread (dialogs, lists)
    dialog(timeout=10) -> Dialog           the file-open dialog ("#32770") of the program's thread
    call_export(symbol, arg=0, wait_ms=5000, exit_wait_ms=0) -> dict   runs an exported function of Tarvex.exe
                       on a new thread of the program (e.g. "TarvexConsoleControlHandler" with 2 =
                       CTRL_CLOSE_EVENT); thread_finished, thread_exit_code, process_ended, process_exit_code

``SessionCase(unittest.TestCase)``
    one Tarvex for a whole test class: RUN_PREFIX + RUN_NAME name its run folder; prepare(run), before_close(),
    after_close(state) and new_port(**options) are the hooks (see the class)

``Dialog``
    hwnd, title, children(), file_name() / set_file_name(text) (the file-name field), press_ok(),
    press_cancel(), wait_gone(timeout)

``Driver`` (the winctl.exe process; the methods above wrap it; any command of winctl may be sent)
    call(cmd, timeout=None, **args) -> dict   raises DriverError when winctl answers "ok": false
    screen() -> (width, height); adjust(width, height, style, exstyle=0, menu=False) -> rect dict
    find_window(title, timeout_ms=10000, image=None, visible=True); list_windows(**filters)
    window(hwnd); control(hwnd, id=None); children(hwnd); text(hwnd, id=None); set_text(hwnd, id, text)
    call_export(pid, symbol, arg, wait_ms, exit_wait_ms); quit()
"""

import atexit
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

# The bench's Python fixtures (ports, bootloader_sim, hexfile) import directly after `import harness`.
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "fixtures")
if FIXTURES not in sys.path:
    sys.path.insert(0, FIXTURES)

FILE_FIELD, BROWSE_BUTTON, PORT_LABEL, PORT_COMBO, FLASH_BUTTON, LOG_VIEW = range(6)
TITLE = "Прошивальщик 'pro micro (mega32u4)' v1.0"

# The flash job's log lines.
WAITING = "Ожидание открытия порта"
NO_FILE = "Не найден HEX файл"
NO_PORT = "Не выбран порт"
TIMED_OUT = "Завершен таймаут ожидания окрытия порта"
NO_PROGRAMMER = "Не удалось запустить 'avrdude.exe'"
FINISHED = "Прошивка завершена"
FAILED = "Ошибка прошивки (код завершения avrdude: %d)"


def is_closing(line):
    """Whether a log line is one that ends a job."""
    return line in (NO_FILE, NO_PORT, TIMED_OUT, NO_PROGRAMMER, FINISHED) or line.startswith("Ошибка прошивки (")

CONSOLE_TITLE = "Tarvex_console"
EXE_NAME = "Tarvex.exe"
MARK_VARIABLE = "TARVEX_E2E_RUN"

WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_MINIMIZEBOX = 0x00020000
WS_MAXIMIZEBOX = 0x00010000
WS_THICKFRAME = 0x00040000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_DISABLED = 0x08000000
WS_BORDER = 0x00800000
WS_VSCROLL = 0x00200000
WS_HSCROLL = 0x00100000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
WS_EX_CLIENTEDGE = 0x00000200
WS_EX_WINDOWEDGE = 0x00000100
WM_SYSCOMMAND = 0x0112
SC_CLOSE = 0xF060
IDOK, IDCANCEL = 1, 2


def env(name):
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(name + " is not set (run through ctest, after scripts/wine-env.sh)")
    return value


def build_dir():
    return env("TARVEX_BUILD")


def wine():
    return env("TARVEX_WINE")


def windows_path(unix_path):
    """The Windows name of a Unix path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def wait_until(fn, timeout=5.0, interval=0.05):
    """Polls fn() until it gives a truthy value, which is returned; the last value once timeout has passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = fn()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


# ---- processes ---------------------------------------------------------------------------------------------

def _read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


# Wine's own services of the prefix: when a test's program happened to start them they carry its marker, but
# every other Wine program of the prefix relies on them.
WINE_SERVICES = (b"wineserver", b"services.exe", b"winedevice.exe", b"plugplay.exe", b"svchost.exe",
                 b"rpcss.exe", b"explorer.exe")


def marked_processes(mark):
    """Unix pids of live processes whose environment carries the run marker (never Wine's own services)."""
    needle = b"\0" + (MARK_VARIABLE + "=" + mark).encode() + b"\0"
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        environ = _read("/proc/%s/environ" % entry)
        if not environ or needle not in b"\0" + environ + b"\0":
            continue
        comm = (_read("/proc/%s/comm" % entry) or b"").strip()
        state = _read("/proc/%s/stat" % entry) or b""
        if comm.startswith(WINE_SERVICES) or b") Z " in state:
            continue
        pids.append(int(entry))
    return pids


def end_processes(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def cpu_seconds(pid):
    stat = _read("/proc/%d/stat" % pid)
    if not stat:
        return None
    fields = stat[stat.rindex(b")") + 2:].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


# ---- the driver ---------------------------------------------------------------------------------------------

class DriverError(Exception):
    pass


class Driver:
    """One winctl.exe: one JSON request per line in, one JSON reply per line out."""

    def __init__(self, exe=None):
        exe = exe or os.path.join(build_dir(), "tests", "fixtures", "winctl.exe")
        if not os.path.exists(exe):
            exe = os.path.join(build_dir(), "winctl.exe")
        if not os.path.exists(exe):
            raise DriverError("winctl.exe is not built in " + build_dir())
        self.proc = subprocess.Popen([wine(), exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self._replies = queue.Queue()
        self._lock = threading.Lock()
        threading.Thread(target=self._read_replies, daemon=True).start()
        self.call("ping", timeout=30)

    def _read_replies(self):
        for line in self.proc.stdout:
            self._replies.put(line)
        self._replies.put(None)

    def call(self, cmd, timeout=None, **args):
        """Sends one command; returns the reply as a dict. Arguments that are None are left out."""
        request = {"cmd": cmd}
        request.update({k: v for k, v in args.items() if v is not None})
        if timeout is None:
            timeout = 10 + max(args.get("timeout_ms") or 0, args.get("wait_ms") or 0) / 1000
        with self._lock:
            if self.proc.poll() is not None:
                raise DriverError("winctl is not running")
            self.proc.stdin.write((json.dumps(request, ensure_ascii=False) + "\n").encode("utf-8"))
            self.proc.stdin.flush()
            try:
                line = self._replies.get(timeout=timeout)
            except queue.Empty:
                self._stop()
                raise DriverError("winctl gave no answer to %r within %s s" % (request, timeout))
        if line is None:
            raise DriverError("winctl ended during %r" % (request,))
        reply = json.loads(line.decode("utf-8"))
        if not reply.get("ok"):
            raise DriverError("%s: %s" % (cmd, reply.get("error")))
        return reply

    def alive(self):
        return self.proc.poll() is None

    def _stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    def quit(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b'{"cmd":"quit"}\n')
                self.proc.stdin.flush()
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self._stop()

    # Thin wrappers; every other winctl command goes through call().
    def screen(self):
        r = self.call("screen")
        return r["width"], r["height"]

    def adjust(self, width, height, style, exstyle=0, menu=False):
        return self.call("adjust", width=width, height=height, style=style, exstyle=exstyle, menu=menu)["rect"]

    def find_window(self, title, timeout_ms=10000, image=None, visible=True):
        return self.call("find_window", title=title, timeout_ms=timeout_ms, image=image, visible=visible)["window"]

    def list_windows(self, **filters):
        return self.call("list_windows", **filters)["windows"]

    def window(self, hwnd):
        return self.call("window", hwnd=hwnd)

    def control(self, hwnd, id=None):
        return self.call("control", hwnd=hwnd, id=id)

    def children(self, hwnd):
        return self.call("children", hwnd=hwnd)["children"]

    def text(self, hwnd, id=None):
        return self.call("text", hwnd=hwnd, id=id)["text"]

    def set_text(self, hwnd, id, text):
        return self.call("set_text", hwnd=hwnd, id=id, text=text)

    def call_export(self, pid, symbol, arg=0, wait_ms=5000, exit_wait_ms=0, exe=None):
        """Runs the exported function on a new thread of process pid; a 32-bit build's decorated name
        (symbol@4) is tried as well."""
        error = None
        for name in (symbol, symbol + "@4", "_" + symbol + "@4"):
            try:
                return self.call("call_export", pid=pid, symbol=name, arg=arg, wait_ms=wait_ms,
                                 exit_wait_ms=exit_wait_ms, exe=exe)
            except DriverError as e:
                error = e
                if "export not found" not in str(e):
                    raise
        raise error


_shared_driver = None


def shared_driver():
    """One driver for the whole test process, started on first use and ended at exit."""
    global _shared_driver
    if _shared_driver is None or not _shared_driver.alive():
        _shared_driver = Driver()
        atexit.register(_shared_driver.quit)
    return _shared_driver


# ---- the program and its window -----------------------------------------------------------------------------

class RunFolder:
    """A fresh folder holding a copy of Tarvex.exe and whatever a test adds."""

    def __init__(self, name):
        safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)
        self.path = os.path.join(build_dir(), "e2e-runs", safe)
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        self.exe = os.path.join(self.path, EXE_NAME)
        shutil.copy2(os.path.join(build_dir(), EXE_NAME), self.exe)
        self.mark = "%s-%d-%d" % (safe, os.getpid(), time.monotonic_ns())
        self.apps = []

    def file(self, rel):
        return os.path.join(self.path, rel)

    def win(self, rel=""):
        return windows_path(os.path.join(self.path, rel)) if rel else windows_path(self.path)

    def write_bytes(self, rel, data):
        path = self.file(rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def write_text(self, rel, text, encoding="utf-8"):
        return self.write_bytes(rel, text.encode(encoding))

    def read_bytes(self, rel):
        return _read(self.file(rel))

    def exists(self, rel):
        return os.path.lexists(self.file(rel))

    def listdir(self):
        return sorted(os.listdir(self.path))

    def copy_in(self, src, as_name=None):
        dst = self.file(as_name or os.path.basename(src))
        shutil.copy2(src, dst)
        return dst

    def add_fixture(self, build_name, as_name=None):
        for folder in (os.path.join(build_dir(), "tests", "fixtures"), build_dir()):
            src = os.path.join(folder, build_name)
            if os.path.exists(src):
                return self.copy_in(src, as_name or build_name)
        raise FileNotFoundError(build_name + " is not built")

    def start(self, cwd=None, env=None, console=False):
        app = App(self, cwd or self.path, env, console)
        self.apps.append(app)
        return app

    def end_all(self):
        for app in self.apps:
            app.kill()
        end_processes(marked_processes(self.mark))


class App:
    """Tarvex.exe started under Wine in a run folder (or another working directory)."""

    def __init__(self, run, cwd, extra_env=None, console=False):
        self.run = run
        environment = dict(os.environ)
        environment.update(extra_env or {})
        environment[MARK_VARIABLE] = run.mark
        self._out = open(run.file("stdout.txt"), "wb")
        self._err = open(run.file("stderr.txt"), "wb")
        # console: under wineconsole, which gives the program a console window of its own, as the desktop does.
        command = [wine(), "wineconsole", run.exe] if console else [wine(), run.exe]
        self.popen = subprocess.Popen(command, cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
                                      stdout=self._out, stderr=self._err)
        self.pid = self.popen.pid
        self.window = None

    @property
    def returncode(self):
        return self.popen.poll()

    def alive(self):
        return self.popen.poll() is None

    def wait(self, timeout=20):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def cpu_seconds(self):
        return cpu_seconds(self.pid) if self.alive() else None

    def processes(self):
        return marked_processes(self.run.mark)

    def stdout_bytes(self):
        self._out.flush()
        return self.run.read_bytes("stdout.txt")

    def stderr_bytes(self):
        self._err.flush()
        return self.run.read_bytes("stderr.txt")

    def main_window(self, driver=None, timeout=20):
        driver = driver or shared_driver()
        deadline = time.monotonic() + timeout
        while True:
            try:
                found = driver.find_window(TITLE, timeout_ms=500, image=windows_path(self.run.exe))
                break
            except DriverError:
                if not self.alive():
                    raise AssertionError("Tarvex ended (exit code %s) before its window appeared" % self.returncode)
                if time.monotonic() >= deadline:
                    raise AssertionError("no visible main window within %s s" % timeout)
        window = MainWindow(driver, found)
        # The window shows before its controls exist; the program is ready once its event loop answers
        # messages, with all six controls and the port list in place.
        def ready():
            try:
                return (window.responsive(200) and sorted(window.controls()) == list(range(6))
                        and window.combo()["count"] == 20)
            except DriverError:
                return False
        if not wait_until(ready, max(1.0, deadline - time.monotonic()), 0.05):
            raise AssertionError("the main window did not become ready within %s s" % timeout)
        self.window = window
        return window

    def kill(self):
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait()
        end_processes(marked_processes(self.run.mark))
        for f in (self._out, self._err):
            if not f.closed:
                f.close()


class MainWindow:
    """The program's main window, seen from outside."""

    def __init__(self, driver, found):
        self.driver = driver
        self.hwnd = found["hwnd"]
        self.pid = found["pid"]
        self.tid = found["tid"]
        self.image = found["image"]

    def call(self, cmd, **args):
        return self.driver.call(cmd, hwnd=self.hwnd, **args)

    def info(self):
        return self.call("window")

    def control(self, id):
        return self.call("control", id=id)

    def controls(self):
        return {c["id"]: c for c in self.driver.children(self.hwnd) if c["parent"] == self.hwnd}

    def text(self, id):
        return self.call("text", id=id)["text"]

    def set_text(self, id, text):
        self.call("set_text", id=id, text=text)

    def enabled(self, id):
        return self.call("control", id=id, text=False)["enabled"]

    def combo(self):
        return self.call("combo", id=PORT_COMBO)

    def log_text(self):
        return self.text(LOG_VIEW)

    def log_lines(self):
        text = self.log_text()
        return re.split(r"\r\n|\r|\n", text) if text else []

    def click(self, id):
        self.call("click", id=id)

    def mouse_click(self, id, x=None, y=None):
        rect = self.control(id)["rect"]
        self.call("mouse_click", id=id, x=rect["width"] // 2 if x is None else x,
                  y=rect["height"] // 2 if y is None else y)

    def close(self, how="syscommand"):
        self.call("close", how=how)

    def close_watch(self, file=None, how="syscommand", timeout=10):
        """Posts the close request and watches the window and a file (Windows path) that the program writes on
        its way out. Returns file_changed_ms, visible_at_file_change, hidden_ms, gone_ms (-1: did not happen)."""
        return self.call("close_watch", how=how, file=file, timeout_ms=int(timeout * 1000))

    def press(self, keys):
        """Returns whether the window was still the foreground window just after (else the keys may have gone
        to another program's window)."""
        return self.call("keys", keys=keys)["foreground_after"]

    def type_text(self, text):
        self.call("type", text=text)

    def focus_info(self):
        return self.call("focus")

    def focus(self):
        focused = self.focus_info()["focus"]
        if not focused:
            return None
        if focused["parent"] == self.hwnd:
            return focused["id"]
        parent = self.driver.control(focused["parent"])
        if parent["parent"] == self.hwnd and parent["id"] == PORT_COMBO:
            return PORT_COMBO
        return None

    def foreground_image(self):
        """The exe of the window in front (to tell when another program's window took the keys)."""
        front = self.focus_info()["foreground"]
        if not front:
            return None
        return self.driver.call("process", pid=self.driver.window(front)["pid"]).get("image")

    def deactivate(self):
        """Brings a window of the driver's own to the front, as when the user switches to another program."""
        self.driver.call("helper_window")

    def activate(self):
        """Brings this window back to the front (and hides the driver's window)."""
        front = self.call("foreground")["foreground"]
        self.driver.call("helper_window", show=False)
        return front

    def responsive(self, timeout_ms=500):
        return self.call("responsive", timeout_ms=timeout_ms)["answered"]

    def wait_until_text(self, id, expected, timeout=5):
        """Waits until the control's text is expected; returns the text it read last."""
        seen = [None]

        def check():
            try:
                seen[0] = self.text(id)
            except DriverError:  # busy: no answer yet
                return False
            return seen[0] == expected

        wait_until(check, timeout)
        return seen[0]

    def wait_enabled(self, id, state=True, timeout=10):
        return wait_until(lambda: self.enabled(id) == state, timeout)

    def wait_log(self, predicate, timeout=10):
        """Waits until predicate(log_lines()) holds; returns the lines it saw last."""
        seen = []

        def check():
            try:
                seen[:] = self.log_lines()
            except DriverError:  # busy (the programmer runs): no answer yet
                return False
            return predicate(seen)

        wait_until(check, timeout)
        return list(seen)

    def wait_gone(self, timeout=10):
        return self.call("wait_gone", timeout_ms=int(timeout * 1000))["gone"]

    def thread_windows(self, class_name=None, visible=True):
        return self.driver.call("thread_windows", tid=self.tid, visible=visible,
                                **({"class": class_name} if class_name else {}))["windows"]

    def dialog(self, timeout=10):
        found = wait_until(lambda: self.thread_windows("#32770"), timeout)
        if not found:
            raise AssertionError("no dialog appeared within %s s" % timeout)
        return Dialog(self.driver, found[0])

    def call_export(self, symbol, arg=0, wait_ms=5000, exit_wait_ms=0):
        return self.driver.call_export(self.pid, symbol, arg, wait_ms, exit_wait_ms)


class Dialog:
    """A dialog window of the program (the file-open dialog)."""

    FILE_NAME_IDS = (0x47C, 0x480)  # cmb13 (the explorer dialog's file-name combo), edt1

    def __init__(self, driver, found):
        self.driver = driver
        self.hwnd = found["hwnd"]
        self.title = found["title"]

    def children(self):
        return self.driver.children(self.hwnd)

    def _file_field(self):
        kids = self.children()
        for id in self.FILE_NAME_IDS:
            for c in kids:
                if c["id"] == id and c["parent"] == self.hwnd and c["visible"]:
                    return c["hwnd"]
        raise AssertionError("the dialog has no file-name field")

    def file_name(self):
        return self.driver.text(self._file_field())

    def set_file_name(self, text):
        self.driver.call("set_text", hwnd=self._file_field(), text=text)

    def press_ok(self):
        self.driver.call("command", hwnd=self.hwnd, cmd_id=IDOK)

    def press_cancel(self):
        self.driver.call("command", hwnd=self.hwnd, cmd_id=IDCANCEL)

    def wait_gone(self, timeout=10):
        return self.driver.call("wait_gone", hwnd=self.hwnd, timeout_ms=int(timeout * 1000))["gone"]


# ---- the test case base -------------------------------------------------------------------------------------

class TarvexCase(unittest.TestCase):
    """Gives each test fresh run folders and ends every process it started."""

    @property
    def driver(self):
        return shared_driver()

    def setUp(self):
        if not os.path.exists(os.path.join(build_dir(), EXE_NAME)):
            self.skipTest(EXE_NAME + " is not built in " + build_dir())
        self._runs = []
        self.addCleanup(self._end_runs)

    def _end_runs(self):
        for run in self._runs:
            run.end_all()

    def new_run(self, name=None):
        base = self.id().split(".", 1)[-1]
        run = RunFolder(base + ("-" + name if name else ""))
        self._runs.append(run)
        return run

    def start_app(self, run=None, cwd=None, settings=None, timeout=20):
        run = run or self.new_run()
        if settings is not None:
            run.write_bytes("Setting.ini", settings)
        app = run.start(cwd=cwd)
        return app, app.main_window(self.driver, timeout)

    def wait_until(self, fn, timeout=5.0, interval=0.05, message=None):
        value = wait_until(fn, timeout, interval)
        if not value:
            self.fail(message or "condition not met within %s s" % timeout)
        return value


class SessionCase(unittest.TestCase):
    """One Tarvex for the whole class, in a run folder of its own (Wine GUI processes are slow to start and end),
    closed through its window at the end, which must give exit code 0.

    Subclasses set RUN_PREFIX and RUN_NAME, may fill the run folder in prepare(run), and may check what the close
    left behind: before_close() returns what after_close(state) needs, and after_close returns a complaint or None.
    new_port() gives a SerialPort that is closed after the program has ended."""

    RUN_PREFIX = "session-"
    RUN_NAME = None

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(build_dir(), EXE_NAME)):
            raise unittest.SkipTest(EXE_NAME + " is not built")
        cls.run_folder = RunFolder(cls.RUN_PREFIX + cls.RUN_NAME)
        cls.serial_ports = []
        try:
            cls.prepare(cls.run_folder)
            cls.app = cls.run_folder.start()
            cls.win = cls.app.main_window(shared_driver())
        except BaseException:
            cls.finish()
            raise

    @classmethod
    def prepare(cls, run):
        pass

    @classmethod
    def before_close(cls):
        return None

    @classmethod
    def after_close(cls, state):
        return None

    @classmethod
    def finish(cls):
        cls.run_folder.end_all()
        for serial in cls.serial_ports:
            serial.close()

    @classmethod
    def tearDownClass(cls):
        exit_code = 0
        complaint = None
        try:
            if cls.app.alive():
                state = cls.before_close()
                try:
                    cls.win.close()
                except DriverError:
                    pass  # the window is already gone: the program is on its way out
                exit_code = cls.app.wait(20)
                complaint = cls.after_close(state)
        finally:
            cls.finish()
        if exit_code != 0:
            raise AssertionError("Tarvex closed through its window ended with %r, not 0" % exit_code)
        if complaint:
            raise AssertionError(complaint)

    @classmethod
    def new_port(cls, **options):
        import ports
        serial = ports.SerialPort(number=None, **options)
        cls.serial_ports.append(serial)
        return serial


def main():
    """unittest.main with verbose output, for `python3 tests/e2e/NAME.py`."""
    unittest.main(verbosity=2)
