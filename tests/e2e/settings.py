"""Setting.ini through the real Tarvex.exe: what a start shows, what a close through the window saves, what else keeps it."""
import os
import stat

import harness
from harness import FILE_FIELD, PORT_COMBO

BOM = b"\xef\xbb\xbf"
SAVED = BOM + b"\r\nPath = C:\\old.hex\r\nPort = COM5\r\n"
CTRL_CLOSE_EVENT = 2
CYRILLIC = "C:\\прошивка\\мигалка.hex"


def settings_files(run):
    return [name for name in run.listdir() if name.startswith("Setting")]


class SettingsTest(harness.TarvexCase):
    def close_and_wait(self, app, win):
        win.close()
        self.assertEqual(app.wait(20), 0)

    def test_first_start_shows_defaults_and_creates_no_file(self):
        run = self.new_run()
        app, win = self.start_app(run)
        self.assertEqual(win.text(FILE_FIELD), "")
        self.assertEqual(win.text(PORT_COMBO), "COM1")
        self.assertEqual(settings_files(run), [])
        app.kill()
        self.assertEqual(settings_files(run), [])

    def test_texts_saved_on_close_read_back_on_the_next_start(self):
        cases = [
            ("example", "C:\\fw\\blink.hex", "COM3",
             bytes.fromhex("EFBBBF0D0A"
                           "50617468203D20433A5C66775C626C696E6B2E6865780D0A"
                           "506F7274203D20434F4D330D0A")),
            ("cyrillic", CYRILLIC, "COM25",
             BOM + b"\r\nPath = " + CYRILLIC.encode("utf-8") + b"\r\nPort = COM25\r\n"),
            ("empty", "", "", BOM + b"\r\nPath = \r\nPort = \r\n"),
        ]
        for name, path, port, expected in cases:
            with self.subTest(name):
                run = self.new_run(name)
                app, win = self.start_app(run, settings=SAVED)
                win.set_text(FILE_FIELD, path)
                win.set_text(PORT_COMBO, port)
                self.close_and_wait(app, win)
                saved = run.read_bytes("Setting.ini")
                self.assertEqual(saved, expected)
                if name == "example":
                    self.assertEqual(len(saved), 42)
                self.assertEqual(settings_files(run), ["Setting.ini"])

                app, win = self.start_app(run)
                self.assertEqual(win.text(FILE_FIELD), path)
                self.assertEqual(win.text(PORT_COMBO), port)  # an empty port stays empty, not COM1
                app.kill()

    def test_saved_port_off_the_list_is_shown_unchanged(self):
        app, win = self.start_app(settings=BOM + b"\r\nPath = C:\\nowhere\\x.hex\r\nPort = COM25\r\n")
        self.assertEqual(win.text(PORT_COMBO), "COM25")
        self.assertEqual(win.text(FILE_FIELD), "C:\\nowhere\\x.hex")
        app.kill()

    def test_read_only_file_is_loaded_but_not_saved(self):
        run = self.new_run()
        run.write_bytes("Setting.ini", SAVED)
        os.chmod(run.file("Setting.ini"), stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        self.addCleanup(lambda: os.chmod(run.file("Setting.ini"), 0o644))
        app, win = self.start_app(run)
        self.assertEqual(win.text(FILE_FIELD), "C:\\old.hex")
        self.assertEqual(win.text(PORT_COMBO), "COM5")
        win.set_text(PORT_COMBO, "COM9")
        self.close_and_wait(app, win)
        self.assertEqual(run.read_bytes("Setting.ini"), SAVED)
        self.assertEqual(settings_files(run), ["Setting.ini"])

    def test_ending_other_than_through_the_window_keeps_the_file(self):
        for road in ["killed", "console closed"]:
            with self.subTest(road):
                run = self.new_run(road.split()[0])
                app, win = self.start_app(run, settings=SAVED)
                win.set_text(FILE_FIELD, "C:\\must\\not\\be\\saved.hex")
                win.set_text(PORT_COMBO, "COM9")
                if road == "killed":
                    app.kill()
                else:
                    ended = win.call_export("TarvexConsoleControlHandler", CTRL_CLOSE_EVENT, wait_ms=5000,
                                            exit_wait_ms=5000)
                    self.assertTrue(ended["process_ended"], ended)
                    self.assertIsNotNone(app.wait(10))
                self.assertEqual(run.read_bytes("Setting.ini"), SAVED)
                self.assertEqual(settings_files(run), ["Setting.ini"])
                run.end_all()


if __name__ == "__main__":
    harness.main()
