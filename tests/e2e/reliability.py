"""Bad input and faults through the real Tarvex.exe under Wine: odd paths, port names and settings files, a
programmer that crashes, hangs or floods its outputs, closes at the worst moments and fifty jobs in a row.

Every case checks its log line and that nothing is lost or left behind: the settings file as expected, no
process of the run alive, no descriptor of Tarvex's Wine process still on a port or file it probed.
Figures go to stderr and to $TARVEX_BUILD/e2e-runs/reliability-figures.txt.
"""
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fixtures"))

import bootloader_sim  # noqa: E402
import harness  # noqa: E402
import hexfile  # noqa: E402
import ports  # noqa: E402
from harness import FILE_FIELD, FLASH_BUTTON, LOG_VIEW, PORT_COMBO  # noqa: E402
from harness import (FAILED, FINISHED, NO_FILE, NO_PROGRAMMER, TIMED_OUT, WAITING,  # noqa: E402
                     is_closing)

ACCESS_VIOLATION = 0xC0000005
BOM = b"\xef\xbb\xbf"
CYRILLIC_PATH = "C:\\прошивки\\мигалка.hex"


def saved_settings(path, port):
    """The bytes Setting.ini must hold after a save of these two texts."""
    return BOM + b"\r\nPath = " + path.encode("utf-8") + b"\r\nPort = " + port.encode("utf-8") + b"\r\n"


def figure(text):
    sys.stderr.write("FIGURE " + text + "\n")
    with open(os.path.join(harness.build_dir(), "e2e-runs", "reliability-figures.txt"), "a") as f:
        f.write(time.strftime("%Y-%m-%d %H:%M:%S ") + text + "\n")


def fixture(name):
    return os.path.join(harness.build_dir(), "tests", "fixtures", name)


def windows_args(line):
    """The arguments after the program name, split as CommandLineToArgvW splits a command line."""
    args, i, n = [], 0, len(line)
    while i < n:
        while i < n and line[i] in " \t":
            i += 1
        if i >= n:
            break
        arg, quoted = [], False
        while i < n:
            c = line[i]
            if c == "\\":
                j = i
                while j < n and line[j] == "\\":
                    j += 1
                count = j - i
                if j < n and line[j] == '"':
                    arg.append("\\" * (count // 2))
                    if count % 2:
                        arg.append('"')
                        j += 1
                    i = j
                else:
                    arg.append("\\" * count)
                    i = j
            elif c == '"':
                quoted = not quoted
                i += 1
            elif c in " \t" and not quoted:
                break
            else:
                arg.append(c)
                i += 1
        args.append("".join(arg))
    return args[1:]


def expected_args(port, path):
    return ["-v", "-p", "atmega32u4", "-c", "avr109", "-P", port, "-b", "57600", "-D", "-U",
            "flash:w:" + path + ":i"]


def fd_targets(pid):
    """Where the open descriptors of a process point (empty once it has ended)."""
    folder = "/proc/%d/fd" % pid
    targets = []
    try:
        names = os.listdir(folder)
    except OSError:
        return targets
    for name in names:
        try:
            targets.append(os.readlink(os.path.join(folder, name)))
        except OSError:
            pass
    return targets


def wineserver_pids():
    """The running wineservers: they keep the Unix side of every file or port a Windows handle has open."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry, "rb") as f:
                    if f.read().strip().startswith(b"wineserver"):
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


def holders_of(path, pids):
    """The pids among pids with a descriptor on path."""
    return [pid for pid in pids if path in fd_targets(pid)]


class JobMixin:
    """Runs jobs in a program whose window is self.win; self.app is its App."""

    def start_job(self, path, port):
        self.assertTrue(self.win.wait_enabled(FLASH_BUTTON, True, 30), "FlashButton stays disabled")
        self.win.set_text(FILE_FIELD, path)
        self.win.set_text(PORT_COMBO, port)
        self.win.set_text(LOG_VIEW, "")  # so that the last job's lines cannot be taken for this one's
        self.win.click(FLASH_BUTTON)

    def wait_end(self, timeout=15):
        self.win.wait_log(lambda seen: any(is_closing(line) for line in seen), timeout)
        self.assertTrue(self.win.wait_enabled(FLASH_BUTTON, True, 10), "FlashButton is not enabled again")
        time.sleep(0.1)  # a line appended after the closing one would be a second outcome
        return self.win.log_lines()

    def flash(self, path, port, timeout=15):
        self.start_job(path, port)
        return self.wait_end(timeout)

    def assert_nothing_held(self, *paths):
        """Neither Tarvex's process nor the wineserver keeps a descriptor on any of paths."""
        for path in paths:
            self.assertEqual(holders_of(path, [self.app.pid] + wineserver_pids()), [], path + " is still open")


class SessionCase(JobMixin, harness.SessionCase):
    """One Tarvex for the whole class (Wine GUI processes are slow to start and end), closed at the end: the
    close saves the last texts and leaves no process of the run behind."""

    RUN_PREFIX = "rely-"

    @classmethod
    def before_close(cls):
        return saved_settings(cls.win.text(FILE_FIELD), cls.win.text(PORT_COMBO))

    @classmethod
    def after_close(cls, expected):
        stored = cls.run_folder.read_bytes("Setting.ini")
        left = cls.app.processes()
        if left:
            return "processes of the run outlived Tarvex: %s" % left
        if stored != expected:
            return "Setting.ini holds %r, not the last texts %r" % ((stored or b"")[:200], (expected or b"")[:200])
        return None

    def set_mode(self, text):
        self.run_folder.write_text("programmer-mode.txt", text)

    def programmer_log(self):
        """(Windows pid, command line) of every run the stand-in programmer logged."""
        text = (self.run_folder.read_bytes("programmer-runs.txt") or b"").decode("utf-8")
        return [(int(pid), command) for _, pid, command in (line.split(" ", 2) for line in text.splitlines())]

    def programmer_runs(self):
        return [command for _, command in self.programmer_log()]

    def assert_programmers_released(self, pids):
        """No handle of an ended programmer is still held: an ended process stays openable while one is."""
        def kept():
            held = []
            for pid in pids:
                reply = self.win.driver.call("process", pid=pid)
                if reply["exists"] and reply.get("image", "").lower().endswith("avrdude.exe"):
                    held.append(pid)
            return held

        # Wine lets go of a process that just ended a moment later.
        harness.wait_until(lambda: not kept(), 5, 0.2)
        self.assertEqual(kept(), [], "handles of ended programmers are still held")


class PathTest(SessionCase):
    """Odd HEX paths with the stand-in programmer: refused with their one line, or passed on intact."""

    RUN_NAME = "paths"

    @classmethod
    def prepare(cls, run):
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("programmer-mode.txt", "exit_code=0\n")
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(300)))
        run.write_text("прошивки/мигалка v2.hex", hexfile.to_ihex(hexfile.test_pattern(300)))
        run.write_bytes("empty.hex", b"")
        os.makedirs(run.file("fwdir"))
        cls.port = cls.new_port(answer=False).link()

    def test_paths_the_file_check_refuses(self):
        long_missing = self.run_folder.win("x" * (300 - len(self.run_folder.win()) - 1))
        self.assertEqual(len(long_missing), 300)
        cases = [
            ("spaces only", "   "),
            ("a pattern that matches nothing", "nothing*.hex"),
            ("a pattern whose only match is a 0-byte file", "emp?y.hex"),
            ("a pattern whose only match is a folder", "fwd*"),
            ("a folder with a trailing backslash", "fwdir\\"),
            ("a missing Cyrillic name", "прошивки\\нет такой.hex"),
            ("a drive", "C:"),
            ("the null device", "NUL"),
            ("the console", "CON"),
            ("a device name with an extension", "nul.hex"),
            ("300 characters naming nothing", long_missing),  # last: the close must save it whole
        ]
        before = len(self.programmer_runs())
        for what, path in cases:
            with self.subTest(what):
                self.assertEqual(self.flash(path, self.port.name), [NO_FILE])
                self.assertTrue(self.win.responsive(1000))
        self.assertEqual(len(self.programmer_runs()), before, "no programmer may start on a refused path")
        self.assert_nothing_held(self.port.slave_path)

    def test_cyrillic_paths_reach_the_programmer_as_one_argument(self):
        cases = [
            ("relative", "прошивки\\мигалка v2.hex"),
            ("absolute", self.run_folder.win("прошивки\\мигалка v2.hex")),
        ]
        for what, path in cases:
            with self.subTest(what):
                before = len(self.programmer_runs())
                self.assertEqual(self.flash(path, self.port.name), [WAITING, FINISHED])
                runs = self.programmer_runs()[before:]
                self.assertEqual(len(runs), 1)
                self.assertEqual(windows_args(runs[0]), expected_args(self.port.name, path))
        self.assert_nothing_held(self.port.slave_path)


class RealProgrammerPathTest(SessionCase):
    """Paths that pass the file check, with the real avrdude writing into the simulated board."""

    RUN_NAME = "real-paths"

    @classmethod
    def prepare(cls, run):
        run.add_fixture("avrdude.exe")
        cls.image = [(0, hexfile.test_pattern(1500, seed=9))]
        run.write_text("прошивки 1/мигалка.hex", hexfile.to_ihex_segments(cls.image))
        run.write_text("blink.hex", hexfile.to_ihex_segments(cls.image))
        run.write_text('a"b.hex', hexfile.to_ihex_segments(cls.image))  # Wine lists such a name; Windows has none

    def board(self):
        return self.new_port().link(folder=self.run_folder.path)

    def test_a_cyrillic_path_with_spaces_is_written_to_the_board(self):
        board = self.board()
        path = self.run_folder.win("прошивки 1\\мигалка.hex")
        self.assertEqual(self.flash(path, board.name, timeout=60), [WAITING, FINISHED])
        self.assertEqual(bytes(board.sim.flash), hexfile.flash_image(self.image, bootloader_sim.APP_SIZE))
        self.assert_nothing_held(board.slave_path)

    def test_a_pattern_never_ends_in_success(self):
        board = self.board()
        lines = self.flash("bl?nk.hex", board.name, timeout=60)
        self.assertIn(lines, ([NO_FILE], [WAITING, FAILED % 1]))
        self.assertEqual(bytes(board.sim.flash), b"\xff" * bootloader_sim.APP_SIZE)
        self.assert_nothing_held(board.slave_path)

    # Between quotes a trailing "\" or a '"' would rewrite avrdude's arguments: neither may reach it.
    def test_a_quote_or_trailing_backslash_is_refused_or_written_as_named(self):
        old_firmware = hexfile.flash_image([(0, hexfile.test_pattern(800, seed=3))], bootloader_sim.APP_SIZE)
        new_firmware = hexfile.flash_image(self.image, bootloader_sim.APP_SIZE)
        cases = [
            ("a trailing backslash", "blink.hex\\"),
            ("a double quote in a name the file check finds", 'a"b.hex'),
            ("a double quote that adds a chip erase", 'blink.hex" -e -U "flash:w:x\\..\\blink.hex'),
        ]
        for what, path in cases:
            with self.subTest(what):
                board = self.board()
                board.sim.flash[:] = old_firmware
                lines = self.flash(path, board.name, timeout=60)
                self.assertNotIn("e", board.sim.command_letters(), "the board's flash was erased")
                if lines == [NO_FILE]:
                    self.assertEqual(bytes(board.sim.flash), old_firmware)
                else:
                    self.assertEqual(lines, [WAITING, FINISHED])
                    self.assertEqual(bytes(board.sim.flash), new_firmware)


class PortNameTest(JobMixin, harness.TarvexCase):
    """Port names that name no device: the job waits, the window answers, a close ends it and saves them."""

    def start_waiting(self, port, name):
        run = self.new_run(name)
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(100)))
        self.app, self.win = self.start_app(run)
        self.start_job("blink.hex", port)
        self.assertEqual(self.win.wait_log(lambda seen: WAITING in seen, 5), [WAITING])
        return run

    def test_a_close_in_the_port_wait_saves_the_name_as_typed(self):
        cases = [
            ("spaces only", "   "),
            ("a name with spaces", "COM 7"),
            ("with the device prefix typed", "\\\\.\\COM255"),
            ("100 characters", "COM" + "9" * 97),
            ("Cyrillic", "КОМ3 порт"),
        ]
        for number, (what, port) in enumerate(cases):
            with self.subTest(what):
                run = self.start_waiting(port, "port-%d" % number)
                time.sleep(0.6)  # a few probes
                self.assertTrue(self.win.responsive(500), "the window must answer during the port wait")
                self.assertEqual(self.win.log_lines(), [WAITING])
                watch = self.win.close_watch(run.win("Setting.ini"), timeout=5)
                self.assertGreaterEqual(watch["gone_ms"], 0, "the window did not go")
                self.assertEqual(self.app.wait(20), 0)
                self.assertEqual(run.read_bytes("Setting.ini"), saved_settings("blink.hex", port))
                self.assertIsNone(run.read_bytes("programmer-runs.txt"), "no programmer may start")
                self.assertEqual(self.app.processes(), [])
                run.end_all()

    def test_a_port_held_by_another_program_times_out_and_stays_theirs(self):
        # Wine checks no share modes on serial devices, so a file held open stands for the busy port.
        held = "/tmp/tarvex-rely-held-%d" % os.getpid()
        with open(held, "wb") as f:
            f.write(b"x")
        self.addCleanup(os.unlink, held)
        holder = subprocess.Popen([harness.wine(), fixture("probe_tool.exe"), "hold", harness.windows_path(held)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (holder.stdin.close(), holder.wait(30), holder.stdout.close()))
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        port = harness.windows_path(held)
        run = self.start_waiting(port, "held")
        began = time.monotonic()
        answered = []
        while not any(is_closing(line) for line in self.win.wait_log(lambda seen: True, 1)):
            self.assertLess(time.monotonic() - began, 40, "no closing line after 40 s")
            answered.append(self.win.responsive(500))
            time.sleep(1.0)
        ended = time.monotonic() - began
        self.assertEqual(self.wait_end(), [WAITING, TIMED_OUT])
        figure("held port: timeout line after %.1f s" % ended)
        self.assertGreaterEqual(ended, 19.5)
        self.assertTrue(all(answered), "the window must answer throughout the port wait")
        self.assertIsNone(holder.poll(), "the holder must keep its port")
        self.assertEqual(holders_of(held, [self.app.pid]), [], "Tarvex keeps the held file open")
        self.assertIsNone(run.read_bytes("programmer-runs.txt"))
        self.win.close()
        self.assertEqual(self.app.wait(20), 0)
        self.assertEqual(run.read_bytes("Setting.ini"), saved_settings("blink.hex", port))


def garbage(size, seed):
    return b"\x00" + random.Random(seed).randbytes(size)  # never a byte order mark


def big_settings():
    padding = b"".join(b"; line %07d of a hand-edited file with many comments\r\n" % n for n in range(110000))
    return BOM + b"\r\n" + padding + b"Path = C:\\fw\\big.hex\r\nPort = COM4\r\n"


HELD_SETTINGS = saved_settings("C:\\fw\\held.hex", "COM9")

SETTINGS_CASES = [
    # what, Setting.ini ("folder": a folder of that name; "held": open in another program), shown texts, saved
    ("empty", b"", "", "COM1", True),
    ("byte order mark only", BOM, "", "COM1", True),
    ("UTF-16", "\ufeffPath = C:\\fw\\blink.hex\r\nPort = COM3\r\n".encode("utf-16-le"), "", "COM1", True),
    ("binary garbage", garbage(65536, 7), "", "COM1", True),
    ("several megabytes, the keys at the end", big_settings(), "C:\\fw\\big.hex", "COM4", True),
    ("a folder of that name", "folder", "", "COM1", False),
    ("open in another program", "held", "C:\\fw\\held.hex", "COM9", False),
]


class SettingsFileTest(harness.TarvexCase):
    """Whatever Setting.ini holds, the program starts, shows what it can read and saves or keeps the file."""

    def hold(self, path):
        """Keeps path open in another Wine program (reading and writing, sharing both) until the test ends."""
        holder = subprocess.Popen([harness.wine(), fixture("probe_tool.exe"), "hold", harness.windows_path(path)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (holder.stdin.close(), holder.wait(30), holder.stdout.close()))
        self.assertEqual(holder.stdout.readline().strip(), b"held")

    def test_the_program_starts_shows_and_saves_or_keeps(self):
        for number, (what, content, path, port, saved) in enumerate(SETTINGS_CASES):
            with self.subTest(what):
                run = self.new_run("settings-%d" % number)
                ini = run.file("Setting.ini")
                if content == "folder":
                    os.makedirs(os.path.join(ini, "inside"))
                else:
                    content = HELD_SETTINGS if content == "held" else content
                    run.write_bytes("Setting.ini", content)
                    if not saved:
                        self.hold(ini)
                app, win = self.start_app(run)
                self.assertEqual((win.text(FILE_FIELD), win.text(PORT_COMBO)), (path, port))
                win.set_text(FILE_FIELD, CYRILLIC_PATH)
                win.set_text(PORT_COMBO, "COM12")
                win.close()
                self.assertEqual(app.wait(20), 0)
                self.assertEqual(app.processes(), [])
                if saved:
                    self.assertEqual(run.read_bytes("Setting.ini"), saved_settings(CYRILLIC_PATH, "COM12"))
                elif content == "folder":
                    self.assertEqual(os.listdir(ini), ["inside"])
                else:
                    self.assertEqual(run.read_bytes("Setting.ini"), content)
                # No temporary or second file beside the settings.
                self.assertEqual(run.listdir(), ["Setting.ini", "Tarvex.exe", "stderr.txt", "stdout.txt"])
                run.end_all()

    def test_a_save_that_runs_out_of_disk_keeps_the_old_file(self):
        run = self.new_run()
        exe_size = os.path.getsize(run.exe)
        os.unlink(run.exe)
        # A tiny file system of its own: room for the program, the old settings and a few pages more.
        size_kb = (exe_size >> 10) + 64
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kb, "tmpfs", run.path],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: %s" % mounted.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", "-l", run.path])
        run.copy_in(os.path.join(harness.build_dir(), harness.EXE_NAME))
        old = saved_settings("C:\\fw\\old.hex", "COM5")
        run.write_bytes("Setting.ini", old)
        filler = os.open(run.file("filler"), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"\0" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(filler)
        os.truncate(run.file("filler"), max(0, os.path.getsize(run.file("filler")) - 8192))
        app, win = self.start_app(run)
        self.assertEqual(win.text(FILE_FIELD), "C:\\fw\\old.hex")
        long_path = "C:\\fw\\" + "д" * 20000 + ".hex"  # 40 kB of UTF-8: more than the disk has left
        win.set_text(FILE_FIELD, long_path)
        self.assertEqual(len(win.text(FILE_FIELD)), len(long_path))
        win.close()
        self.assertEqual(app.wait(20), 0)
        self.assertEqual(app.processes(), [])
        self.assertEqual(run.read_bytes("Setting.ini"), old)
        self.assertEqual(run.listdir(), ["Setting.ini", "Tarvex.exe", "filler", "stderr.txt", "stdout.txt"])
        run.end_all()


class ProgrammerFaultTest(SessionCase):
    """The stand-in programmer crashing or flooding both outputs, and fifty jobs in a row."""

    RUN_NAME = "faults"
    MEGABYTES = 4

    @classmethod
    def prepare(cls, run):
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(300)))
        cls.port = cls.new_port(answer=False).link()

    def output_sizes(self):
        return len(self.app.stdout_bytes() or b""), len(self.app.stderr_bytes() or b"")

    def test_crashes_and_floods_end_with_their_line_and_lose_no_output(self):
        size = self.MEGABYTES << 20
        cases = [
            ("a crash", "crash=1\n", FAILED % ACCESS_VIOLATION, 0, 0),
            ("a crash after writing", "crash=1\nstdout_bytes=65536\nstderr_bytes=65536\n",
             FAILED % ACCESS_VIOLATION, 65536, 65536),
            ("megabytes on both outputs", "stdout_bytes=%d\nstderr_bytes=%d\n" % (size, size), FINISHED, size, size),
        ]
        for what, mode, closing, out, err in cases:
            with self.subTest(what):
                self.set_mode(mode)
                out_before, err_before = self.output_sizes()
                began = time.monotonic()
                self.assertEqual(self.flash("blink.hex", self.port.name, timeout=90), [WAITING, closing])
                figure("%s: job took %.2f s" % (what, time.monotonic() - began))
                self.assertTrue(self.win.responsive(1000))
                # Standard output passes through the program's own; errors reach its console (here its stderr).
                out_after, err_after = self.output_sizes()
                self.assertEqual(out_after - out_before, out)
                self.assertGreaterEqual(err_after - err_before, err)
                self.assertEqual(self.app.processes(), [self.app.pid], "the programmer is still running")
        self.assert_programmers_released([pid for pid, _ in self.programmer_log()])
        self.assert_nothing_held(self.port.slave_path)

    def test_a_damaged_programmer_file_is_a_start_failure_that_leaks_nothing(self):
        programmer = self.run_folder.file("avrdude.exe")
        with open(programmer, "rb") as f:
            working = f.read()
        self.addCleanup(self.run_folder.write_bytes, "avrdude.exe", working)
        cases = [
            ("empty", b""),
            ("random bytes", random.Random(3).randbytes(5000)),
            ("a batch text", b"@echo off\r\nexit /b 0\r\n"),
            ("a cut program header", working[:512]),
        ]
        fds_before = None
        for what, data in cases:
            with self.subTest(what):
                self.run_folder.write_bytes("avrdude.exe", data)
                for _ in range(3):
                    self.assertEqual(self.flash("blink.hex", self.port.name), [WAITING, NO_PROGRAMMER])
                    if fds_before is None:
                        fds_before = len(fd_targets(self.app.pid))
                self.assertTrue(self.win.responsive(1000))
        self.assertLessEqual(len(fd_targets(self.app.pid)), fds_before, "a failed start leaves descriptors behind")
        self.assertEqual(self.app.processes(), [self.app.pid])
        self.assert_nothing_held(self.port.slave_path)

    def test_fifty_jobs_in_a_row_end_right_and_leak_nothing(self):
        rounds = [
            ("exit_code=0\n", FINISHED),
            ("exit_code=1\nstderr_text=avrdude: ser_open(): can't open device\\n\n", FAILED % 1),
            ("exit_code=0\nstdout_bytes=4096\nstderr_bytes=4096\n", FINISHED),
            ("exit_code=2\n", FAILED % 2),
        ]
        self.set_mode(rounds[0][0])
        self.assertEqual(self.flash("blink.hex", self.port.name), [WAITING, FINISHED])  # loads what a job needs
        fds_before = len(fd_targets(self.app.pid))
        runs_before = len(self.programmer_runs())
        began = time.monotonic()
        for n in range(50):
            mode, closing = rounds[n % len(rounds)]
            self.set_mode(mode)
            lines = self.flash("blink.hex", self.port.name)
            self.assertEqual(lines, [WAITING, closing], "job %d" % (n + 1))
            self.assertTrue(self.win.responsive(1000), "job %d" % (n + 1))
        took = time.monotonic() - began
        fds_after = len(fd_targets(self.app.pid))
        figure("50 jobs in %.1f s; descriptors of the Wine process %d before, %d after" % (took, fds_before, fds_after))
        pids = [pid for pid, _ in self.programmer_log()[runs_before:]]
        self.assertEqual(len(pids), 50)
        self.assert_programmers_released(pids)
        self.assertLessEqual(fds_after, fds_before + 2, "descriptors grow with every job")
        self.assertEqual(self.app.processes(), [self.app.pid])
        self.assert_nothing_held(self.port.slave_path)


class CloseWhileProgrammingTest(JobMixin, harness.TarvexCase):
    """A close request while the programmer runs waits for it, then ends the program and saves the fields."""

    # Six seconds show it as well as thirty: nothing in the program changes with the length of the run.
    HANG_MS = 6000

    def test_a_close_during_a_long_run_waits_for_the_programmer(self):
        run = self.new_run()
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("programmer-mode.txt", "sleep_ms=%d\n" % self.HANG_MS)
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(100)))
        port = ports.SerialPort(number=None, answer=False)
        self.addCleanup(lambda: (run.end_all(), port.close()))  # the pty goes after every process of the run
        port.link()
        self.app, self.win = self.start_app(run)
        self.start_job("blink.hex", port.name)
        self.wait_until(lambda: run.exists("programmer-runs.txt"), 10, message="the programmer never started")
        started = time.monotonic()
        time.sleep(1.0)
        posted = time.monotonic()
        watch = self.win.close_watch(run.win("Setting.ini"), timeout=self.HANG_MS / 1000 + 10)
        # The window leaves the screen at once; the Wine process takes about 2 s more to end.
        self.assertGreaterEqual(watch["hidden_ms"], 0, "the window did not go")
        gone = posted - started + watch["hidden_ms"] / 1000
        figure("close during a %d ms programmer run: settings saved %.2f s, window hidden %.2f s after its start"
               % (self.HANG_MS, posted - started + watch["file_changed_ms"] / 1000, gone))
        self.assertGreaterEqual(gone, self.HANG_MS / 1000 - 0.5, "the programmer's run was cut short")
        self.assertEqual(self.app.wait(20), 0)
        self.assertEqual(run.read_bytes("Setting.ini"), saved_settings("blink.hex", port.name))
        self.assertEqual(len(run.read_bytes("programmer-runs.txt").splitlines()), 1)
        self.assertEqual(self.app.processes(), [])


if __name__ == "__main__":
    harness.main()
