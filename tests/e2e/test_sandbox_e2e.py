"""The mail core against the real sandbox server: what lands there is read back with Python's
email package, the way a mail program would read it."""

import hashlib
import random
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sandbox"))
from mail_driver import SENT_OK, parse, raw_header, send  # noqa: E402
from sandbox_fixture import running_sandbox  # noqa: E402


class SandboxEndToEnd(unittest.TestCase):
    def test_text_mail_with_chinese_subject_and_body(self):
        subject = "测试邮件：你好"
        body = "第一行\n.\n第三行，以及一个点开头的行：\n.hidden"
        with running_sandbox() as sandbox:
            self.assertEqual(send(sandbox.port, "demo", "demo", subject, body), [SENT_OK])
            [eml] = sandbox.messages()
            msg = parse(eml.read_bytes())
            self.assertEqual(raw_header(eml.read_bytes(), b"Subject").decode("gbk"), subject)
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
            text = parse(eml.read_bytes()).get_payload()[1]
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
                msg = parse(eml.read_bytes())
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
