"""The real Tarvex.exe's main window, driven from another process: look, keyboard, disabled button, closing."""

import os
import time

import harness
from harness import (BROWSE_BUTTON, FILE_FIELD, FLASH_BUTTON, LOG_VIEW, PORT_COMBO, PORT_LABEL, WS_CAPTION,
                     WS_CHILD, WS_EX_CLIENTEDGE, WS_GROUP, WS_HSCROLL, WS_SYSMENU, WS_TABSTOP,
                     WS_VISIBLE, WS_VSCROLL)

import hexfile

WS_CLIPSIBLINGS = 0x04000000
ES_MULTILINE, ES_AUTOVSCROLL, ES_AUTOHSCROLL, ES_NOHIDESEL = 0x4, 0x40, 0x80, 0x100
ES_READONLY, ES_WANTRETURN = 0x800, 0x1000
SS_LEFT, SS_NOPREFIX = 0x0, 0x80
CBS_DROPDOWN, CBS_AUTOHSCROLL = 0x2, 0x40
BUTTON = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP

WAITING = "Ожидание открытия порта"
NO_HEX = "Не найден HEX файл"
DONE = "Прошивка завершена"

# id: class, style as read back, extended style, x, y, width, height, text. The combo box hands WS_BORDER and
# WS_VSCROLL on to its list, and the rich edit shows its scroll bars (and their style bits) only when needed.
CONTROLS = {
    FILE_FIELD: ("Edit", BUTTON | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 8, 8, 336, 20, ""),
    BROWSE_BUTTON: ("Button", BUTTON, 0, 352, 8, 28, 20, "..."),
    PORT_LABEL: ("Static", WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX, 0, 8, 40, 104, 16,
                 "Порт Bootloader'a:"),
    PORT_COMBO: ("ComboBox", WS_CHILD | WS_VISIBLE | WS_GROUP | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0,
                 112, 36, 80, 20, "COM1"),  # the default port, as there is no Setting.ini yet
    FLASH_BUTTON: ("Button", BUTTON, 0, 244, 36, 100, 20, "Прошить"),
    LOG_VIEW: ("RichEdit20W", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL
               | ES_NOHIDESEL | ES_WANTRETURN | ES_READONLY, 0, 4, 60, 376, 80, ""),
}

TAB_FORWARD = [FILE_FIELD, BROWSE_BUTTON, PORT_COMBO, FLASH_BUTTON, LOG_VIEW]


def press_and_read_focus(win, keys, times):
    """Presses a chord several times; the focused control's id after each press."""
    seen = []
    for _ in range(times):
        before = win.focus()
        for attempt in range(3):
            win.press(keys)
            # The key goes through the program's queue: wait for the focus to move (or give up after a while).
            harness.wait_until(lambda: win.focus() not in (before, None), 2.0, 0.02)
            now = win.focus()
            if now is not None:
                break
            # Another program's window came to the front and took the key or the activation: come back (the
            # window gives the focus back to its control) and press again if the key had not arrived.
            print("focus lost after %s; in front: %s" % (keys, win.foreground_image()))
            win.call("foreground")
            harness.wait_until(lambda: win.focus() is not None, 2.0, 0.02)
            now = win.focus()
            if now != before:
                break
        seen.append(now)
    return seen


def focus_on(win, id):
    for _ in range(8):
        if win.focus() == id:
            return
        press_and_read_focus(win, "tab", 1)
    raise AssertionError("Tab never reached control %d" % id)


def write_hex(run, name="blink.hex"):
    return run.write_text(name, hexfile.to_ihex(hexfile.test_pattern(600)))


class LookTest(harness.TarvexCase):
    """What the user sees right after the start."""

    def test_frame_is_fixed_size_and_centred(self):
        app, win = self.start_app()
        info = win.info()
        self.assertEqual(info["title"], harness.TITLE)
        self.assertEqual((info["client"]["width"], info["client"]["height"]), (384, 144))
        outer = self.driver.adjust(384, 144, WS_CAPTION | WS_SYSMENU)
        self.assertEqual((info["rect"]["width"], info["rect"]["height"]), (outer["width"], outer["height"]))
        # A caption, the window menu and its close button; no minimize, maximize or sizing border.
        self.assertEqual(info["style"] & ~(WS_VISIBLE | WS_CLIPSIBLINGS), WS_CAPTION | WS_SYSMENU)
        self.assertEqual(info["exstyle"], harness.WS_EX_WINDOWEDGE)
        self.assertTrue(info["visible"])
        self.assertEqual((info["owner"], info["menu"]), (0, 0))
        width, height = self.driver.screen()
        self.assertEqual(info["rect"]["left"], (width - min(outer["width"], width)) // 2)
        self.assertEqual(info["rect"]["top"], (height - min(outer["height"], height)) // 2)

    def test_controls_have_their_class_style_place_and_text(self):
        app, win = self.start_app()
        controls = win.controls()
        self.assertEqual(sorted(controls), sorted(CONTROLS))
        for id, (cls, style, exstyle, x, y, width, height, text) in CONTROLS.items():
            with self.subTest(id=id):
                c = controls[id]
                self.assertEqual(c["class"], cls)
                self.assertEqual(c["style"] & ~(WS_VSCROLL | WS_HSCROLL) if id == LOG_VIEW else c["style"], style)
                self.assertEqual(c["exstyle"], exstyle)
                self.assertEqual(
                    (c["rect"]["left"], c["rect"]["top"], c["rect"]["width"], c["rect"]["height"]),
                    (x, y, width, height))
                self.assertEqual(c["text"], text)
                self.assertTrue(c["enabled"])

    def test_port_list_holds_com1_to_com20_with_nothing_selected(self):
        app, win = self.start_app()
        combo = win.combo()
        self.assertEqual(combo["items"], ["COM%d" % n for n in range(1, 21)])
        self.assertEqual(combo["cursel"], -1)
        self.assertEqual(combo["rect"]["height"], 20)
        self.assertTrue(combo["edit"]["style"] & WS_TABSTOP, "the combo's field is a Tab stop")

    def test_log_wraps_long_lines_and_scrolls_many(self):
        app, win = self.start_app()
        # text, the scroll bars looked at, which of them show
        cases = [
            ("a line wider than the view wraps: no horizontal bar", "x" * 400, WS_HSCROLL, 0),
            ("three short lines fit: no bar", "one\r\ntwo\r\nthree", WS_VSCROLL | WS_HSCROLL, 0),
            ("thirty lines: the vertical bar shows", "\r\n".join("line %d" % n for n in range(30)),
             WS_VSCROLL | WS_HSCROLL, WS_VSCROLL),
        ]
        for name, text, bars, shown in cases:
            with self.subTest(name):
                win.set_text(LOG_VIEW, text)
                self.assertEqual(win.control(LOG_VIEW)["style"] & bars, shown)


class KeyboardTest(harness.TarvexCase):
    """Tab walks the controls; Escape and Enter mean nothing to the window."""

    def test_tab_walks_forward_and_back_wrapping(self):
        app, win = self.start_app()
        self.assertIsNone(win.focus(), "no control has the focus at start")
        self.assertEqual(press_and_read_focus(win, "tab", 6), TAB_FORWARD + [FILE_FIELD])
        self.assertEqual(press_and_read_focus(win, "shift+tab", 6),
                         [LOG_VIEW, FLASH_BUTTON, PORT_COMBO, BROWSE_BUTTON, FILE_FIELD, LOG_VIEW])

    def test_escape_and_enter_do_nothing_but_space_presses(self):
        app, win = self.start_app()
        # From no focus, Shift+Tab goes to the last control.
        self.assertEqual(press_and_read_focus(win, "shift+tab", 1), [LOG_VIEW])
        for id, keys in [(FILE_FIELD, "escape"), (FILE_FIELD, "enter"), (BROWSE_BUTTON, "enter"),
                         (FLASH_BUTTON, "escape"), (FLASH_BUTTON, "enter"), (LOG_VIEW, "escape")]:
            with self.subTest(focus=id, keys=keys):
                focus_on(win, id)
                win.press(keys)
                time.sleep(0.4)
                self.assertTrue(win.responsive(2000))
                self.assertTrue(win.info()["visible"])
                self.assertTrue(app.alive())
                self.assertEqual(win.log_lines(), [], "no job started")
                self.assertEqual(win.thread_windows("#32770"), [], "no dialog opened")
        # Space does press the focused button: with no HEX path the job says so at once.
        focus_on(win, FLASH_BUTTON)
        win.press("space")
        self.assertEqual(win.wait_log(lambda lines: lines, 5), [NO_HEX])


class ActivationTest(harness.TarvexCase):
    """Switching to another program and back gives the focus back to the control that had it."""

    def test_focus_returns_to_its_control(self):
        app, win = self.start_app()
        for id in [FILE_FIELD, BROWSE_BUTTON, PORT_COMBO, LOG_VIEW]:
            with self.subTest(focus=id):
                focus_on(win, id)
                win.deactivate()
                self.wait_until(lambda: win.focus() is None, 3, message="the window stays active")
                self.assertTrue(win.activate())
                harness.wait_until(lambda: win.focus() is not None, 3, 0.02)
                self.assertEqual(win.focus(), id)


class DisabledFlashButtonTest(harness.TarvexCase):
    """While a job runs the button is greyed out: Tab skips it and clicks on it start nothing."""

    def start_job(self, run, win, port):
        win.set_text(FILE_FIELD, run.win("blink.hex"))
        win.set_text(PORT_COMBO, port)
        win.click(FLASH_BUTTON)
        self.wait_until(lambda: not win.enabled(FLASH_BUTTON), 5, message="FlashButton stays enabled")

    def test_tab_skips_flash_button_while_waiting_for_the_port(self):
        run = self.new_run()
        write_hex(run)
        app, win = self.start_app(run)
        self.start_job(run, win, "COM199")
        self.assertEqual(win.wait_log(lambda lines: lines == [WAITING], 5), [WAITING])
        focus_on(win, PORT_COMBO)
        self.assertEqual(press_and_read_focus(win, "tab", 4), [LOG_VIEW, FILE_FIELD, BROWSE_BUTTON, PORT_COMBO])
        self.assertEqual(press_and_read_focus(win, "shift+tab", 2), [BROWSE_BUTTON, FILE_FIELD])
        self.assertEqual(press_and_read_focus(win, "shift+tab", 1), [LOG_VIEW])
        self.assertEqual(press_and_read_focus(win, "shift+tab", 1), [PORT_COMBO])
        # A close request taken while the job waits ends the program at once, through the usual road.
        win.close()
        self.assertEqual(app.wait(10), 0)

    def test_clicks_on_it_while_the_programmer_runs_start_nothing(self):
        import ports
        run = self.new_run()
        write_hex(run)
        run.add_fixture("fake_programmer.exe", "avrdude.exe")
        run.write_text("programmer-mode.txt", "sleep_ms=3000\n")
        port = ports.SerialPort(number=None, answer=False)
        # The pty goes only after every process of the run has ended.
        self.addCleanup(lambda: (run.end_all(), port.close()))
        port.link()
        app, win = self.start_app(run)
        self.start_job(run, win, port.name)
        self.wait_until(lambda: run.exists("programmer-runs.txt"), 10, message="the programmer never started")
        # The program handles no input while the programmer runs: the user's clicks on the greyed button wait in
        # its queue until the job is over and the button is enabled again.
        # Sent as they come, without asking the busy window to come to the front first (it already is).
        rect = win.control(FLASH_BUTTON)["rect"]
        for _ in range(2):
            win.call("mouse_click", id=FLASH_BUTTON, x=rect["width"] // 2, y=rect["height"] // 2, front=0)
            time.sleep(0.2)
        self.assertEqual(win.wait_log(lambda lines: len(lines) >= 2, 15), [WAITING, DONE])
        # A second job would start at once and run the programmer for 3 s more: wait that out.
        time.sleep(1.0)
        self.wait_until(lambda: win.responsive(200) and win.enabled(FLASH_BUTTON), 10,
                        message="the program is not idle again")
        runs = run.read_bytes("programmer-runs.txt").decode("utf-8").splitlines()
        self.assertEqual(len(runs), 1, "the clicks on the greyed button started the programmer again")
        self.assertEqual(win.log_lines(), [WAITING, DONE])
        win.close()
        self.assertEqual(app.wait(10), 0)


    def test_keys_while_the_programmer_runs(self):
        import ports
        for keys, ends in [("space", False), ("alt+f4", True)]:
            with self.subTest(keys):
                run = self.new_run(keys.replace("+", "-"))
                write_hex(run)
                run.add_fixture("fake_programmer.exe", "avrdude.exe")
                run.write_text("programmer-mode.txt", "sleep_ms=2500\n")
                port = ports.SerialPort(number=None, answer=False)
                self.addCleanup(lambda run=run, port=port: (run.end_all(), port.close()))
                port.link()
                app, win = self.start_app(run)
                win.set_text(FILE_FIELD, run.win("blink.hex"))
                win.set_text(PORT_COMBO, port.name)
                focus_on(win, FLASH_BUTTON)
                win.press("space")
                self.wait_until(lambda: run.exists("programmer-runs.txt"), 10, message="the programmer never started")
                # The window cannot react now; the keys wait in its queue until the job is over.
                for _ in range(2):
                    win.call("keys", keys=keys, front=0)
                if ends:
                    # A close asked for while the programmer ran is still honoured when the job is done.
                    self.assertEqual(app.wait(15), 0)
                    self.assertTrue(run.exists("Setting.ini"))
                else:
                    lines = win.wait_log(lambda lines: len(lines) >= 2, 15)
                    self.assertEqual(lines, [WAITING, DONE])
                    self.wait_until(lambda: win.enabled(FLASH_BUTTON), 5)
                    time.sleep(1.5)
                    self.assertEqual(win.log_lines(), [WAITING, DONE], "a second job started")
                    self.assertEqual(len(run.read_bytes("programmer-runs.txt").splitlines()), 1)
                    win.close()
                    self.assertEqual(app.wait(10), 0)


class IdleTest(harness.TarvexCase):
    """Waiting for the user costs nothing: the event loop blocks in the window system."""

    def test_no_processor_time_while_idle(self):
        app, win = self.start_app()
        # Wine polls the pointer while it rests on a themed control (hover tracking): park it off the window.
        self.driver.call("cursor", x=0, y=0)
        time.sleep(1)
        before = app.cpu_seconds()
        time.sleep(5)
        used = app.cpu_seconds() - before
        print("CPU over 5 s of idle waiting: %.0f ms" % (used * 1000))
        self.assertLess(used, 0.020)
        win.close()
        self.assertEqual(app.wait(10), 0)


class CloseTest(harness.TarvexCase):
    """Every close request of the window ends the program with exit code 0, after the settings are saved."""

    def test_close_requests_end_with_code_0_while_the_window_shows(self):
        for how in ["syscommand", "wm_close", "alt+f4"]:
            with self.subTest(how):
                run = self.new_run(how)
                app, win = self.start_app(run)
                if how == "alt+f4":
                    focus_on(win, FILE_FIELD)  # the keys work from inside a control too
                    win.press("alt+f4")
                    watch = None
                else:
                    watch = win.close_watch(run.win("Setting.ini"), how)
                self.assertEqual(app.wait(10), 0)
                self.assertTrue(run.exists("Setting.ini"), "the settings were saved")
                if watch:
                    self.assertGreaterEqual(watch["file_changed_ms"], 0)
                    self.assertTrue(watch["visible_at_file_change"], watch)
                run.end_all()

    def test_started_elsewhere_it_keeps_its_settings_beside_the_exe(self):
        run = self.new_run()
        elsewhere = run.file("elsewhere")
        os.makedirs(elsewhere)
        app, win = self.start_app(run, cwd=elsewhere)
        self.assertEqual(win.combo()["count"], 20)
        win.set_text(FILE_FIELD, "C:\\fw\\blink.hex")
        win.set_text(PORT_COMBO, "COM3")
        win.close()
        self.assertEqual(app.wait(10), 0)
        self.assertTrue(run.exists("Setting.ini"))
        self.assertEqual(os.listdir(elsewhere), [])


class BrowseTest(harness.TarvexCase):
    """The "..." button opens the file dialog; Open puts the choice into the path field, Cancel leaves it."""

    def test_open_takes_the_choice_and_cancel_keeps_the_field(self):
        run = self.new_run()
        chosen = write_hex(run, "chosen.hex")
        app, win = self.start_app(run)
        win.set_text(FILE_FIELD, "typed by hand")
        for button, expected in [("cancel", "typed by hand"), ("open", harness.windows_path(chosen))]:
            with self.subTest(button):
                win.click(BROWSE_BUTTON)
                dialog = win.dialog(10)
                if button == "open":
                    dialog.set_file_name(harness.windows_path(chosen))
                    dialog.press_ok()
                else:
                    dialog.press_cancel()
                self.assertTrue(dialog.wait_gone(5))
                self.assertEqual(win.wait_until_text(FILE_FIELD, expected), expected)


class ConsoleCloseTest(harness.TarvexCase):
    """Closing the console ends the program from the handler's thread without saving the settings."""

    SAVED = b"\xef\xbb\xbf\r\nPath = C:\\old.hex\r\nPort = COM5\r\n"

    def test_handler_ends_the_program_and_keeps_the_old_settings(self):
        for state in ["idle", "waiting for the port"]:
            with self.subTest(state):
                run = self.new_run(state.replace(" ", "-"))
                write_hex(run)
                app, win = self.start_app(run, settings=self.SAVED)
                win.set_text(FILE_FIELD, run.win("blink.hex"))
                win.set_text(PORT_COMBO, "COM199")
                if state != "idle":
                    win.click(FLASH_BUTTON)
                    self.assertEqual(win.wait_log(lambda lines: lines == [WAITING], 5), [WAITING])
                # Other console events are not this handler's: it declines them and the program goes on.
                declined = win.call_export("TarvexConsoleControlHandler", 0, wait_ms=3000)  # CTRL_C_EVENT
                self.assertEqual((declined["thread_finished"], declined["thread_exit_code"]), (True, 0))
                self.assertTrue(win.responsive(2000))
                ended = win.call_export("TarvexConsoleControlHandler", 2, wait_ms=5000, exit_wait_ms=5000)
                self.assertTrue(ended["process_ended"], ended)
                self.assertIsNotNone(app.wait(5))
                self.assertEqual(run.read_bytes("Setting.ini"), self.SAVED)
                run.end_all()


if __name__ == "__main__":
    harness.main()
