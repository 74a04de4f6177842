"""The console beside MainWindow: its title, the programmer's messages in it, and closing it in each phase."""
import os
import subprocess

import harness
import ports
from harness import BROWSE_BUTTON, FILE_FIELD, FLASH_BUTTON, PORT_COMBO

WAITING = "Ожидание открытия порта"
DONE = "Прошивка завершена"
CTRL_CLOSE_EVENT = 2
STATUS_CONTROL_C_EXIT = 0xC000013A
SAVED = b"\xef\xbb\xbf\r\nPath = C:\\old.hex\r\nPort = COM5\r\n"


def fixture(name):
    return os.path.join(harness.build_dir(), "tests", "fixtures", name)


class ConsoleTest(harness.TarvexCase):
    def prepared_run(self, name, programmer_mode):
        run = self.new_run(name)
        run.write_bytes("blink.hex", b":00000001FF\r\n")
        run.write_bytes("Setting.ini", SAVED)
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("programmer-mode.txt", programmer_mode)
        port = ports.SerialPort(number=None, answer=False)
        # The pty goes only after every process of the run has ended.
        self.addCleanup(lambda: (run.end_all(), port.close()))
        port.link()
        app = run.start(console=True)
        win = app.main_window(self.driver)
        win.set_text(FILE_FIELD, "blink.hex")
        win.set_text(PORT_COMBO, port.name)
        return run, port, app, win

    def console_text(self, win):
        reader = subprocess.run([harness.wine(), fixture("console_reader.exe"), str(win.pid)],
                                capture_output=True, timeout=30)
        self.assertEqual(reader.returncode, 0, reader.stderr)
        return reader.stdout.decode("utf-8").replace("\r\n", "\n")

    def test_titled_and_showing_the_programmers_error_output(self):
        run, port, app, win = self.prepared_run("messages", "stderr_text=avrdude: marker 4711 done\\n\n")
        console = self.driver.find_window(harness.CONSOLE_TITLE, timeout_ms=5000)
        self.assertEqual(self.driver.window(console["hwnd"])["class"], "WineConsoleClass")
        self.assertIn("title: " + harness.CONSOLE_TITLE + "\n", self.console_text(win))
        win.click(FLASH_BUTTON)
        self.assertEqual(win.wait_log(lambda lines: DONE in lines, 15), [WAITING, DONE])
        self.assertIn("avrdude: marker 4711 done", self.console_text(win))
        win.close()
        self.assertEqual(app.wait(10), 0)

    def test_closing_it_ends_the_program_in_every_phase(self):
        for phase in ["programmer running", "file dialog open"]:
            with self.subTest(phase):
                run, port, app, win = self.prepared_run(phase.split()[0], "sleep_ms=4000\n")
                win.set_text(FILE_FIELD, "a path that must not be saved")
                if phase == "programmer running":
                    win.set_text(FILE_FIELD, "blink.hex")
                    win.click(FLASH_BUTTON)
                    self.wait_until(lambda: run.exists("programmer-runs.txt"), 10,
                                    message="the programmer never started")
                else:
                    win.click(BROWSE_BUTTON)
                    win.dialog(10)
                ended = win.call_export("TarvexConsoleControlHandler", CTRL_CLOSE_EVENT, wait_ms=5000,
                                        exit_wait_ms=5000)
                self.assertTrue(ended["process_ended"], ended)
                self.assertEqual(ended["process_exit_code"] & 0xFFFFFFFF, STATUS_CONTROL_C_EXIT)
                self.assertIsNotNone(app.wait(10))
                self.assertEqual(run.read_bytes("Setting.ini"), SAVED)
                self.assertEqual(sorted(f for f in run.listdir() if f.startswith("Setting")), ["Setting.ini"])
                run.end_all()
                # Nothing of the program holds the port any more: it opens exclusively at once.
                probe = subprocess.run([harness.wine(), fixture("probe_tool.exe"), port.name],
                                       capture_output=True, timeout=30)
                self.assertIn(b"true", probe.stdout.lower(), probe.stdout)


if __name__ == "__main__":
    harness.main()
