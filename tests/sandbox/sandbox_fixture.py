"""Run the local SMTP sandbox (tools/sandbox-smtp) for the duration of a test.

    from sandbox_fixture import running_sandbox

    with running_sandbox() as sandbox:
        # the server listens on sandbox.host:sandbox.port, account demo/demo
        ...send mail...
        [eml] = sandbox.messages()
        assert eml.read_bytes() == expected

Guarantees callers may rely on:
- The sandbox listens on 127.0.0.1 on a port it picked itself, and accepts
  connections when running_sandbox() yields.
- A message is stored (complete, under its final name) and its summary line is
  printed before the client receives the "250 OK" for it, so no polling is
  needed after a successful send.
- On leaving the block the process is stopped (SIGTERM, SIGKILL after 10 s)
  and reaped, and the temporary folder with the mails and logs is removed.
  Copy anything you want to keep before that.

The script is located through the environment variable VELLIPOST_SANDBOX
(ctest sets it), else relative to this file.  Tests in other folders import
this module after putting its folder on sys.path, e.g.
sys.path.insert(0, "<source dir>/tests/sandbox").
"""

import contextlib
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

PYTHON = "/usr/bin/python3"
HOST = "127.0.0.1"


def sandbox_script():
    """Path of tools/sandbox-smtp."""
    configured = os.environ.get("VELLIPOST_SANDBOX")
    if configured:
        return Path(configured)
    return Path(__file__).resolve().parents[2] / "tools" / "sandbox-smtp"


class Sandbox:
    """A running sandbox process; made by running_sandbox()."""

    def __init__(self, process, folder):
        self.process = process
        self.host = HOST
        self.port = None
        self.maildir = folder / "mail"
        self._folder = folder
        self._ready_file = folder / "ready"
        self._stdout = folder / "stdout.log"
        self._stderr = folder / "stderr.log"

    def messages(self):
        """Stored .eml files, oldest first (their names sort by time and counter)."""
        return sorted(self.maildir.glob("*.eml"))

    def stdout_lines(self):
        """What the sandbox printed so far: start lines, one line per stored mail."""
        return self._stdout.read_text(encoding="utf-8", errors="replace").splitlines()

    def stderr_text(self):
        return self._stderr.read_text(encoding="utf-8", errors="replace")

    def stop(self, timeout=10.0):
        """Send SIGTERM, wait for the exit (SIGKILL after timeout) and return the exit code."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    def _wait_until_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            # The sandbox writes the file through a rename: it exists only complete.
            if self._ready_file.exists():
                self.port = int(self._ready_file.read_text(encoding="ascii"))
                return
            if self.process.poll() is not None:
                raise RuntimeError(
                    f"sandbox exited with code {self.process.returncode} before it was ready:\n"
                    f"{self.stderr_text()}"
                )
            if time.monotonic() > deadline:
                raise TimeoutError(
                    f"sandbox not ready after {timeout} s:\n{self.stderr_text()}"
                )
            time.sleep(0.02)


@contextlib.contextmanager
def running_sandbox(extra_args=(), ready_timeout=10.0):
    """Start the sandbox on a free port with a fresh mail folder; yield a Sandbox.

    extra_args are appended to the command line, e.g. ["--tls-cert", CERT,
    "--tls-key", KEY] for implicit TLS.  Raises RuntimeError if the sandbox
    exits during start-up and TimeoutError if it is not ready in time (both
    with its stderr in the message).
    """
    folder = Path(tempfile.mkdtemp(prefix="vellipost-sandbox-test-"))
    try:
        command = [
            PYTHON,
            str(sandbox_script()),
            "--host",
            HOST,
            "--port",
            "0",
            "--maildir",
            str(folder / "mail"),
            "--ready-file",
            str(folder / "ready"),
            *extra_args,
        ]
        # Output goes to files, not pipes: nobody has to drain them, and a
        # chatty sandbox can never block on a full pipe.
        with open(folder / "stdout.log", "wb") as out, open(folder / "stderr.log", "wb") as err:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        sandbox = Sandbox(process, folder)
        try:
            sandbox._wait_until_ready(ready_timeout)
            yield sandbox
        finally:
            sandbox.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
