"""The mail core against a real Postfix with Cyrus SASL: a server that offers AUTH only after EHLO,
checks the envelope and states its SIZE; and the same server with STARTTLS, offering AUTH only
inside TLS. What it delivers is read back from its Maildir."""

import hashlib
import io
import os
import random
import re
import smtplib
import ssl
import tempfile
import unittest
import zipfile
from pathlib import Path

import readers
from mail_driver import MAIL_DOMAIN, SENT_OK, boxes, send
from postfix_fixture import DOMAIN, HOST, MAILBOX, PASSWORD, USER, running_postfix

FRIEND = f"{MAILBOX}@{DOMAIN}"
WRONG_ACCOUNT = "请输入正确的帐号和密码!"
SEND_FAILED = "邮件发送不成功!"
TOO_LARGE = "邮件太大，服务器最多接受9.8 MB，邮件没有发送!"
HINT_AUTHORIZATION_CODE = "提示：163邮箱的SMTP登录需要使用客户端授权码，而不是网页登录密码。"
HINT_RECIPIENT = "提示：收件人地址不存在或被拒绝，请检查收件人。"
NO_ENCRYPTION = "服务器不支持加密连接，为保护密码，邮件没有发送!"
# The driver's switch for the loopback exception: treat 127.0.0.1 as a server elsewhere.
NOT_LOCAL = "--not-local"


def counts(line):
    """The command counts of a "disconnect from" line: {"ehlo": "1", "auth": "0/1", ...}."""
    return dict(re.findall(r" (\w+)=([\d/]+)", line.partition(" disconnect from ")[2]))


def chinese_zip(folder):
    """A ZIP holding 300 KB of random bytes, named in Chinese with a space: (path, its bytes)."""
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as zf:
        zf.writestr("data.bin", random.Random(9).randbytes(300_000))
    path = folder / "季度 报告.zip"
    path.write_bytes(archive.getvalue())
    return path, archive.getvalue()


@unittest.skipUnless(os.geteuid() == 0, "a Postfix instance starts as root")
class PostfixCase(unittest.TestCase):
    """One instance for the class, with STARTTLS where tls is set."""

    tls = False

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="vellipost-postfix-files-")
        cls.files = Path(cls.folder.name)
        cls.postfix_context = running_postfix(tls=cls.tls)
        cls.postfix = cls.postfix_context.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.postfix_context.__exit__(None, None, None)
        cls.folder.cleanup()
        # Nothing of the instance is left: no process, no folder.
        assert not cls.postfix.processes() and not cls.postfix.root.exists()

    def disconnect_line(self, log_start):
        """The "disconnect from" line of the first session after log line log_start (the fixture's
        own probes for a listening port, which send nothing, are no session)."""
        return self.postfix.wait_for_log(
            lambda line: " disconnect from " in line and " commands=0/0" not in line, log_start)


class PostfixEndToEnd(PostfixCase):
    # Under strict_7bit_headers and strict_8bitmime (postfix_fixture.py), which refuse 8-bit
    # headers and undeclared 8-bit bodies.
    def test_chinese_text_mail_is_delivered_with_its_from_line(self):
        subject = "测试邮件：你好 € 镕堃 한국어 😀"
        body = "第一行 € 镕堃\n.\n第三行，以及一个点开头的行：\n.hidden"
        before = len(self.postfix.mail())
        self.assertEqual(send(self.postfix.port, USER, PASSWORD, subject, body, recipient=FRIEND),
                         [SENT_OK])
        reading = readers.python_default(self.postfix.wait_for_mail(before + 1)[-1])
        self.assertEqual(reading.sender, f"{USER}@{MAIL_DOMAIN}")
        self.assertEqual(reading.subject, subject)
        self.assertEqual(reading.body.replace("\r\n", "\n"), body)

    def test_zip_with_a_chinese_name_is_delivered_intact(self):
        path, data = chinese_zip(self.files)
        before = len(self.postfix.mail())
        self.assertEqual(send(self.postfix.port, USER, PASSWORD, "附件", "", path, FRIEND),
                         [SENT_OK])
        reading = readers.python_default(self.postfix.wait_for_mail(before + 1)[-1])
        self.assertEqual(reading.sender, f"{USER}@{MAIL_DOMAIN}")
        self.assertEqual(list(reading.attachments), ["季度 报告.zip"])
        self.assertEqual(hashlib.sha256(reading.attachments["季度 报告.zip"]).hexdigest(),
                         hashlib.sha256(data).hexdigest())

    def test_wrong_password_is_refused_with_the_servers_reply(self):
        log_start = self.postfix.settled_log()
        [(text, detail)] = boxes(self.postfix.port, USER, "wrong", "s", "b", recipient=FRIEND)
        self.assertEqual(text, WRONG_ACCOUNT)
        self.assertTrue(detail[0].startswith("535 5.7.8 "), detail)
        self.assertEqual(detail[-1], HINT_AUTHORIZATION_CODE)
        line = self.disconnect_line(log_start)
        self.assertEqual(counts(line).get("auth"), "0/1", line)
        self.assertNotIn("mail", counts(line), line)

    def test_unknown_recipient_is_named_by_the_server(self):
        log_start = self.postfix.settled_log()
        [(text, detail)] = boxes(self.postfix.port, USER, PASSWORD, "s", "b",
                                 recipient=f"nobody@{DOMAIN}")
        self.assertEqual(text, SEND_FAILED)
        self.assertTrue(detail[0].startswith(f"550 5.1.1 <nobody@{DOMAIN}>: Recipient address "
                                             "rejected"), detail)
        self.assertEqual(detail[-1], HINT_RECIPIENT)
        line = self.disconnect_line(log_start)
        self.assertEqual(counts(line).get("rcpt"), "0/1", line)
        self.assertNotIn("data", counts(line), line)

    def test_mail_over_the_size_limit_is_refused_before_the_login(self):
        path = self.files / "big.zip"
        with open(path, "wb") as f:
            f.truncate(20 * 1024 * 1024)
        log_start = self.postfix.settled_log()
        [(text, detail)] = boxes(self.postfix.port, USER, PASSWORD, "大", "", path, FRIEND)
        self.assertEqual(text, TOO_LARGE)
        self.assertIn("250-SIZE 10240000", detail)
        line = self.disconnect_line(log_start)
        self.assertEqual(counts(line).get("ehlo"), "1", line)
        for command in ("auth", "mail", "rcpt", "data"):
            self.assertNotIn(command, counts(line), line)

    # This server offers AUTH without STARTTLS; as for a server elsewhere, the password stays home.
    def test_no_secret_goes_to_a_server_without_starttls(self):
        log_start = self.postfix.settled_log()
        [(text, detail)] = boxes(self.postfix.port, USER, PASSWORD, "s", "b", recipient=FRIEND,
                                 options=[NOT_LOCAL])
        self.assertEqual(text, NO_ENCRYPTION)
        self.assertIn("250-SIZE 10240000", detail)  # the EHLO reply that lists no STARTTLS
        line = self.disconnect_line(log_start)
        self.assertEqual(counts(line).get("ehlo"), "1", line)
        self.assertEqual(counts(line).get("quit"), "1", line)
        for command in ("starttls", "auth", "mail", "rcpt", "data"):
            self.assertNotIn(command, counts(line), line)


class PostfixOverStartTls(PostfixCase):
    tls = True

    def test_the_login_is_offered_only_inside_tls(self):
        # Else the delivery below would not show that the login went inside TLS.
        with smtplib.SMTP(HOST, self.postfix.port, timeout=60) as smtp:
            smtp.ehlo()
            self.assertTrue(smtp.has_extn("starttls"))
            self.assertFalse(smtp.has_extn("auth"))
            smtp.starttls(context=ssl.create_default_context(cafile=self.postfix.ca_file))
            smtp.ehlo()
            self.assertTrue(smtp.has_extn("auth"))

    def test_chinese_mail_with_a_zip_is_delivered_over_starttls(self):
        path, data = chinese_zip(self.files)
        subject = "季度报告：经由加密连接 镕堃"
        body = "第一行 € 镕堃\n.\n第三行"
        before = len(self.postfix.mail())
        log_start = self.postfix.settled_log()
        self.assertEqual(send(self.postfix.port, USER, PASSWORD, subject, body, path, FRIEND,
                              options=["--ca-file", str(self.postfix.ca_file)]), [SENT_OK])
        reading = readers.python_default(self.postfix.wait_for_mail(before + 1)[-1])
        self.assertEqual(reading.sender, f"{USER}@{MAIL_DOMAIN}")
        self.assertEqual(reading.subject, subject)
        self.assertEqual(reading.body.replace("\r\n", "\n"), body)
        self.assertEqual(list(reading.attachments), ["季度 报告.zip"])
        self.assertEqual(hashlib.sha256(reading.attachments["季度 报告.zip"]).hexdigest(),
                         hashlib.sha256(data).hexdigest())
        # One connection: the handshake, then the login (logged with the queue id), a fresh EHLO.
        line = self.disconnect_line(log_start)
        self.assertEqual({k: counts(line).get(k) for k in ("ehlo", "starttls", "auth", "data")},
                         {"ehlo": "2", "starttls": "1", "auth": "1", "data": "1"}, line)
        lines = self.postfix.log_lines()
        handshake = self.postfix.wait_for_log(
            lambda text: "TLS connection established from" in text, log_start)
        login = self.postfix.wait_for_log(lambda text: f"sasl_username={USER}@" in text, log_start)
        self.assertLess(lines.index(handshake), lines.index(login), "\n".join(lines[log_start:]))


if __name__ == "__main__":
    unittest.main()
