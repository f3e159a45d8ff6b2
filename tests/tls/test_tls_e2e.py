"""The TLS build of the mail core against the sandbox in implicit-TLS mode, with certificates made
here by a throwaway CA: a mail goes through, lands intact and crosses the wire unreadable; a
certificate that does not prove the server (wrong host, self-signed, from an unknown CA, expired)
is refused before a word of SMTP, so nothing is stored and nothing readable reaches the server."""

import base64
import datetime
import os
import random
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sandbox"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import mail_driver  # noqa: E402
import readers  # noqa: E402
from mail_driver import MAIL_DOMAIN, SENT_OK  # noqa: E402
from pki import SAN_LOCAL, Pki  # noqa: E402
from sandbox_fixture import running_sandbox  # noqa: E402

# The server's host name the build compiles in: the argument of EHLO.
SMTP_HOST = os.environ.get("VELLIPOST_SMTP_HOST", "smtp.163.com")
SECURE_FAILED = "与163服务器建立安全连接失败，请检查网络!"
RECEIVE_FAILED = "接受163服务器信息失败，请检查网络!"


def send(host, port, ca_file, subject="TLS 测试", body="正文", attachment=None):
    """Runs the driver against host, trusting the CAs in ca_file; returns (the messages the user
    saw, without their details; all their details' lines as one text)."""
    seen, _ = mail_driver.run(port, "demo", "demo", subject, body, attachment,
                              options=["--host", host, "--ca-file", str(ca_file)])
    return [text for text, _ in seen], "\n".join(line for _, detail in seen for line in detail)


class Listener:
    """A one-connection loopback server run by serve(connection) on a thread of its own."""

    def __init__(self):
        self._socket = socket.create_server(("127.0.0.1", 0))
        self._socket.settimeout(60)
        self.port = self._socket.getsockname()[1]
        self._thread = threading.Thread(target=self._accept)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._socket.close()
        self._thread.join(60)

    def _accept(self):
        try:
            connection, _ = self._socket.accept()
        except OSError:
            return
        with connection:
            connection.settimeout(60)
            self.serve(connection)


class WireTap(Listener):
    """Forwards one connection to a server and keeps every byte the client put on the wire."""

    def __init__(self, target_port):
        super().__init__()
        self.target_port = target_port
        self.client_bytes = b""

    def serve(self, client):
        with socket.create_connection(("127.0.0.1", self.target_port), timeout=60) as server:
            back = threading.Thread(target=self._pump, args=(server, client, False))
            back.start()
            self._pump(client, server, True)
            back.join(60)

    def _pump(self, source, sink, record):
        try:
            while chunk := source.recv(65536):
                if record:
                    self.client_bytes += chunk
                sink.sendall(chunk)
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class TlsRecorder(Listener):
    """A TLS server for one connection that greets like SMTP and keeps the first line the client
    sends in the clear; or, if the handshake fails, why it failed as this side saw it."""

    def __init__(self, cert, key):
        super().__init__()
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(cert, key)
        self.handshake_error = None
        self.received = b""

    def serve(self, connection):
        try:
            tls = self._context.wrap_socket(connection, server_side=True)
        except (ssl.SSLError, OSError) as error:
            self.handshake_error = str(error)
            return
        with tls:
            tls.sendall(b"220 recorder ready\r\n")
            try:
                while b"\r\n" not in self.received and (chunk := tls.recv(4096)):
                    self.received += chunk
            except OSError:
                pass


class TlsEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="vellipost-tls-pki-")
        pki = Pki(cls.folder)
        cls.ca_file = pki.ca("trusted-ca")
        pki.ca("unknown-ca")
        cls.good = pki.server("good", "trusted-ca", SAN_LOCAL)
        past = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
        # (what, certificate and key, why the client refuses it, in OpenSSL's words)
        cls.bad = [
            ("wrong host", pki.server("wrong", "trusted-ca", "DNS:wrong.example"),
             "hostname mismatch"),
            ("self-signed", pki.self_signed("self", SAN_LOCAL), "self-signed certificate"),
            ("unknown CA", pki.server("stranger", "unknown-ca", SAN_LOCAL),
             "unable to get local issuer certificate"),
            ("expired", pki.server("expired", "trusted-ca", SAN_LOCAL, past,
                                   past + datetime.timedelta(days=30)),
             "certificate has expired"),
        ]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def tls_args(self, cert_and_key):
        cert, key = cert_and_key
        return ["--tls-cert", str(cert), "--tls-key", str(key)]

    def test_mail_with_attachment_lands_intact_for_a_name_and_an_address(self):
        attachment = Path(self.folder) / "报告.zip"
        payload = random.Random(6).randbytes(300_000)  # many TLS records
        attachment.write_bytes(payload)
        subject = "经由TLS的邮件"
        body = "第一行\n.\n第三行"
        for host in ("localhost", "127.0.0.1"):
            with self.subTest(host), running_sandbox(self.tls_args(self.good)) as sandbox:
                seen, _ = send(host, sandbox.port, self.ca_file, subject, body, attachment)
                self.assertEqual(seen, [SENT_OK])
                [eml] = sandbox.messages()
                reading = readers.python_default(eml)
                self.assertEqual(reading.sender, f"demo@{MAIL_DOMAIN}")
                self.assertEqual(reading.subject, subject)
                self.assertEqual(reading.body, body.replace("\n", "\r\n"))
                self.assertEqual(reading.attachments, {"报告.zip": payload})

    def test_nothing_readable_crosses_the_wire(self):
        subject = "机密主题"
        body = "机密正文"
        with running_sandbox(self.tls_args(self.good)) as sandbox:
            with WireTap(sandbox.port) as tap:
                seen, _ = send("localhost", tap.port, self.ca_file, subject, body)
            self.assertEqual(seen, [SENT_OK])
            self.assertEqual(len(sandbox.messages()), 1)
        wire = tap.client_bytes
        self.assertEqual(wire[:2], b"\x16\x03")  # a TLS handshake record first
        secrets = [b"EHLO", b"AUTH", base64.b64encode(b"demo"), f"demo@{MAIL_DOMAIN}".encode()]
        for text in (subject, body):
            secrets += [text.encode("gb18030"), base64.b64encode(text.encode("gb18030"))]
        for secret in secrets:
            self.assertNotIn(secret, wire)

    def test_a_certificate_that_does_not_prove_the_server_is_refused(self):
        for what, cert_and_key, why in self.bad:
            with self.subTest(what):
                with running_sandbox(self.tls_args(cert_and_key)) as sandbox:
                    seen, detail = send("localhost", sandbox.port, self.ca_file)
                    self.assertEqual(seen, [SECURE_FAILED])
                    self.assertIn(why, detail)
                    self.assertEqual(sandbox.messages(), [])
                    self.assertEqual(os.listdir(sandbox.maildir), [])
                # The same certificate on a server that shows whatever arrives: the client ends
                # the handshake with an alert, so not a byte reaches it as readable text.
                with TlsRecorder(*cert_and_key) as recorder:
                    seen, _ = send("localhost", recorder.port, self.ca_file)
                self.assertEqual(seen, [SECURE_FAILED])
                self.assertIn("ALERT", recorder.handshake_error or "")
                self.assertEqual(recorder.received, b"")

    def test_the_recorder_would_have_seen_a_conversation(self):
        # The check above could not fail if the recorder saw nothing even when trusted.
        with TlsRecorder(*self.good) as recorder:
            seen, _ = send("localhost", recorder.port, self.ca_file)
        self.assertIsNone(recorder.handshake_error)
        self.assertEqual(recorder.received, f"EHLO {SMTP_HOST}\r\n".encode())
        self.assertEqual(seen, [RECEIVE_FAILED])


if __name__ == "__main__":
    unittest.main()
