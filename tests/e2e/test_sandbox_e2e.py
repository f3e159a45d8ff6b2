"""The mail core against the real sandbox server: what lands there is read back with Python's
email package, the way a mail program would read it."""

import email
import email.policy
import hashlib
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sandbox"))
from sandbox_fixture import running_sandbox  # noqa: E402

SEND_MAIL = os.environ.get("VELLIPOST_SEND_MAIL", "send_mail")
SENT_OK = "发送成功!欢迎使用"


def send(port, user, password, subject, body, attachment=None):
    args = [SEND_MAIL, str(port), user, password, "friend@example.com", subject, body]
    if attachment:
        args.append(str(attachment))
    done = subprocess.run(args, capture_output=True, text=True, timeout=120, check=True)
    return done.stdout.splitlines()


def parse(path):
    """Parses a stored mail. Our header block writes "From : <...>" and "To : <...>" with a space
    before the colon, which RFC 5322 (section 4.5, obs-optional) tells readers to accept; Python's
    parser does not, so the header names are closed up first, in the header block only."""
    raw = path.read_bytes()
    head, sep, rest = raw.partition(b"\r\n\r\n")
    head = re.sub(rb"(?m)^([!-9;-~]+)[ \t]+:", rb"\1:", head)
    return email.message_from_bytes(head + sep + rest, policy=email.policy.compat32)


def raw_header(path, name):
    """The bytes of a header field as they went on the wire (our subject is raw GBK)."""
    head = path.read_bytes().partition(b"\r\n\r\n")[0]
    return re.search(rb"(?m)^" + name + rb"[ \t]*:(.*?)\r$", head).group(1)


class SandboxEndToEnd(unittest.TestCase):
    def test_text_mail_with_chinese_subject_and_body(self):
        subject = "测试邮件：你好"
        body = "第一行\n.\n第三行，以及一个点开头的行：\n.hidden"
        with running_sandbox() as sandbox:
            self.assertEqual(send(sandbox.port, "demo", "demo", subject, body), [SENT_OK])
            [eml] = sandbox.messages()
            msg = parse(eml)
            self.assertEqual(raw_header(eml, b"Subject").decode("gbk"), subject)
            self.assertIn("demo@163.com", " ".join(sandbox.stdout_lines()))
        self.assertEqual(msg.get("From").strip(), "<demo@163.com>")
        self.assertEqual(msg.get("To").strip(), "<friend@example.com>")
        self.assertTrue(msg.is_multipart())
        self.assertEqual(msg.get_content_type(), "multipart/mixed")
        self.assertEqual(msg.get_boundary(), "marrowfen-quibblestar")
        parts = msg.get_payload()
        self.assertEqual(len(parts), 2)
        text = parts[1]
        self.assertEqual(text.get_content_type(), "text/plain")
        self.assertEqual(text.get_content_charset(), "gb2312")
        # The server undoes the dot-stuffing: the body arrives as typed, with CR LF breaks.
        received = text.get_payload(decode=True).decode("gbk")
        self.assertEqual(received, body.replace("\n", "\r\n"))

    def test_overlong_chinese_paragraph_arrives_intact(self):
        body = "汉" * 500  # 1000 bytes on one line: more than SMTP allows in a line
        with running_sandbox() as sandbox:
            self.assertEqual(send(sandbox.port, "demo", "demo", "长段落", body), [SENT_OK])
            [eml] = sandbox.messages()
            text = parse(eml).get_payload()[1]
        self.assertEqual(text.get("Content-transfer-Encoding"), "base64")
        self.assertEqual(text.get_payload(decode=True).decode("gbk"), body)

    def test_zip_attachment_decodes_to_the_file(self):
        data = random.Random(5).randbytes(5 * 1024 * 1024)
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "archive.zip"
            path.write_bytes(data)
            with running_sandbox() as sandbox:
                self.assertEqual(send(sandbox.port, "demo", "demo", "附件", "", path), [SENT_OK])
                [eml] = sandbox.messages()
                msg = parse(eml)
        attachment = msg.get_payload()[2]
        self.assertEqual(attachment.get_content_type(), "application/zip")
        self.assertEqual(attachment.get_param("name"), "archive.zip")
        self.assertEqual(hashlib.sha256(attachment.get_payload(decode=True)).hexdigest(),
                         hashlib.sha256(data).hexdigest())

    def test_wrong_credentials_are_refused(self):
        with running_sandbox() as sandbox:
            self.assertEqual(send(sandbox.port, "demo", "wrong", "s", "b"),
                             ["请输入正确的帐号和密码!"])
            self.assertEqual(sandbox.messages(), [])


if __name__ == "__main__":
    unittest.main()
