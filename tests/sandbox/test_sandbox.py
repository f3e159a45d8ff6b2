"""Self-test of tools/sandbox-smtp, the local server the end-to-end tests send to."""

import base64
import os
import random
import shutil
import smtplib
import ssl
import subprocess
import tempfile
import unittest
from pathlib import Path

from sandbox_fixture import running_sandbox

GBK_SUBJECT = "测试邮件：附件与句点"


def b64(data):
    return base64.b64encode(data).decode("ascii")


def authenticate(smtp, mechanism, login, password):
    """AUTH by hand: smtplib's login() refuses to work after HELO, Vellipost's greeting."""
    if mechanism == "PLAIN":
        return smtp.docmd("AUTH", "PLAIN " + b64(b"\0" + login + b"\0" + password))[0]
    code, _ = smtp.docmd("AUTH", "LOGIN")
    if code != 334:
        return code
    smtp.docmd(b64(login))
    return smtp.docmd(b64(password))[0]


def demo_session(host, port, factory=smtplib.SMTP, **kwargs):
    smtp = factory(host, port, timeout=30, **kwargs)
    smtp.helo("vellipost-test")
    code = authenticate(smtp, "LOGIN", b"demo", b"demo")
    if code != 235:
        smtp.close()
        raise AssertionError(f"demo/demo login answered {code}")
    return smtp


def text_mail():
    # Lines starting with a dot (one a lone dot) travel dot-stuffed and must
    # come back unstuffed; the subject is raw GBK, as Vellipost sends it.
    return (
        f"Subject: {GBK_SUBJECT}\r\n"
        "From: demo@example.com\r\n"
        "To: friend@example.com\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=GBK\r\n"
        "\r\n"
        "你好，\r\n"
        ".\r\n"
        "..两个句点\r\n"
        ".\r\n"
    ).encode("gbk")


def attachment_mail(size):
    payload = random.Random(size).randbytes(size)
    body = base64.encodebytes(payload).replace(b"\n", b"\r\n")
    return (
        b"Subject: attachment\r\n"
        b"MIME-Version: 1.0\r\n"
        b'Content-Type: multipart/mixed; boundary="b0"\r\n'
        b"\r\n"
        b"--b0\r\n"
        b"Content-Type: application/octet-stream\r\n"
        b"Content-Transfer-Encoding: base64\r\n"
        b"\r\n" + body + b"--b0--\r\n"
    )


class SandboxTest(unittest.TestCase):
    def test_demo_mails_are_stored_byte_for_byte(self):
        # One session for all rows: a refused mail must not disturb the next.
        cases = [
            ("gbk text with dot lines", text_mail(), 250, GBK_SUBJECT),
            ("line of 1000 octets", b"Subject: long\r\n\r\n" + b"x" * 1000 + b"\r\n", 500, None),
            ("line of 999 octets", b"Subject: long\r\n\r\n" + b"x" * 999 + b"\r\n", 250, "long"),
            ("5 MiB attachment", attachment_mail(5 << 20), 250, "attachment"),
            ("headers only", b"Subject: \r\n\r\n", 250, ""),
            ("encoded words", b"Subject: =?GB18030?B?xOO6ww==?=\r\n =?GB18030?B?ouM=?=\r\n\r\nx\r\n",
             250, "你好€"),
        ]
        with running_sandbox() as sandbox:
            with demo_session(sandbox.host, sandbox.port) as smtp:
                for name, mail, expected_code, subject in cases:
                    with self.subTest(name):
                        before = set(sandbox.messages())
                        self.assertEqual(smtp.mail("demo@example.com")[0], 250)
                        self.assertEqual(smtp.rcpt("friend@example.com")[0], 250)
                        code, _ = smtp.data(mail)
                        self.assertEqual(code, expected_code)
                        added = sorted(set(sandbox.messages()) - before)
                        if expected_code != 250:
                            self.assertEqual(added, [])
                            continue
                        self.assertEqual(len(added), 1)
                        self.assertEqual(added[0].read_bytes(), mail)
                        summary = sandbox.stdout_lines()[-1]
                        self.assertIn(f"file={added[0].name}", summary)
                        self.assertIn(f"size={len(mail)}", summary)
                        self.assertTrue(summary.endswith(f"subject={subject}"), summary)
            # Exactly the accepted mails: no temporary files left over.
            stored = [path.name for path in sandbox.messages()]
            self.assertEqual(sorted(os.listdir(sandbox.maildir)), stored)
            self.assertEqual(len(stored), 5)

    def test_only_demo_credentials_may_send(self):
        cases = [
            ("LOGIN", b"demo", b"demo", 235, 250),
            ("PLAIN", b"demo", b"demo", 235, 250),
            ("LOGIN", b"demo", b"wrong", 535, 530),
            ("LOGIN", b"Demo", b"demo", 535, 530),
            ("PLAIN", b"demo", b"demo ", 535, 530),
            (None, None, None, None, 530),
        ]
        with running_sandbox() as sandbox:
            for mechanism, login, password, auth_code, mail_code in cases:
                with self.subTest(mechanism=mechanism, login=login, password=password):
                    with smtplib.SMTP(sandbox.host, sandbox.port, timeout=30) as smtp:
                        smtp.helo("vellipost-test")
                        if mechanism:
                            code = authenticate(smtp, mechanism, login, password)
                            self.assertEqual(code, auth_code)
                        self.assertEqual(smtp.mail("demo@example.com")[0], mail_code)
            self.assertEqual(sandbox.messages(), [])

    def test_implicit_tls(self):
        if shutil.which("openssl") is None:
            self.skipTest("openssl is needed to make a test certificate")
        with tempfile.TemporaryDirectory() as certs:
            cert, key = Path(certs, "cert.pem"), Path(certs, "key.pem")
            subprocess.run(
                ["openssl", "req", "-x509", "-nodes", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-days", "1", "-subj", "/CN=localhost",
                 "-keyout", str(key), "-out", str(cert)],
                check=True, capture_output=True,
            )  # fmt: skip
            context = ssl.create_default_context(cafile=str(cert))
            context.check_hostname = False
            tls_args = ["--tls-cert", str(cert), "--tls-key", str(key)]
            with running_sandbox(tls_args) as sandbox:
                with demo_session(sandbox.host, sandbox.port, smtplib.SMTP_SSL,
                                  context=context) as smtp:  # fmt: skip
                    smtp.sendmail("demo@example.com", ["friend@example.com"], text_mail())
                [stored] = sandbox.messages()
                self.assertEqual(stored.read_bytes(), text_mail())

    def test_sigterm_mid_transfer_exits_cleanly(self):
        with running_sandbox() as sandbox:
            smtp = demo_session(sandbox.host, sandbox.port)
            try:
                smtp.mail("demo@example.com")
                smtp.rcpt("friend@example.com")
                self.assertEqual(smtp.docmd("DATA")[0], 354)
                smtp.send(b"Subject: cut off\r\n\r\npart of a body\r\n")
                self.assertNotEqual(os.listdir(sandbox.maildir), [])
                self.assertEqual(sandbox.stop(), 0)
            finally:
                smtp.close()
            # The half-received message leaves nothing behind.
            self.assertEqual(os.listdir(sandbox.maildir), [])
            self.assertEqual(sandbox.stdout_lines()[-1], "stopped")
            self.assertEqual(sandbox.stderr_text(), "")
            with self.assertRaises(ProcessLookupError):
                os.kill(sandbox.process.pid, 0)


if __name__ == "__main__":
    unittest.main()
