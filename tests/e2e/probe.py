"""The port probe on real ptys under Wine, through probe_tool.exe (the real ProbePort, one name per argument).

What a pty can show: the line settings the probe leaves (read back from termios on the slave), which names reach
which device (COM1..COM9, COM10 and up, typed numbers, names cut at 59 units), and that the port is closed again
when the call returns. Two limits of the bench: a Linux pty always reads back 8 data bits and no parity (the pty
driver forces them), so those two settings show no change; and Wine checks no share modes on devices, so the
exclusive open is shown on a file that another process holds open.
"""
import os
import select
import subprocess
import sys
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "fixtures"))

import harness  # noqa: E402
import ports  # noqa: E402

ERROR_SHARING_VIOLATION = 32


def probe_tool():
    path = os.path.join(harness.build_dir(), "tests", "fixtures", "probe_tool.exe")
    if not os.path.exists(path):
        raise unittest.SkipTest("probe_tool.exe is not built")
    return path


def probe(*names):
    """ProbePort for each name in one Wine process: True, or the error code of a false result."""
    result = subprocess.run([harness.wine(), probe_tool()] + list(names), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=60)
    lines = result.stdout.decode().split()
    answers = []
    i = 0
    while i < len(lines):
        if lines[i] == "true":
            answers.append(True)
            i += 1
        else:
            answers.append(int(lines[i + 1]))
            i += 2
    return answers


def claim_free(dev_name):
    """Reserves a dosdevices name (a link to nothing) unless another test has it; True when it is ours."""
    try:
        os.symlink("/nonexistent-unclaimed-port", os.path.join(ports.dosdevices(), dev_name))
        return True
    except FileExistsError:
        return False


def claimed_port(numbers):
    """A SerialPort on the first number in numbers whose name is free."""
    for n in numbers:
        if claim_free("com%d" % n):
            return ports.SerialPort(number=n)
    raise unittest.SkipTest("no free COM number among %s" % list(numbers))


class ProbeTest(unittest.TestCase):
    def setUp(self):
        self.cleanups = []

    def tearDown(self):
        for fn in reversed(self.cleanups):
            fn()

    def port(self, numbers=None):
        serial = claimed_port(numbers) if numbers else ports.SerialPort(number=None)
        self.cleanups.append(serial.close)
        return serial

    def device_link(self, name, target):
        path = os.path.join(ports.dosdevices(), name.lower())
        os.symlink(target, path)
        self.cleanups.append(lambda: os.path.lexists(path) and os.unlink(path))

    def test_the_probe_leaves_the_bootloader_line_settings(self):
        serial = self.port().link()
        # Start from settings unlike the probe's, and with software flow control on, which it must not touch.
        fd = os.open(serial.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        with serial.sim.quiet():
            attrs = termios.tcgetattr(fd)
            attrs[0] |= termios.IXON | termios.IXOFF
            attrs[2] |= termios.CSTOPB | termios.CRTSCTS
            attrs[4] = attrs[5] = termios.B9600
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            os.close(fd)
        before = serial.line_settings()
        self.assertEqual((before.baud, before.stop_bits, before.cts_flow, before.xon_xoff), (9600, 2, True, True))

        self.assertEqual(probe(serial.name), [True])

        after = serial.line_settings()
        self.assertEqual(after.baud, 57600)
        self.assertEqual(after.data_bits, 8)
        self.assertEqual(after.parity, "N")
        self.assertEqual(after.stop_bits, 1)
        self.assertFalse(after.cts_flow, "CTS output flow control must be off")
        self.assertTrue(after.xon_xoff, "fields the probe does not set keep what the driver reported")

    def test_every_port_number_gets_the_device_prefix(self):
        low = self.port(range(9, 1, -1)).link()
        two_digit = self.port().link()
        typed = self.port(range(150, 200)).link()
        absent = next(n for n in range(249, 200, -1) if not os.path.lexists(os.path.join(ports.dosdevices(),
                                                                                           "com%d" % n)))
        names = [low.name, two_digit.name, typed.name, "COM%d" % absent, "NUL"]
        answers = probe(*names)
        self.assertEqual(answers[:3], [True, True, True], names)
        self.assertNotEqual(answers[3], True, "a name that names no device")
        self.assertNotEqual(answers[4], True, "a device that opens but is no serial port")

    def test_a_long_name_is_cut_at_59_units(self):
        serial = self.port()
        name59 = "TVX%05d" % (os.getpid() % 100000) + "L" * 51
        self.assertEqual(len(name59), 59)
        self.device_link(name59, serial.slave_path)
        cases = [
            ("59 units, whole", name59, True),
            ("60 units: the 60th is dropped", name59 + "X", True),
            ("a much longer name", name59 + "Y" * 140, True),
            ("58 units name another device", name59[:58], False),
        ]
        answers = probe(*[name for _, name, _ in cases])
        for (what, _, opens), answer in zip(cases, answers):
            with self.subTest(what):
                self.assertEqual(answer is True, opens)

    def test_the_port_is_closed_when_the_probe_returns(self):
        serial = self.port().link()
        tool = subprocess.Popen([harness.wine(), probe_tool(), "stay", serial.name, serial.name],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: tool.poll() is None and tool.kill())
        try:
            lines = [tool.stdout.readline().strip() for _ in range(3)]
            self.assertEqual(lines, [b"true", b"true", b"done"])
            # The tool still runs: the master sees a hangup only once no handle of the slave is left open.
            poller = select.poll()
            poller.register(serial.sim.master_fd, select.POLLHUP)
            deadline = time.monotonic() + 1.0
            hung_up = False
            while not hung_up and time.monotonic() < deadline:
                hung_up = any(mask & select.POLLHUP for _, mask in poller.poll(50))
            self.assertTrue(hung_up, "the probed port is still open")
            self.assertIsNone(tool.poll())
        finally:
            tool.stdin.close()
            tool.wait(30)
            tool.stdout.close()

    def test_a_port_held_by_another_process_fails_every_attempt(self):
        held = "/tmp/tarvex-held-%d" % os.getpid()
        with open(held, "wb") as f:
            f.write(b"x")
        self.cleanups.append(lambda: os.unlink(held))
        name = harness.windows_path(held)
        holder = subprocess.Popen([harness.wine(), probe_tool(), "hold", name], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: holder.poll() is None and holder.kill())
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        self.assertEqual(probe(name, name, name), [ERROR_SHARING_VIOLATION] * 3)
        holder.stdin.close()
        holder.wait(30)
        holder.stdout.close()
        released = probe(name)
        self.assertNotIn(released[0], (True, ERROR_SHARING_VIOLATION), "free again, and still no serial port")


if __name__ == "__main__":
    harness.main()
