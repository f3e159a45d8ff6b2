#!/usr/bin/python3
"""Tests for vellipost-sink: the SMTP dialogue, the DATA terminator and dot-unstuffing however the
bytes are split over reads, storing, --once, signals, real clients (curl, smtplib), and STARTTLS
with a certificate from a throwaway CA (tests/e2e/pki.py).

    /usr/bin/python3 test_sink.py PATH/TO/vellipost-sink [unittest options]
"""

import base64
import email
import email.policy
import os
import random
import re
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "e2e"))
from pki import SAN_LOCAL, Pki  # noqa: E402

SINK = None
TIMEOUT = 30  # seconds; only a guard against hanging, never a performance check


class Sink:
    """One sink process on an ephemeral port with its own temporary folder; both go away on exit."""

    def __init__(self, *extra, store=True):
        self.dir = tempfile.mkdtemp(prefix="vellipost-sink-test-")
        self.store = os.path.join(self.dir, "store") if store else None
        self.ready = os.path.join(self.dir, "ready")
        cmd = [SINK, "--port", "0", "--ready-file", self.ready]
        if store:
            cmd += ["--store", self.store]
        cmd += list(extra)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        m = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", line)
        if not m:
            self.close()
            raise AssertionError(f"unexpected first line {line!r}")
        self.port = int(m.group(1))
        self.stderr = ""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()
        shutil.rmtree(self.dir, ignore_errors=True)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.wait()

    def wait(self):
        out, err = self.proc.communicate(timeout=TIMEOUT)
        self.stderr = err.decode()
        return self.proc.returncode

    def stored(self, n):
        with open(os.path.join(self.store, f"msg-{n}.eml"), "rb") as f:
            return f.read()

    def stored_names(self):
        return sorted(os.listdir(self.store))


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def close(self):
        self.sock.close()

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError(f"connection closed, pending {self.buf!r}")
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode()

    def reply(self):
        """All lines of one (possibly multi-line) reply."""
        lines = [self.line()]
        while len(lines[-1]) > 3 and lines[-1][3] == "-":
            lines.append(self.line())
        return lines

    def cmd(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.reply()

    def at_eof(self):
        return self.buf == b"" and self.sock.recv(1) == b""

    def send_split(self, data, cut):
        """Sends data in two writes with a pause, so the sink almost surely reads them apart."""
        self.sock.sendall(data[:cut])
        time.sleep(0.003)
        self.sock.sendall(data[cut:])


def stuff_crlf(content):
    """What a conforming client sends for content ending in CRLF: dots that start a line doubled
    (only CRLF ends a line), then the terminator."""
    out = re.sub(rb"(\r\n)\.", rb"\1..", content)
    if out.startswith(b"."):
        out = b"." + out
    return out + b".\r\n"


# The dialogue both as a table and as one pipelined write: (command, expected reply lines).
DIALOGUE = [
    ("EHLO client.example", ["250-sink", "250-AUTH LOGIN PLAIN", "250 8BITMIME"]),
    ("HELO client.example", ["250 sink"]),
    ("noop", ["250 OK"]),
    ("RsEt", ["250 OK"]),
    ("FROB x", ["500 unrecognized command"]),
    ("", ["500 unrecognized command"]),
    ("RCPT TO:<c@example.com>", ["503 MAIL first"]),
    ("MAIL FROM:<a@example.com>", ["250 OK"]),
    ("DATA", ["503 RCPT first"]),
    ("AUTH LOGIN", ["334 VXNlcm5hbWU6"]),
    ("dXNlcg==", ["334 UGFzc3dvcmQ6"]),
    ("cGFzcw==", ["235 authenticated"]),
    ("auth login dXNlcg==", ["334 UGFzc3dvcmQ6"]),
    ("cGFzcw==", ["235 authenticated"]),
    ("AUTH PLAIN AHVzZXIAcGFzcw==", ["235 authenticated"]),
    ("Auth Plain", ["334 "]),
    ("AHVzZXIAcGFzcw==", ["235 authenticated"]),
    ("AUTH LOGIN", ["334 VXNlcm5hbWU6"]),
    ("*", ["501 authentication cancelled"]),
    ("AUTH CRAM-MD5", ["504 unrecognized authentication type"]),
    ("AUTH", ["501 AUTH needs a mechanism"]),
    ("mail from:<a@example.com>", ["250 OK"]),
    ("rcpt to:<c@example.com>", ["250 OK"]),
    ("rcpt to:<d@example.com>", ["250 OK"]),
    ("RSET", ["250 OK"]),
    ("DATA", ["503 RCPT first"]),
    ("quit", ["221 bye"]),
]


class DialogueTest(unittest.TestCase):
    def test_one_command_at_a_time(self):
        with Sink(store=False) as sink:
            c = Client(sink.port)
            self.assertEqual(c.reply(), ["220 sink ESMTP"])
            for command, expected in DIALOGUE:
                with self.subTest(command=command):
                    self.assertEqual(c.cmd(command), expected)
            self.assertTrue(c.at_eof())
            c.close()
            with open(sink.ready) as f:
                self.assertEqual(f.read(), f"{sink.port}\n")

    def expect_all(self, c):
        self.assertEqual(c.reply(), ["220 sink ESMTP"])
        for command, expected in DIALOGUE:
            self.assertEqual(c.reply(), expected, command)
        self.assertTrue(c.at_eof())

    def test_pipelined_in_one_write(self):
        wire = b"".join(cmd.encode() + b"\r\n" for cmd, _ in DIALOGUE)
        with Sink(store=False) as sink:
            c = Client(sink.port)
            c.sock.sendall(wire)
            self.expect_all(c)
            c.close()

    def test_split_inside_lines(self):
        wire = b"".join(cmd.encode() + b"\r\n" for cmd, _ in DIALOGUE)
        with Sink(store=False) as sink:
            c = Client(sink.port)
            # Cut between CR and LF and in mid-word, many times over.
            for i in range(0, len(wire), 7):
                c.sock.sendall(wire[i : i + 7])
                time.sleep(0.001)
            self.expect_all(c)
            c.close()

    def test_bare_lf_lines_and_long_line(self):
        with Sink(store=False) as sink:
            c = Client(sink.port)
            c.reply()
            c.sock.sendall(b"NOOP\nHELO x\n")
            self.assertEqual(c.reply(), ["250 OK"])
            self.assertEqual(c.reply(), ["250 sink"])
            # Too long to be a command: one 500, then the sink is in step again.
            c.sock.sendall(b"A" * 300000 + b"\r\nNOOP\r\n")
            self.assertEqual(c.reply()[0][:4], "500 ")
            self.assertEqual(c.reply(), ["250 OK"])
            c.close()


def send_envelope(c):
    for command, code in (("MAIL FROM:<a@example.com>", "250"), ("RCPT TO:<b@example.com>", "250"),
                          ("DATA", "354")):
        reply = c.cmd(command)
        assert reply[-1].startswith(code), (command, reply)


# (content as stored, bytes on the wire including the terminator). Most are what a conforming
# client sends; the others check what a sloppy one gets.
DATA_CASES = [
    ("empty", b"", b".\r\n"),
    ("one line", b"a\r\n", b"a\r\n.\r\n"),
    ("line of one dot", b".\r\n", b"..\r\n.\r\n"),
    ("dot lines", b"x\r\n.x\r\n.\r\n..\r\nend\r\n", b"x\r\n..x\r\n..\r\n...\r\nend\r\n.\r\n"),
    ("dot then CR", b"a\r\n.\rb\r\n", b"a\r\n..\rb\r\n.\r\n"),
    ("dots not at line start", b"a.\r\n b.c\r\nend.\r\n", b"a.\r\n b.c\r\nend.\r\n.\r\n"),
    ("dot CR dot", b"a\r\n.\r.\r\n", b"a\r\n..\r.\r\n.\r\n"),
    ("bare LF does not start a line", b"a\n.\r\nb\n..\r\n", b"a\n.\r\nb\n..\r\n.\r\n"),
    # An unstuffed line-start dot is removed like a stuffed one.
    ("sloppy single dot", b"a\r\ny\r\n", b"a\r\n.y\r\n.\r\n"),
    ("sloppy dot CR", b"a\r\n\rb\r\n", b"a\r\n.\rb\r\n.\r\n"),
]


class DataTest(unittest.TestCase):
    def test_terminator_and_dots_split_anywhere(self):
        """Each case sent once per cut point; the stored files must all be the content."""
        with Sink() as sink:
            c = Client(sink.port)
            c.reply()
            c.cmd("EHLO x")
            expected = []
            for name, content, wire in DATA_CASES:
                for cut in range(len(wire) + 1):
                    send_envelope(c)
                    c.send_split(wire, cut)
                    self.assertEqual(c.reply(), ["250 OK"], (name, cut))
                    expected.append((name, cut, content))
            # Two messages and QUIT in one write: the terminator search must hand the rest back.
            send_envelope(c)
            c.sock.sendall(b"first\r\n.\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n")
            self.assertEqual(c.reply(), ["250 OK"])
            self.assertEqual(c.reply(), ["250 OK"])
            self.assertEqual(c.reply(), ["250 OK"])
            self.assertEqual(c.reply()[0][:4], "354 ")
            c.sock.sendall(b"..second\r\n.\r\n")
            self.assertEqual(c.reply(), ["250 OK"])
            # A client that does not wait for 354: the message arrives with the DATA line.
            c.sock.sendall(b"MAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n..third\r\n.\r\nQUIT\r\n")
            self.assertEqual([c.reply() for _ in range(5)],
                             [["250 OK"], ["250 OK"], ["354 go ahead, end with <CRLF>.<CRLF>"],
                              ["250 OK"], ["221 bye"]])
            expected += [("pipelined 1", 0, b"first\r\n"), ("pipelined 2", 0, b".second\r\n"),
                         ("pipelined 3", 0, b".third\r\n")]
            c.close()
            self.assertEqual(sink.stop(), 0)
            self.assertEqual(len(sink.stored_names()), len(expected))
            for n, (name, cut, content) in enumerate(expected, 1):
                self.assertEqual(sink.stored(n), content, (name, cut))

    def test_byte_at_a_time(self):
        content = b"x\r\n.x\r\n.\r\n..\r\nend\r\n"
        wire = stuff_crlf(content)
        with Sink() as sink:
            c = Client(sink.port)
            c.reply()
            send_envelope(c)
            for i in range(len(wire)):
                c.sock.sendall(wire[i : i + 1])
                time.sleep(0.002)
            self.assertEqual(c.reply(), ["250 OK"])
            c.close()
            self.assertEqual(sink.stop(), 0)
            self.assertEqual(sink.stored(1), content)

    @staticmethod
    def big_content(size, seed):
        """Base64-like lines where a third start with a dot, so stuffed dots and CRLF pairs land
        on many read boundaries."""
        rng = random.Random(seed)
        alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/."
        pool = bytes(rng.choice(alphabet) for _ in range(1 << 16))
        lines, total = [], 0
        while total < size:
            n = rng.choice((0, 1, 2, 3, 75, 76, 77, 4000))
            start = rng.randrange(0, len(pool) - n)
            line = (b"." if rng.random() < 0.33 else b"") + pool[start : start + n] + b"\r\n"
            lines.append(line)
            total += len(line)
        return b"".join(lines)

    def test_large_messages_stored_exactly(self):
        contents = [self.big_content(24 << 20, seed) for seed in (1, 2)]
        with Sink() as sink:
            c = Client(sink.port)
            c.reply()
            for content in contents:
                send_envelope(c)
                c.sock.sendall(stuff_crlf(content))
                self.assertEqual(c.reply(), ["250 OK"])
            c.cmd("QUIT")
            c.close()
            self.assertEqual(sink.stop(), 0)
            for n, content in enumerate(contents, 1):
                self.assertTrue(sink.stored(n) == content, f"message {n} differs")

    def test_discard_reports_data_bytes(self):
        content = self.big_content(40 << 20, 3)
        wire = stuff_crlf(content)
        with Sink(store=False) as sink:
            c = Client(sink.port)
            c.reply()
            for _ in range(2):
                send_envelope(c)
                c.sock.sendall(wire)
                self.assertEqual(c.reply(), ["250 OK"])
            c.cmd("QUIT")
            c.close()
            self.assertEqual(sink.stop(), 0)
            counts = re.findall(r"^message: (\d+) bytes in [0-9.]+ s, [0-9.]+ MB/s$",
                                sink.stderr, re.M)
            self.assertEqual(counts, [str(len(wire) - 3)] * 2, sink.stderr)


class LifetimeTest(unittest.TestCase):
    def test_once_waits_for_a_delivered_message(self):
        with Sink("--once") as sink:
            c = Client(sink.port)
            c.reply()
            c.cmd("EHLO x")
            c.cmd("QUIT")
            c.close()
            # No message yet: the sink must still take the next connection.
            c = Client(sink.port)
            self.assertEqual(c.reply(), ["220 sink ESMTP"])
            send_envelope(c)
            c.sock.sendall(b"hi\r\n.\r\n")
            self.assertEqual(c.reply(), ["250 OK"])
            self.assertIsNone(sink.proc.poll())  # the connection is still open
            c.cmd("QUIT")
            c.close()
            self.assertEqual(sink.wait(), 0)
            self.assertEqual(sink.stored(1), b"hi\r\n")

    def test_signals_exit_zero(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig.name), Sink() as sink:
                self.assertEqual(sink.stop(sig), 0)

    @staticmethod
    def mid_message(sink):
        """A client inside its data: the envelope and a thousand lines sent, and no end."""
        c = Client(sink.port)
        c.reply()
        send_envelope(c)
        c.sock.sendall(b"partial\r\n" * 1000)
        return c

    def test_signal_mid_message_drops_partial_file(self):
        with Sink() as sink:
            c = self.mid_message(sink)
            time.sleep(0.1)
            self.assertEqual(sink.stop(signal.SIGTERM), 0)
            self.assertEqual(sink.stored_names(), [])
            c.close()

    def test_client_vanishing_mid_message_drops_partial_file(self):
        with Sink() as sink:
            self.mid_message(sink).close()
            c = Client(sink.port)  # served only after the first connection is finished
            c.reply()
            send_envelope(c)
            c.sock.sendall(b"whole\r\n.\r\n")
            self.assertEqual(c.reply(), ["250 OK"])
            c.close()
            self.assertEqual(sink.stop(), 0)
            self.assertEqual(sink.stored_names(), ["msg-1.eml"])
            self.assertEqual(sink.stored(1), b"whole\r\n")


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class CurlTest(unittest.TestCase):
    def curl(self, port, *args):
        cmd = ["curl", "-sS", "--max-time", str(TIMEOUT), f"smtp://127.0.0.1:{port}",
               "--mail-from", "a@example.com", "--mail-rcpt", "c@example.com", "--user", "x:y"]
        subprocess.run(cmd + list(args), check=True, timeout=TIMEOUT)

    def test_upload_file_with_each_login_form(self):
        content = (b"Subject: test\r\n\r\nline\r\n.leading dot\r\n.\r\n..\r\n"
                   + DataTest.big_content(3 << 20, 4))
        forms = [[], ["--login-options", "AUTH=LOGIN"], ["--login-options", "AUTH=LOGIN", "--sasl-ir"],
                 ["--login-options", "AUTH=PLAIN", "--sasl-ir"]]
        with Sink() as sink:
            path = os.path.join(sink.dir, "upload.eml")
            with open(path, "wb") as f:
                f.write(content)
            for form in forms:
                self.curl(sink.port, "--upload-file", path, *form)
            self.assertEqual(sink.stop(), 0)
            for n in range(1, len(forms) + 1):
                self.assertTrue(sink.stored(n) == content, f"message {n} ({forms[n - 1]}) differs")

    def test_mime_base64_attachment(self):
        payload = random.Random(5).randbytes(5 << 20)
        with Sink() as sink:
            path = os.path.join(sink.dir, "payload.bin")
            with open(path, "wb") as f:
                f.write(payload)
            self.curl(sink.port, "-H", "Subject: attachment", "-F", "=hello;type=text/plain",
                      "-F", f"=@{path};encoder=base64")
            self.assertEqual(sink.stop(), 0)
            msg = email.message_from_bytes(sink.stored(1), policy=email.policy.default)
            self.assertEqual(msg["Subject"], "attachment")
            parts = [p for p in msg.walk() if not p.is_multipart()]
            self.assertEqual([p.get_content_type() for p in parts],
                             ["text/plain", "application/octet-stream"])
            self.assertEqual(parts[0].get_content().strip(), "hello")
            self.assertTrue(parts[1].get_payload(decode=True) == payload, "attachment differs")


class SmtplibTest(unittest.TestCase):
    def test_login_and_sendmail(self):
        body = b"".join(base64.encodebytes(random.Random(6).randbytes(1 << 20)).splitlines(True))
        msg = (b"From: a@example.com\r\nTo: b@example.com\r\nSubject: smtplib\r\n\r\n"
               + b".first\r\n..\r\n.\r\n" + body.replace(b"\n", b"\r\n"))
        logins = [
            lambda s: s.login("user", "pass"),  # smtplib picks PLAIN with an initial response
            lambda s: s.auth("LOGIN", s.auth_login, initial_response_ok=False),
            lambda s: s.auth("LOGIN", s.auth_login, initial_response_ok=True),
        ]
        with Sink() as sink:
            for login in logins:
                with smtplib.SMTP("127.0.0.1", sink.port, timeout=TIMEOUT) as s:
                    s.ehlo()
                    s.user, s.password = "user", "pass"
                    login(s)
                    self.assertEqual(s.sendmail("a@example.com", ["b@example.com"], msg), {})
            self.assertEqual(sink.stop(), 0)
            for n in range(1, len(logins) + 1):
                self.assertTrue(sink.stored(n) == msg, f"message {n} differs")


class StartTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki_dir = tempfile.mkdtemp(prefix="vellipost-sink-pki-")
        pki = Pki(cls.pki_dir)
        cls.ca_file = str(pki.ca("sink-ca"))
        cls.cert, cls.key = (str(path) for path in pki.server("sink", "sink-ca", SAN_LOCAL))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki_dir)

    def tls_sink(self):
        return Sink("--tls-cert", self.cert, "--tls-key", self.key)

    def test_offered_only_with_a_certificate_and_only_before_tls(self):
        with Sink() as sink, smtplib.SMTP("127.0.0.1", sink.port, timeout=TIMEOUT) as s:
            s.ehlo()
            self.assertFalse(s.has_extn("starttls"))
            self.assertEqual(s.docmd("STARTTLS")[0], 500)
        with self.tls_sink() as sink, smtplib.SMTP("127.0.0.1", sink.port, timeout=TIMEOUT) as s:
            s.ehlo()
            self.assertTrue(s.has_extn("starttls"))
            # Commands pipelined behind STARTTLS are dropped, not answered inside TLS.
            s.send(b"STARTTLS\r\nMAIL FROM:<a@example.com>\r\n")
            self.assertEqual(s.getreply(), (220, b"ready to start TLS"))
            s.sock = ssl.create_default_context(cafile=self.ca_file).wrap_socket(
                s.sock, server_hostname="127.0.0.1")
            s.file = None
            self.assertEqual(s.docmd("RCPT TO:<b@example.com>"), (503, b"MAIL first"))
            s.ehlo()
            self.assertFalse(s.has_extn("starttls"))
            self.assertTrue(s.has_extn("auth"))
            self.assertEqual(s.docmd("STARTTLS")[0], 503)

    def test_smtplib_sends_inside_tls(self):
        msg = b"Subject: tls\r\n\r\n.dot\r\n" + DataTest.big_content(3 << 20, 7)
        with self.tls_sink() as sink:
            with smtplib.SMTP("127.0.0.1", sink.port, timeout=TIMEOUT) as s:
                s.starttls(context=ssl.create_default_context(cafile=self.ca_file))
                s.login("user", "pass")
                self.assertEqual(s.sendmail("a@example.com", ["b@example.com"], msg), {})
            self.assertEqual(sink.stop(), 0)
            self.assertTrue(sink.stored(1) == msg, "message differs")
            self.assertRegex(sink.stderr, r"message 1: \d+ bytes in .* over TLS\n")

    @unittest.skipUnless(shutil.which("curl"), "curl is not installed")
    def test_curl_attachment_with_ssl_reqd(self):
        payload = random.Random(8).randbytes(5 << 20)
        with self.tls_sink() as sink:
            path = os.path.join(sink.dir, "payload.bin")
            with open(path, "wb") as f:
                f.write(payload)
            subprocess.run(["curl", "-sS", "--max-time", str(TIMEOUT), "--ssl-reqd", "--cacert",
                            self.ca_file, f"smtp://127.0.0.1:{sink.port}", "--mail-from",
                            "a@example.com", "--mail-rcpt", "c@example.com", "--user", "x:y",
                            "-F", f"=@{path};encoder=base64"], check=True, timeout=TIMEOUT)
            self.assertEqual(sink.stop(), 0)
            msg = email.message_from_bytes(sink.stored(1), policy=email.policy.default)
            [part] = [p for p in msg.walk() if not p.is_multipart()]
            self.assertTrue(part.get_payload(decode=True) == payload, "attachment differs")
            self.assertIn(" over TLS\n", sink.stderr)

    def test_failed_handshake_ends_only_that_connection(self):
        with self.tls_sink() as sink:
            c = Client(sink.port)
            c.reply()
            self.assertEqual(c.cmd("STARTTLS"), ["220 ready to start TLS"])
            c.sock.sendall(b"EHLO in the clear\r\n")
            rest = b""
            while chunk := c.sock.recv(4096):  # at most an alert, then the end
                rest += chunk
            self.assertNotIn(b"250", rest)
            c.close()
            c = Client(sink.port)
            self.assertEqual(c.reply(), ["220 sink ESMTP"])
            c.close()
            self.assertEqual(sink.stop(), 0)
            self.assertIn("TLS handshake failed", sink.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    SINK = os.path.abspath(sys.argv.pop(1))
    unittest.main()
