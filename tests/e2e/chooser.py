"""The file dialog behind "...": its owner, its preset, what it gives back, and the folders it leaves alone."""
import os
import time

import harness
from harness import BROWSE_BUTTON, FILE_FIELD

HEX = b":0400000001020304F2\r\n:00000001FF\r\n"


class ChooserTest(harness.TarvexCase):
    def open_dialog(self, win):
        win.click(BROWSE_BUTTON)
        return win.dialog(10)

    def choose(self, win, dialog, name):
        dialog.set_file_name(name)
        dialog.press_ok()
        self.assertTrue(dialog.wait_gone(5), "the dialog did not close")

    def test_owned_by_the_main_window_which_takes_no_input_meanwhile(self):
        app, win = self.start_app()
        self.assertTrue(win.info()["enabled"])
        dialog = self.open_dialog(win)
        self.assertEqual(self.driver.window(dialog.hwnd)["owner"], win.hwnd)
        self.assertFalse(win.info()["enabled"], "MainWindow takes input while the dialog is open")
        dialog.press_cancel()
        self.assertTrue(dialog.wait_gone(5))
        self.wait_until(lambda: win.info()["enabled"], 5, message="MainWindow stayed disabled")
        win.close()
        self.assertEqual(app.wait(10), 0)

    def test_preset_only_with_a_usable_file(self):
        run = self.new_run()
        os.makedirs(run.file("fw"))
        os.makedirs(run.file("fw/folder.hex"))
        run.write_bytes("fw/blink.hex", HEX)
        run.write_bytes("fw/empty.hex", b"")
        app, win = self.start_app(run)
        # (text in FileField, name proposed in the dialog, what Open with the name "blink.hex" gives back)
        cases = [
            (run.win("fw\\blink.hex"), "blink.hex", run.win("fw\\blink.hex")),
            (run.win("fw\\*.hex"), "", run.win("fw\\blink.hex")),   # a pattern: its folder, but no name
            (run.win("fw\\missing.hex"), "", None),
            (run.win("fw\\empty.hex"), "", None),
            (run.win("fw\\folder.hex"), "", None),
            ("", "", None),
        ]
        for field, proposed, opened in cases:
            with self.subTest(field):
                win.set_text(FILE_FIELD, field)
                dialog = self.open_dialog(win)
                self.assertEqual(dialog.file_name(), proposed)
                if opened:
                    self.choose(win, dialog, "blink.hex")
                    self.assertEqual(win.wait_until_text(FILE_FIELD, opened), opened)
                else:
                    dialog.press_cancel()
                    self.assertTrue(dialog.wait_gone(5))
                    self.assertEqual(win.text(FILE_FIELD), field)
        win.close()
        self.assertEqual(app.wait(10), 0)

    def test_choice_from_another_folder_leaves_the_program_in_its_own(self):
        run = self.new_run()
        os.makedirs(run.file("other"))
        run.write_bytes("other/picked.hex", HEX)
        app, win = self.start_app(run)
        dialog = self.open_dialog(win)
        # Browsing into the folder first is what would move the current directory, if anything did.
        dialog.set_file_name(run.win("other"))
        dialog.press_ok()
        time.sleep(0.5)
        self.assertFalse(dialog.wait_gone(0.2), "Open on a folder should browse into it")
        self.choose(win, dialog, "picked.hex")
        picked = run.win("other\\picked.hex")
        self.assertEqual(win.wait_until_text(FILE_FIELD, picked), picked)
        win.close()
        self.assertEqual(app.wait(10), 0)
        saved = run.read_bytes("Setting.ini")
        self.assertIsNotNone(saved, "Setting.ini was not written in the program's folder")
        self.assertIn(("Path = " + picked).encode("utf-8"), saved)
        self.assertEqual(sorted(os.listdir(run.file("other"))), ["picked.hex"])


if __name__ == "__main__":
    harness.main()
