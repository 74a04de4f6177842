"""Proves the flashing bench without Tarvex: the avrdude bridge against the simulated bootloader, and the fake programmer."""

import os
import select
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time
import tty
import unittest

SOURCE = os.environ.get("TARVEX_SOURCE", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE, "tests", "fixtures"))

import bootloader_sim  # noqa: E402
import hexfile  # noqa: E402
import ports  # noqa: E402

BUILD = os.environ.get("TARVEX_BUILD", "")
WINE = os.environ.get("TARVEX_WINE", "/usr/lib/wine/wine64")
FIXTURES = os.path.join(BUILD, "tests", "fixtures")
RUNS = os.path.join(BUILD, "e2e-runs", "bench_fixtures")
FLASH_ARGS = ["-v", "-p", "atmega32u4", "-c", "avr109", "-P", "COM7", "-b", "57600", "-D"]


def new_run(name):
    path = os.path.join(RUNS, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def linux_avrdudes(folder):
    """Pids of Linux avrdude processes working in `folder` (what the bridge started there)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv0 = f.read().split(b"\0")[0]
            with open("/proc/%s/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            cwd = os.readlink("/proc/%s/cwd" % pid)
        except OSError:
            continue
        if argv0 == b"/usr/bin/avrdude" and state != "Z" and os.path.realpath(cwd) == os.path.realpath(folder):
            found.append(int(pid))
    return found


class Run:
    """One Wine process with its stderr read as it comes, with the arrival time of each piece."""

    def __init__(self, args, cwd):
        self.started = time.monotonic()
        self.proc = subprocess.Popen([WINE] + args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        self.stdout = bytearray()
        self.stderr_pieces = []
        self._readers = [threading.Thread(target=self._read, args=(self.proc.stdout, None), daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr_pieces),
                                          daemon=True)]
        for r in self._readers:
            r.start()

    def _read(self, pipe, pieces):
        while True:
            data = pipe.read1(65536)
            if not data:
                return
            if pieces is None:
                self.stdout += data
            else:
                pieces.append((time.monotonic(), data))

    def wait(self, timeout):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self.ended = time.monotonic()
        for r in self._readers:
            r.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        for pipe in (self.proc.stdout, self.proc.stderr):
            if not pipe.closed:
                pipe.close()

    @property
    def stderr(self):
        return b"".join(data for _, data in self.stderr_pieces)

    @property
    def elapsed(self):
        return self.ended - self.started


class BenchCase(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(os.path.join(FIXTURES, "avrdude.exe")):
            self.fail("build the fixtures first: %s/avrdude.exe is missing" % FIXTURES)
        self.runs = []
        self.folders = []

    def tearDown(self):
        for run in self.runs:
            run.kill()
        for folder in self.folders:
            for pid in linux_avrdudes(folder):
                os.kill(pid, signal.SIGKILL)

    def folder(self, name, exe="avrdude.exe", as_name="avrdude.exe"):
        path = new_run(name)
        shutil.copy(os.path.join(FIXTURES, exe), os.path.join(path, as_name))
        self.folders.append(path)
        return path

    def start(self, args, cwd):
        run = Run(args, cwd)
        self.runs.append(run)
        return run


class BridgeFlashTest(BenchCase):
    """avrdude.exe (the bridge) writes a HEX file into the simulated board through a COM7 link in its folder."""

    def flash(self, name, segments, hex_name="blink.hex", hex_arg=None, launcher=None):
        folder = self.folder(name)
        hex_path = os.path.join(folder, hex_name)
        os.makedirs(os.path.dirname(hex_path), exist_ok=True)
        with open(hex_path, "w", encoding="ascii", newline="") as f:
            f.write(hexfile.to_ihex_segments(segments))
        with ports.SerialPort(7) as port:
            port.link(folder=folder, wine=False)
            args = FLASH_ARGS + ["-U", "flash:w:%s:i" % (hex_arg or hex_name)]
            run = self.start(launcher(folder, args) if launcher else ["avrdude.exe"] + args, folder)
            code = run.wait(60)
            flash = bytes(port.sim.flash)
            letters = port.sim.command_letters()
            bad = port.sim.events_of("bad")
        self.assertEqual(linux_avrdudes(folder), [], "avrdude still runs after the bridge ended")
        return code, run, flash, letters, bad

    def test_images_arrive_whole(self):
        # Page-aligned starts, a run ending mid-page (avrdude pads it from a read-back), a gap, the whole area.
        # An image reaching into the bootloader is cut there, as the locked boot section does, and fails verify.
        cases = [
            ("few_kb", [(0, hexfile.test_pattern(5000, seed=7))], 0),
            ("gap", [(0, hexfile.test_pattern(300, seed=3)), (0x1000, hexfile.test_pattern(777, seed=4))], 0),
            ("odd_start", [(0x0143, hexfile.test_pattern(1000, seed=5))], 0),
            ("whole_area", [(0, hexfile.test_pattern(bootloader_sim.APP_SIZE, seed=9))], 0),
            ("past_the_area", [(bootloader_sim.APP_SIZE - 256, hexfile.test_pattern(512, seed=2))], 1),
        ]
        for name, segments, expected in cases:
            with self.subTest(name):
                code, run, flash, letters, bad = self.flash(name, segments)
                self.assertEqual(code, expected, run.stderr.decode("utf-8", "replace"))
                self.assertEqual(flash, hexfile.flash_image(segments, bootloader_sim.APP_SIZE))
                self.assertEqual(bool(bad), expected != 0, bad)
                self.assertTrue(letters.startswith("^SVvpabtTPsA") and letters.endswith("LE"), letters)

    def test_hex_path_forms(self):
        # The names a Windows caller may pass: plain, with spaces and Cyrillic, absolute, quoted with backslashes.
        data = [(0, hexfile.test_pattern(2000, seed=11))]

        def via_batch(folder, args):
            # cmd runs the line as written, so the bridge gets the quotes and splits them itself.
            line = "avrdude.exe " + " ".join(args[:-1]) + ' flash:w:"sub dir\\blink.hex":i\r\n'
            with open(os.path.join(folder, "run.bat"), "w", newline="") as f:
                f.write("@" + line + "@exit /b %errorlevel%\r\n")
            return ["cmd", "/c", "run.bat"]

        absolute = "Z:" + os.path.join(RUNS, "absolute", "д папка", "blink.hex").replace("/", "\\")
        cases = [
            ("plain", "blink.hex", None, None),
            ("cyrillic", "д папка/blink.hex", None, None),
            ("absolute", "д папка/blink.hex", absolute, None),
            ("quoted", "sub dir/blink.hex", None, via_batch),
        ]
        for name, hex_name, hex_arg, launcher in cases:
            with self.subTest(name):
                code, run, flash, _, _ = self.flash(name, data, hex_name, hex_arg, launcher)
                self.assertEqual(code, 0, run.stderr.decode("utf-8", "replace"))
                self.assertEqual(flash, hexfile.flash_image(data, bootloader_sim.APP_SIZE))

    def test_messages_reach_stderr_while_running(self):
        code, run, _, _, _ = self.flash("messages", [(0, hexfile.test_pattern(3000))])
        self.assertEqual(code, 0)
        text = run.stderr.decode("utf-8", "replace")
        for message in ("Version 7.1", "device signature = 0x1e9587", "3000 bytes of flash verified",
                        "avrdude done.  Thank you."):
            self.assertIn(message, text)
        # The banner comes before avrdude's second of port drains: it must not wait for the end.
        first = run.stderr_pieces[0][0]
        self.assertGreater(run.ended - first, 0.5, "stderr arrived only at the end")

    def test_not_intel_hex_fails_fast(self):
        folder = self.folder("not_hex")
        with open(os.path.join(folder, "notes.hex"), "w") as f:
            f.write("this is a text file, not a firmware\n")
        with ports.SerialPort(7) as port:
            port.link(folder=folder, wine=False)
            run = self.start(["avrdude.exe"] + FLASH_ARGS + ["-U", "flash:w:notes.hex:i"], folder)
            code = run.wait(60)
            letters = port.sim.command_letters()
            flash = bytes(port.sim.flash)
        self.assertEqual(code, 1)
        self.assertLess(run.elapsed, 5)
        self.assertIn(b"notes.hex", run.stderr)
        self.assertNotIn("B", letters)
        self.assertEqual(flash, b"\xff" * bootloader_sim.APP_SIZE)


class BridgeEndingTest(BenchCase):
    """An ended bridge or avrdude never leaves a process on the port nor reads as success."""

    def test_endings(self):
        # Killing the bridge must take avrdude with it; a killed avrdude must not exit 0.
        cases = [("bridge_killed", "bridge"), ("avrdude_killed", "avrdude")]
        for name, victim in cases:
            with self.subTest(name):
                folder = self.folder(name)
                with open(os.path.join(folder, "blink.hex"), "w") as f:
                    f.write(hexfile.to_ihex(hexfile.test_pattern(500)))
                with ports.SerialPort(7, answer=False) as port:
                    port.link(folder=folder, wine=False)
                    run = self.start(["avrdude.exe"] + FLASH_ARGS + ["-U", "flash:w:blink.hex:i"], folder)
                    self.assertIsNotNone(port.sim.wait_for("cmd", 15), "avrdude never talked to the port")
                    pids = linux_avrdudes(folder)
                    self.assertEqual(len(pids), 1)
                    if victim == "bridge":
                        run.proc.kill()
                        run.wait(15)
                        self.assertIsNotNone(port.sim.wait_for("close", 5), "the port stayed open")
                        deadline = time.monotonic() + 5
                        while linux_avrdudes(folder) and time.monotonic() < deadline:
                            time.sleep(0.05)
                        self.assertEqual(linux_avrdudes(folder), [])
                    else:
                        os.kill(pids[0], signal.SIGKILL)
                        self.assertEqual(run.wait(15), 128 + signal.SIGKILL)


class Client:
    """A native client on the slave, as Wine's serial driver would be: raw, with the given line settings."""

    def __init__(self, port, speed=termios.B57600, size=termios.CS8, parity=0, stop=0, flow=0):
        self.fd = os.open(port.slave_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB
                                 | termios.CRTSCTS)) | size | parity | stop | flow
        attrs[4] = attrs[5] = speed
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def ask(self, data, expect, timeout=2):
        os.write(self.fd, data)
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < expect and time.monotonic() < deadline:
            if select.select([self.fd], [], [], deadline - time.monotonic())[0]:
                got += os.read(self.fd, 4096)
        return got

    def close(self):
        os.close(self.fd)


class PortTest(unittest.TestCase):
    """The simulated port itself, with a native client: what other tests read from it must be true."""

    def setUp(self):
        if not os.path.isdir(ports.dosdevices()):
            self.fail("no Wine prefix at %s: source scripts/wine-env.sh" % ports.dosdevices())

    def test_line_settings_read_back(self):
        # Data bits and parity are left out: a pty always holds 8 bits, no parity.
        cases = [
            (termios.B57600, 0, 0, ports.LineSettings(57600, 8, "N", 1, False, False)),
            (termios.B9600, termios.CSTOPB, termios.CRTSCTS, ports.LineSettings(9600, 8, "N", 2, True, False)),
            (termios.B1200, 0, 0, ports.LineSettings(1200, 8, "N", 1, False, False)),
        ]
        for speed, stop, flow, expected in cases:
            with self.subTest(expected), ports.SerialPort(7) as port:
                client = Client(port, speed, stop=stop, flow=flow)
                self.assertEqual(port.line_settings(), expected)
                client.close()
                # The settings stay on the pty after the client closed, and reading them is not a client.
                self.assertIsNotNone(port.sim.wait_for("close", 2))
                self.assertEqual(port.line_settings(), expected)
                time.sleep(0.1)
                self.assertEqual([e.kind for e in port.sim.events if e.kind in ("open", "close")],
                                 ["open", "close"])

    def test_sessions_are_seen(self):
        with ports.SerialPort(7) as port:
            for session in range(2):
                client = Client(port)
                self.assertEqual(client.ask(b"S", 7), b"CATERIN")
                client.ask(b"A\x00", 0, timeout=0.1)       # cut off by the close: must not run into the next one
                client.close()
                self.assertIsNotNone(port.sim.wait_for("close", 2, count=session + 1))
            events = [e for e in port.sim.events if e.kind in ("open", "close")]
            self.assertEqual([e.kind for e in events], ["open", "close", "open", "close"])
            self.assertEqual(sorted(events, key=lambda e: e.mono), events)
            self.assertEqual(port.sim.commands(), ["S", "S"])

    def test_board_answers(self):
        page = hexfile.test_pattern(128)
        top = bootloader_sim.APP_SIZE // 2           # first word past the application area
        cases = [
            # name, bytes sent, answer, flash bytes 0..128 afterwards, bad events
            ("signature", b"s", b"\x87\x95\x1e", b"\xff" * 128, 0),
            ("write_and_read", b"A\x00\x00B\x00\x80F" + page + b"A\x00\x00g\x00\x80F", b"\r\r\r" + page,
             page, 0),
            ("past_the_area", b"A" + top.to_bytes(2, "big") + b"B\x00\x80F" + page, b"\r\r", b"\xff" * 128, 1),
            ("unknown_memory", b"A\x00\x00B\x00\x02X\x01\x02", b"\r?", b"\xff" * 128, 1),
            ("unknown_command", b"Z", b"?", b"\xff" * 128, 1),
        ]
        for name, sent, answer, flash, bad in cases:
            with self.subTest(name), ports.SerialPort(7) as port:
                client = Client(port)
                self.assertEqual(client.ask(sent, len(answer)), answer)
                client.close()
                self.assertEqual(bytes(port.sim.flash[:128]), flash)
                self.assertEqual(bytes(port.sim.flash[128:]), b"\xff" * (bootloader_sim.APP_SIZE - 128))
                self.assertEqual(len(port.sim.events_of("bad")), bad)

    def test_silent_port(self):
        with ports.SerialPort(7, answer=False) as port:
            client = Client(port)
            self.assertEqual(client.ask(b"S", 1, timeout=0.3), b"")
            client.close()
            self.assertEqual(port.sim.commands(), ["S"])

    def test_links(self):
        # A delayed link appears only after its delay (a board leaving reset); unlink also cancels a pending one.
        cases = [("now", None, False), ("delayed", 0.4, False), ("cancelled", 0.4, True)]
        for name, delay, cancel in cases:
            with self.subTest(name), ports.SerialPort(None) as port:
                folder = new_run("links_" + name)
                links = [os.path.join(ports.dosdevices(), "com%d" % port.number), os.path.join(folder, port.name)]
                asked = time.monotonic()
                port.link(delay=delay, folder=folder)
                if delay:
                    self.assertFalse(any(os.path.lexists(p) for p in links))
                if cancel:
                    port.unlink()
                time.sleep((delay or 0) + 0.2)
                if cancel:
                    self.assertFalse(any(os.path.lexists(p) for p in links))
                    continue
                self.assertEqual([os.readlink(p) for p in links], [port.slave_path] * 2)
                self.assertGreaterEqual(port.linked_at[0] - asked, delay or 0)
                port.unlink()
                self.assertFalse(any(os.path.lexists(p) for p in links))


class FakeProgrammerTest(BenchCase):
    """fake_programmer.exe, copied in as avrdude.exe, logs each run and behaves as programmer-mode.txt says."""

    def test_modes(self):
        pattern = b"".join(bytes([ord("a") + i]) * 63 + b"\n" for i in range(26))
        mib = 1 << 20
        cases = [
            # name, mode text, exit code, stdout, stderr, least seconds
            ("no_mode_file", None, 0, b"", b"", 0),
            ("big_stdout", "stdout_bytes=%d\n" % mib, 0, (pattern * (mib // len(pattern) + 1))[:mib], b"", 0),
            ("stderr_and_code", "stderr_bytes=100\r\nexit_code=3\r\n", 3, b"", pattern[:100], 0),
            ("texts", "stdout_text=Прошивка\\r\\n\nstderr_text=err\\x21\\n\n", 0, "Прошивка\r\n".encode(),
             b"err!\n", 0),
            ("sleeps", "sleep_ms=1500\n", 0, b"", b"", 1.5),
            # Under Wine a Windows exit code reaches Unix as its low byte: 0xC0000005 -> 5.
            ("crash", "crash=1\n", 5, b"", b"", 0),
        ]
        for name, mode, code, out, err, least in cases:
            with self.subTest(name):
                folder = self.folder(name, exe="fake_programmer.exe")
                if mode is not None:
                    with open(os.path.join(folder, "programmer-mode.txt"), "w", newline="") as f:
                        f.write(mode)
                before = time.time()
                run = self.start(["avrdude.exe", "-U", "flash:w:д папка\\x.hex:i"], folder)
                self.assertEqual(run.wait(60), code)
                self.assertEqual(bytes(run.stdout), out)
                self.assertEqual(run.stderr, err)
                self.assertGreaterEqual(run.elapsed, least)
                with open(os.path.join(folder, "programmer-runs.txt"), encoding="utf-8") as f:
                    lines = f.read().splitlines()
                self.assertEqual(len(lines), 1)
                stamp, pid, command = lines[0].split(" ", 2)
                self.assertLess(abs(float(stamp) - before), 10)
                self.assertEqual(len(stamp.split(".")[1]), 6)
                self.assertTrue(pid.isdigit())
                self.assertTrue(command.endswith('avrdude.exe" -U "flash:w:д папка\\x.hex:i"'), command)

    def test_runs_append(self):
        folder = self.folder("appends", exe="fake_programmer.exe")
        for _ in range(2):
            self.assertEqual(self.start(["avrdude.exe"], folder).wait(60), 0)
        with open(os.path.join(folder, "programmer-runs.txt"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 2)
        self.assertLessEqual(float(lines[0].split()[0]), float(lines[1].split()[0]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
