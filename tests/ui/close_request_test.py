"""The window manager's close request during the send command, on a real X server.

The X server of $DISPLAY (a private Xvfb: scripts/lib.sh's with_xvfb runs this test), a loopback
server that accepts the connection and never says a word, and the real form (close_request_driver)
sending to it: the send command waits for the greeting.
The test plays the window manager and the user: it sends the form a WM_DELETE_WINDOW client
message, as a close box does, and answers the question with the keyboard. Return (the default, No)
keeps the form and the connection; a second close request and "y" (Yes) shut the connection down
and end the program, with no other message.

Usage: bash scripts/lib.sh with_xvfb python3 close_request_test.py PATH-TO-DRIVER
"""

import os
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from Xlib import X, XK, display, protocol
from Xlib.ext import xtest

DRIVER = None
WAIT = 30  # seconds; an upper bound on each event, never a measurement
QUESTION = "邮件正在发送中，确定要退出吗?"


class Lines:
    """The driver's stdout, a line at a time, each within WAIT."""

    def __init__(self, pipe):
        self.pipe = pipe
        self.buffer = b""

    def next(self):
        deadline = time.monotonic() + WAIT
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.pipe], [], [], left)[0]:
                raise TimeoutError(f"the driver said nothing more after {self.buffer!r}")
            chunk = os.read(self.pipe.fileno(), 4096)
            if not chunk:
                raise EOFError(f"the driver ended after {self.buffer!r}")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()


class CloseRequestTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.environ.get("DISPLAY"), "no X server: run under scripts/lib.sh with_xvfb")
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)
        self.server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(self.server.close)
        self.server.settimeout(WAIT)
        self.display = display.Display()
        self.addCleanup(self.display.close)

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)

        def stop():
            if process.stdout:
                process.stdout.close()
            if process.poll() is None:
                process.terminate()
            try:
                process.wait(WAIT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

        self.addCleanup(stop)
        return process

    @staticmethod
    def show_log(path):
        with open(path, encoding="utf-8", errors="replace") as log:
            sys.stderr.write(log.read())

    def window(self, wid):
        return self.display.create_resource_object("window", wid)

    def request_close(self, wid):
        """What a window manager does for the close box, for a window that asks for it."""
        protocols = self.display.intern_atom("WM_PROTOCOLS")
        delete = self.display.intern_atom("WM_DELETE_WINDOW")
        window = self.window(wid)
        self.assertIn(delete, window.get_wm_protocols() or [])
        event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
        self.display.sync()

    def press(self, wid, key):
        """The key, typed into window wid once it shows."""
        window = self.window(wid)
        deadline = time.monotonic() + WAIT
        while window.get_attributes().map_state != X.IsViewable:
            self.assertLess(time.monotonic(), deadline, "the box never showed")
            time.sleep(0.01)
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        code = self.display.keysym_to_keycode(XK.string_to_keysym(key))
        xtest.fake_input(self.display, X.KeyPress, code)
        xtest.fake_input(self.display, X.KeyRelease, code)
        self.display.sync()

    def expect_question(self, lines):
        kind, wid, text = lines.next().split(" ", 2)
        self.assertEqual((kind, text), ("box", QUESTION))
        return int(wid)

    def test_close_request_during_the_send_command_asks_and_yes_ends_it(self):
        # The form keeps its draft and settings in the test's own folder.
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", XDG_STATE_HOME=self.work.name + "/state",
                   XDG_CONFIG_HOME=self.work.name + "/config")
        env.pop("WAYLAND_DISPLAY", None)
        log_path = os.path.join(self.work.name, "driver.log")
        with open(log_path, "wb") as log:
            driver = self.start([DRIVER, str(self.server.getsockname()[1])], env=env,
                                stdout=subprocess.PIPE, stderr=log)
        self.addCleanup(self.show_log, log_path)
        lines = Lines(driver.stdout)
        kind, form = lines.next().split(" ")
        self.assertEqual(kind, "form")
        connection, _ = self.server.accept()
        self.addCleanup(connection.close)

        # The send command waits for the greeting: the close request is seen all the same.
        self.request_close(int(form))
        self.press(self.expect_question(lines), "Return")
        self.assertEqual(lines.next(), "no box")
        connection.setblocking(False)
        with self.assertRaises(BlockingIOError, msg="No closed the connection"):
            connection.recv(1)
        self.assertIsNone(driver.poll(), "No ended the program")

        self.request_close(int(form))
        self.press(self.expect_question(lines), "y")
        connection.settimeout(WAIT)
        self.assertEqual(connection.recv(4096), b"", "the connection was not shut down")
        said = []
        while not said or said[-1] != "closed":
            said.append(lines.next())
        self.assertLessEqual(set(said), {"no box", "closed"}, "another message after yes")
        self.assertEqual(driver.wait(WAIT), 0)
        self.assertEqual(lines.buffer + driver.stdout.read(), b"", "more after the form closed")


if __name__ == "__main__":
    DRIVER = sys.argv.pop(1)
    unittest.main()
