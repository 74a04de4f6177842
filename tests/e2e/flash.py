"""The flash job through the real Tarvex.exe under Wine: its log lines on every road, the flash a simulated
bootloader receives from the real avrdude (through the bridge), the programmer's command line (seen by the
stand-in programmer), and the figures: port-to-programmer latency and Tarvex's CPU while a programmer runs.

Each class runs one Tarvex for all its cases (a Wine GUI process takes seconds to start and to end) and closes it
through its window at the end, which must give exit code 0. Figures go to stderr and to
$TARVEX_BUILD/e2e-runs/flash-figures.txt.
"""
import os
import shutil
import statistics
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
from harness import (FAILED, FINISHED, NO_FILE, NO_PORT, NO_PROGRAMMER, TIMED_OUT, WAITING,  # noqa: E402
                     is_closing)



def figure(text):
    sys.stderr.write("FIGURE " + text + "\n")
    with open(os.path.join(harness.build_dir(), "e2e-runs", "flash-figures.txt"), "a") as f:
        f.write(time.strftime("%Y-%m-%d %H:%M:%S ") + text + "\n")


class SessionCase(harness.SessionCase):
    """One Tarvex for the whole class, in a run folder of its own."""

    RUN_PREFIX = "flash-"

    def start_job(self, path, port):
        """Fills the two fields, empties the log (so that the last job's lines cannot be taken for this one's)
        and clicks FlashButton once it is enabled."""
        self.assertTrue(self.win.wait_enabled(FLASH_BUTTON, True, 30), "FlashButton stays disabled")
        self.win.set_text(FILE_FIELD, path)
        self.win.set_text(PORT_COMBO, port)
        self.win.set_text(LOG_VIEW, "")
        self.win.click(FLASH_BUTTON)

    def wait_end(self, timeout=15):
        lines = self.win.wait_log(lambda seen: any(is_closing(line) for line in seen), timeout)
        self.assertTrue(self.win.wait_enabled(FLASH_BUTTON, True, 10), "FlashButton is not enabled again")
        # A line appended after the closing one would be a second outcome.
        time.sleep(0.1)
        return self.win.log_lines()

    def flash(self, path, port, timeout=15):
        self.start_job(path, port)
        return self.wait_end(timeout)


class StandInProgrammerTest(SessionCase):
    """The stand-in programmer as avrdude.exe: input checks, exit codes, output, command line, figures."""

    RUN_NAME = "stand-in"

    @classmethod
    def prepare(cls, run):
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(600)))
        run.write_text("my fw/blink 2.hex", hexfile.to_ihex(hexfile.test_pattern(60)))
        run.write_bytes("empty.hex", b"")
        os.makedirs(run.file("fwdir.hex"))
        cls.port = cls.new_port().link()

    def set_mode(self, text):
        self.run_folder.write_text("programmer-mode.txt", text)

    def programmer_runs(self):
        """(start wall time, command line) of every run the stand-in logged."""
        text = (self.run_folder.read_bytes("programmer-runs.txt") or b"").decode("utf-8")
        runs = []
        for line in text.splitlines():
            stamp, _pid, command = line.split(" ", 2)
            runs.append((float(stamp), command))
        return runs

    def test_bad_inputs_end_the_job_with_their_one_line(self):
        port = self.port.name
        cases = [
            ("empty path", "", port, NO_FILE),
            ("a path to nothing", "missing.hex", port, NO_FILE),
            ("a file of 0 bytes", "empty.hex", port, NO_FILE),
            ("a folder", "fwdir.hex", port, NO_FILE),
            ("both empty: the file is checked first", "", "", NO_FILE),
            ("a usable file and no port", "blink.hex", "", NO_PORT),
        ]
        before = len(self.programmer_runs())
        for what, path, port_name, line in cases:
            with self.subTest(what):
                self.assertEqual(self.flash(path, port_name), [line])
        self.assertEqual(len(self.programmer_runs()), before, "no programmer may start on bad inputs")

    def test_the_closing_line_tells_the_exit_code(self):
        cases = [
            ("success", "exit_code=0\n", FINISHED),
            ("avrdude's failure", "exit_code=1\n", FAILED % 1),
            ("a crash's code, unsigned", "exit_code=-1073741819\n", FAILED % 3221225477),
        ]
        for what, mode, closing in cases:
            with self.subTest(what):
                self.set_mode(mode)
                self.assertEqual(self.flash("blink.hex", self.port.name), [WAITING, closing])

    def test_a_megabyte_on_standard_output_does_not_stop_the_job(self):
        self.set_mode("stdout_bytes=1048576\n")
        before = len(self.app.stdout_bytes() or b"")
        self.assertEqual(self.flash("blink.hex", self.port.name, timeout=60), [WAITING, FINISHED])
        # Forwarded to the program's own standard output, none of it lost.
        self.assertEqual(len(self.app.stdout_bytes() or b"") - before, 1048576)

    def test_the_programmer_gets_one_quoted_path_argument(self):
        self.set_mode("exit_code=0\n")
        before = len(self.programmer_runs())
        self.assertEqual(self.flash("my fw\\blink 2.hex", self.port.name), [WAITING, FINISHED])
        runs = self.programmer_runs()[before:]
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0][1], '"avrdude" -v -p atmega32u4 -c avr109 -P %s -b 57600 -D -U '
                                     'flash:w:"my fw\\blink 2.hex":i' % self.port.name)

    def test_the_command_line_for_com3_and_c_fw_blink(self):
        dosdevices = ports.dosdevices()
        if os.path.lexists(os.path.join(dosdevices, "com3")):
            self.skipTest("COM3 is in use by another test")
        com3 = ports.SerialPort(number=3)
        self.addCleanup(com3.close)
        com3.link()
        folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "fw")
        made_folder = not os.path.exists(folder)
        os.makedirs(folder, exist_ok=True)
        hex_path = os.path.join(folder, "blink.hex")
        if os.path.exists(hex_path):
            self.skipTest("C:\\fw\\blink.hex belongs to someone else")
        with open(hex_path, "w") as f:
            f.write(hexfile.to_ihex(hexfile.test_pattern(100)))
        self.addCleanup(lambda: shutil.rmtree(folder) if made_folder else os.unlink(hex_path))
        self.set_mode("exit_code=0\n")
        before = len(self.programmer_runs())
        self.assertEqual(self.flash("C:\\fw\\blink.hex", "COM3"), [WAITING, FINISHED])
        runs = self.programmer_runs()[before:]
        self.assertEqual([command for _, command in runs],
                         ['"avrdude" -v -p atmega32u4 -c avr109 -P COM3 -b 57600 -D -U flash:w:"C:\\fw\\blink.hex":i'])

    def test_figure_port_to_programmer_latency(self):
        self.set_mode("exit_code=0\n")
        latencies = []
        try:
            for attempt in range(10):
                self.port.unlink()
                self.start_job("blink.hex", self.port.name)
                self.win.wait_log(lambda seen: WAITING in seen, 10)
                time.sleep(0.25 + 0.037 * attempt)  # the board's reset lands anywhere between two probes
                before = len(self.programmer_runs())
                self.port.link()
                linked_wall = self.port.linked_at[1]
                self.assertEqual(self.wait_end(), [WAITING, FINISHED])
                runs = self.programmer_runs()[before:]
                self.assertEqual(len(runs), 1)
                latencies.append(runs[0][0] - linked_wall)
        finally:
            self.port.link()
        median = statistics.median(latencies)
        figure("port openable -> programmer start over %d runs: median %.0f ms, worst %.0f ms, best %.0f ms"
               % (len(latencies), median * 1000, max(latencies) * 1000, min(latencies) * 1000))
        # One 200 ms pause between probes plus Wine's process start (70-100 ms here) bound it; a slack above
        # that catches a wait that sleeps before probing or polls slower, without failing on a busy machine.
        self.assertGreater(min(latencies), 0)
        self.assertLess(median, 0.3)
        self.assertLess(max(latencies), 0.6)

    def test_figure_cpu_while_the_programmer_runs(self):
        self.set_mode("sleep_ms=5000\n")
        self.start_job("blink.hex", self.port.name)
        cpu_before = self.app.cpu_seconds()
        wall_before = time.monotonic()
        self.assertEqual(self.wait_end(timeout=30), [WAITING, FINISHED])
        cpu = self.app.cpu_seconds() - cpu_before
        wall = time.monotonic() - wall_before
        figure("Tarvex CPU while a 5 s programmer ran: %.3f s of %.2f s wall (%.1f %%)" % (cpu, wall, 100 * cpu / wall))
        self.assertGreaterEqual(wall, 5.0)
        self.assertLess(cpu / wall, 0.05)


class RealAvrdudeTest(SessionCase):
    """The real avrdude through the bridge, against the simulated bootloader."""

    RUN_NAME = "avrdude"

    @classmethod
    def prepare(cls, run):
        run.add_fixture("avrdude.exe")
        cls.image = [(0, hexfile.test_pattern(6000, seed=5))]
        run.write_text("blink.hex", hexfile.to_ihex_segments(cls.image))
        run.write_text("notes.hex", "these are notes, not Intel HEX\r\n" * 20)

    def test_the_board_gets_the_hex_files_bytes(self):
        serial = self.new_port()
        self.start_job("blink.hex", serial.name)
        clicked = time.monotonic()
        serial.link(delay=2.0, folder=self.run_folder.path)
        self.assertEqual(self.win.wait_log(lambda seen: WAITING in seen, 5), [WAITING])
        time.sleep(1.0)
        self.assertEqual(self.win.log_lines(), [WAITING], "nothing more while the port is absent")
        self.assertEqual(self.wait_end(timeout=60), [WAITING, FINISHED])
        self.assertGreaterEqual(serial.linked_at[0] - clicked, 1.9)
        self.assertEqual(bytes(serial.sim.flash), hexfile.flash_image(self.image, bootloader_sim.APP_SIZE))
        self.assertEqual(serial.sim.events_of("bad"), [])
        opens = [e.mono for e in serial.sim.events_of("open") if e.mono >= serial.linked_at[0]]
        if opens:
            figure("port linked -> first open on the pty with the real avrdude: %.0f ms (20 ms resolution; the "
                   "probe's own open may be too short to be seen)" % ((opens[0] - serial.linked_at[0]) * 1000))

    def test_a_file_that_is_not_intel_hex_is_a_failure(self):
        serial = self.new_port().link(folder=self.run_folder.path)
        started = time.monotonic()
        self.assertEqual(self.flash("notes.hex", serial.name, timeout=30), [WAITING, FAILED % 1])
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(bytes(serial.sim.flash), b"\xff" * bootloader_sim.APP_SIZE)


class PortWaitTest(SessionCase):
    """Roads that end in the port wait or right after it, with no avrdude.exe to be found."""

    RUN_NAME = "port-wait"

    @classmethod
    def prepare(cls, run):
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(200)))

    def test_no_programmer_anywhere(self):
        serial = self.new_port().link()
        self.assertEqual(self.flash("blink.hex", serial.name), [WAITING, NO_PROGRAMMER])

    def test_a_port_that_never_opens_times_out_after_100_attempts(self):
        absent = self.new_port()  # claimed, never linked to the pty
        self.start_job("blink.hex", absent.name)
        self.win.wait_log(lambda seen: WAITING in seen, 5)
        began = time.monotonic()
        answered = []
        while True:
            lines = self.win.log_lines()
            if any(is_closing(line) for line in lines):
                ended = time.monotonic()
                break
            if time.monotonic() - began > 40:
                self.fail("no closing line after 40 s: %s" % lines)
            answered.append(self.win.responsive(500))
            time.sleep(0.5)
        self.assertEqual(self.wait_end(), [WAITING, TIMED_OUT])
        figure("port wait timeout after %.2f s" % (ended - began))
        self.assertGreaterEqual(ended - began, 20.0)
        self.assertLess(ended - began, 26.0)
        self.assertTrue(all(answered), "the window must keep answering while the job waits for the port")


class CloseDuringWaitTest(SessionCase):
    """A close request while the job waits for the port ends the job and the program."""

    RUN_NAME = "close"

    @classmethod
    def prepare(cls, run):
        run.write_text("blink.hex", hexfile.to_ihex(hexfile.test_pattern(200)))

    def test_the_window_closed_in_the_port_wait_ends_the_program(self):
        absent = self.new_port()
        self.start_job("blink.hex", absent.name)
        self.assertEqual(self.win.wait_log(lambda seen: WAITING in seen, 5), [WAITING])
        time.sleep(0.5)
        self.assertEqual(self.win.log_lines(), [WAITING])
        # Setting.ini is written once the event loop has ended; the window leaves the screen right after.
        watch = self.win.close_watch(file=self.run_folder.win("Setting.ini"), timeout=5)
        figure("close request in the port wait -> settings written %s ms, window off the screen %s ms "
               "(the Wine process itself ends about 2 s later)" % (watch["file_changed_ms"], watch["hidden_ms"]))
        self.assertGreaterEqual(watch["file_changed_ms"], 0, "the program did not end through its window")
        self.assertGreaterEqual(watch["hidden_ms"], 0, "the window stayed on the screen")
        self.assertLess(watch["hidden_ms"], 400)
        self.assertEqual(self.app.wait(20), 0)
        self.assertIsNone(self.run_folder.read_bytes("programmer-runs.txt"))


if __name__ == "__main__":
    harness.main()
