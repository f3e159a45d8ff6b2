"""The remembered account in a real Secret Service keyring, end to end.

Runs inside a private D-Bus session (dbus-run-session) on a private X server (scripts/lib.sh's
with_xvfb); CMake's app_keyring_under_xvfb starts it so. The test starts its own gnome-keyring
(an empty password line unlocks a new login keyring), the sandbox SMTP server, and the real form
with the real keyring code (keyring_driver), and plays the user with xdotool:
  1. first start: the box checked, a mail sent -> the keyring holds the password
  2. second start: both fields filled in, the box checked; the box unchecked -> the keyring empty
After each step it reads the keyring with secret-tool and prints what it held.

Usage: dbus-run-session -- bash scripts/lib.sh with_xvfb python3 keyring_test.py PATH-TO-DRIVER
"""

import os
import select
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sandbox"))
from sandbox_fixture import running_sandbox  # noqa: E402

DRIVER = None
WAIT = 30  # seconds; an upper bound on each event, never a measurement


def keyring():
    """What the keyring holds for the program: (account, password) pairs."""
    found = subprocess.run(["secret-tool", "search", "--all", "--unlock", "server", "Vellipost"],
                           capture_output=True, text=True, timeout=WAIT)
    entries, entry = [], None
    for line in (found.stdout + found.stderr).splitlines():
        if line.startswith("["):
            entry = {}
            entries.append(entry)
        elif entry is not None and " = " in line:
            key, value = line.split(" = ", 1)
            entry[key] = value
    return sorted((e.get("attribute.user"), e.get("secret")) for e in entries)


class Driver:
    """The form in a process of its own; its lines, each within WAIT."""

    def __init__(self, port, env):
        self.process = subprocess.Popen([DRIVER, str(port)], stdout=subprocess.PIPE, env=env)
        self.buffer = b""
        self.window = self.wait(lambda line: line.startswith("form ")).split()[1]
        self.state = None

    def line(self):
        deadline = time.monotonic() + WAIT
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise AssertionError("the form said nothing within %d s" % WAIT)
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                raise AssertionError("the form ended")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()

    def wait(self, condition):
        while True:
            line = self.line()
            if line.startswith("state "):
                self.state = line
            if condition(line):
                return line

    def keys(self, *keys, window=None):
        subprocess.run(["xdotool", "windowfocus", "--sync", window or self.window], check=True,
                       timeout=WAIT)
        for key in keys:
            if key.startswith("type:"):
                subprocess.run(["xdotool", "type", "--delay", "20", key[5:]], check=True,
                               timeout=WAIT)
            else:
                subprocess.run(["xdotool", "key", key], check=True, timeout=WAIT)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=WAIT)
        self.process.stdout.close()


class KeyringTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.addCleanup(self.home.cleanup)
        self.env = dict(os.environ)
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"):
            path = Path(self.home.name) / name.lower()
            path.mkdir(mode=0o700)
            self.env[name] = str(path)
        self.env["HOME"] = self.home.name
        os.environ.update({k: self.env[k] for k in ("HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR")})
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.env.pop("WAYLAND_DISPLAY", None)
        # An empty password line: a new login keyring, unlocked.
        self.daemon = subprocess.Popen(
            ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=self.env)
        self.daemon.stdin.write(b"\n")
        self.daemon.stdin.close()
        self.addCleanup(self.stop_daemon)
        deadline = time.monotonic() + WAIT
        while not self.keyring_on_bus():
            self.assertIsNone(self.daemon.poll(), "the keyring ended")
            self.assertLess(time.monotonic(), deadline, "no keyring on the bus")
            time.sleep(0.1)
        self.settings = Path(self.env["XDG_CONFIG_HOME"]) / "vellipost" / "vellipost.ini"

    @staticmethod
    def keyring_on_bus():
        owner = subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
             "string:org.freedesktop.secrets"], capture_output=True, text=True, timeout=WAIT)
        return "boolean true" in owner.stdout

    def stop_daemon(self):
        self.daemon.terminate()
        self.daemon.wait(timeout=WAIT)

    def record(self, step):
        held = keyring()
        settings = self.settings.read_text() if self.settings.exists() else ""
        account = [line for line in settings.splitlines() if line.startswith("name=")]
        print("keyring after %s: %s; settings: %s" % (step, held or "empty", account or "none"),
              flush=True)
        return held, account

    def test_remembered_then_forgotten(self):
        self.assertEqual(self.record("start"), ([], []))
        with running_sandbox() as sandbox:
            form = Driver(sandbox.port, self.env)
            try:
                form.wait(lambda line: line.startswith("state "))
                # From the send button: exit, user, password, recipient, subject, body, path,
                # attachment button, the remember box.
                form.keys("Tab", "Tab", "type:demo", "Tab", "type:demo", "Tab",
                          "type:friend@example.com", "Tab", "type:keyring", "Tab", "type:hello",
                          "Tab", "Tab", "Tab", "space")
                form.wait(lambda line: line.startswith("state demo demo checked"))
                form.keys("Return")
                box = form.wait(lambda line: line.startswith("box "))
                _, box_window, text = box.split(" ", 2)
                self.assertEqual(text, "发送成功!欢迎使用")
                form.keys("Return", window=box_window)
                form.wait(lambda line: line == "no box")
                self.assertTrue(form.state.endswith("邮件已发送"), form.state)
                form.keys("Escape")
                self.assertEqual(form.process.wait(timeout=WAIT), 0)
            finally:
                form.close()
            self.assertEqual(len(sandbox.messages()), 1)
        self.assertEqual(self.record("a sent mail with the box checked"),
                         ([("demo", "demo")], ["name=demo"]))

        form = Driver(0, self.env)
        try:
            form.wait(lambda line: line.startswith("state demo demo checked"))
            held = self.record("the second start (fields filled, box checked)")
            self.assertEqual(held, ([("demo", "demo")], ["name=demo"]))
            form.keys(*["Tab"] * 9, "space")
            form.wait(lambda line: line.startswith("state demo demo unchecked"))
            deadline = time.monotonic() + WAIT
            while keyring() and time.monotonic() < deadline:
                time.sleep(0.1)
            form.keys("Escape")
            self.assertEqual(form.process.wait(timeout=WAIT), 0)
        finally:
            form.close()
        self.assertEqual(self.record("the box unchecked"), ([], []))


if __name__ == "__main__":
    DRIVER = sys.argv.pop(1)
    unittest.main(verbosity=2)
