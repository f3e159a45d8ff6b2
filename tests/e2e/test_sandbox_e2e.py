"""The mail core against the real sandbox server: what lands there is read, exactly as stored,
by real mail readers (tests/e2e/readers.py): Python's email package under both policies, ripmime,
mu and munpack."""

import hashlib
import random
import re
import sys
import tempfile
import unittest
from datetime import datetime, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sandbox"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import readers  # noqa: E402
from mail_driver import MAIL_DOMAIN, SENT_OK, send  # noqa: E402
from sandbox_fixture import running_sandbox  # noqa: E402

# Characters that code page 936 lacks (an emoji, Korean), one it writes as a byte that GBK readers
# cannot decode (the euro sign), and GBK-only ones (镕, 堃).
SUBJECT = "测试邮件：你好 € 镕堃 한국어 😀"
BODY = "第一行 € 镕堃\n.\n한국어 😀\n--marrowfen-quibblestar--\n.hidden 最后一行"

# What readers cut short, misplace or lose: a subject of many encoded words (52 characters), lines
# that an mbox file would store as ">From ", and an attachment name of 229 bytes.
LONG_SUBJECT = "关于二〇二六年第三季度华东地区销售数据汇总与下一季度市场推广计划的会议通知及附件说明请各位准时参加"
FROM_BODY = "Hi,\nFrom now on the report comes monthly.\n\nFrom the sales team\nFrom: not a header"
LONG_NAME = ("二〇二六年度财务报告最终版附件一第三季度销售数据汇总" * 2 + "华东地区分公司年度总结报告附件二"
             + "全年汇总及说明.zip")


class SandboxEndToEnd(unittest.TestCase):
    def read_everywhere(self, eml, readers_to_use=readers.ALL):
        return [reader(eml) for reader in readers_to_use]

    def test_text_mail_reads_the_same_in_every_reader(self):
        with running_sandbox() as sandbox:
            before = datetime.now(timezone.utc).replace(microsecond=0)
            self.assertEqual(send(sandbox.port, "demo", "demo", SUBJECT, BODY), [SENT_OK])
            after = datetime.now(timezone.utc)
            [eml] = sandbox.messages()
            readings = self.read_everywhere(eml, (readers.python_default,
                                                  readers.python_compat32, readers.mu))
            raw = eml.read_bytes()
        self.assertTrue(raw.isascii(), "the message is not 7-bit clean")
        for r in readings:
            with self.subTest(reader=r.reader):
                self.assertEqual(r.subject, SUBJECT)
                self.assertEqual(r.body.replace("\r\n", "\n"), BODY)
                self.assertIn(f"demo@{MAIL_DOMAIN}", r.sender)
                self.assertRegex(r.message_id,
                                 rf"^<?[0-9a-f]{{32}}\.\d+@{re.escape(MAIL_DOMAIN)}>?$")
                self.assertTrue(before <= r.date <= after, f"{r.date} not in [{before}, {after}]")

    def test_overlong_chinese_paragraph_arrives_intact(self):
        body = "汉" * 500  # 1000 bytes on one line: more than SMTP allows in a line
        with running_sandbox() as sandbox:
            self.assertEqual(send(sandbox.port, "demo", "demo", "长段落", body), [SENT_OK])
            [eml] = sandbox.messages()
            reading = readers.python_default(eml)
        self.assertEqual(reading.body, body)

    def test_attachment_names_and_bytes_in_every_reader(self):
        # ripmime takes a backslash in a quoted name for a folder and drops a part whose quoted
        # name holds an escaped quote (both RFC 2045 quoted pairs); Python and mu read them.
        names = [
            ("archive.zip", ()),
            ("my file name.zip", ()),
            ('quote"d;semi\\colon.zip', ("ripmime",)),
            ("中文加空格 文件名.zip", ()),
            ("한국어 파일.zip", ()),
            ("二〇二六年度 财务报告 （最终版） 附件一 第三季度 销售数据 汇总.zip", ()),
        ]
        sizes = [5 * 1024 * 1024] + [300 * 1000] * (len(names) - 1)
        with tempfile.TemporaryDirectory() as folder, running_sandbox() as sandbox:
            for number, ((name, unread_by), size) in enumerate(zip(names, sizes)):
                data = random.Random(number).randbytes(size)
                path = Path(folder) / name
                path.write_bytes(data)
                self.assertEqual(send(sandbox.port, "demo", "demo", "附件", "", path), [SENT_OK],
                                 name)
                eml = sandbox.messages()[number]
                for r in self.read_everywhere(eml):
                    if r.reader in unread_by:
                        continue
                    with self.subTest(name=name, reader=r.reader):
                        self.assertEqual(len(r.attachments), 1, r.attachments.keys())
                        [(got_name, got)] = r.attachments.items()
                        if got_name is not None:
                            self.assertEqual(got_name, name)
                        self.assertEqual(hashlib.sha256(got).hexdigest(),
                                         hashlib.sha256(data).hexdigest())

    def test_a_file_name_that_carries_commands_is_refused(self):
        name = ("a.zip\r\n\r\n.\r\nMAIL FROM:<demo@163.com>\r\nRCPT TO:<thief@example.com>\r\n"
                "DATA\r\n\r\nstolen\r\n.\r\nx.zip")
        with tempfile.TemporaryDirectory() as folder, running_sandbox() as sandbox:
            path = Path(folder) / name
            path.write_bytes(b"PK secret")
            self.assertEqual(send(sandbox.port, "demo", "demo", "s", "b", path),
                             ["附件路径中不能含有换行符等控制字符!"])
            self.assertEqual(sandbox.messages(), [])

    def test_long_subject_from_lines_and_long_name_in_every_reader(self):
        data = random.Random(7).randbytes(100 * 1000)
        with tempfile.TemporaryDirectory() as folder, running_sandbox() as sandbox:
            path = Path(folder) / LONG_NAME
            path.write_bytes(data)
            self.assertEqual(send(sandbox.port, "demo", "demo", LONG_SUBJECT, FROM_BODY, path),
                             [SENT_OK])
            [eml] = sandbox.messages()
            raw = eml.read_bytes()
            readings = self.read_everywhere(eml)
        self.assertTrue(raw.isascii(), "the message is not 7-bit clean")
        self.assertNotRegex(raw, rb"(?m)^From ", "an mbox file would rewrite a line")
        for r in readings:
            with self.subTest(reader=r.reader):
                if r.subject is not None:
                    self.assertEqual(r.subject, LONG_SUBJECT)
                if r.body is not None:
                    self.assertEqual(r.body.replace("\r\n", "\n"), FROM_BODY)
                if r.reader == "python (policy.default)":
                    self.assertEqual(r.main_body.replace("\r\n", "\n"), FROM_BODY)
                self.assertEqual(len(r.attachments), 1, r.attachments.keys())
                [(got_name, got)] = r.attachments.items()
                # ripmime cuts every name at 128 bytes, inside a character if need be.
                if got_name is not None and r.reader != "ripmime":
                    self.assertEqual(got_name, LONG_NAME)
                self.assertEqual(got, data)

    def test_display_name_reaches_every_reader(self):
        recipients = [
            ("张三 <zs@example.com>", "张三"),
            ('"张三 \\"小张\\" (work)" <zs@example.com>', '张三 "小张" (work)'),
        ]
        with running_sandbox() as sandbox:
            for number, (typed, name) in enumerate(recipients):
                self.assertEqual(send(sandbox.port, "demo", "demo", "s", "b", recipient=typed),
                                 [SENT_OK], typed)
                eml = sandbox.messages()[number]
                for r in self.read_everywhere(eml, (readers.python_default,
                                                    readers.python_compat32, readers.mu)):
                    with self.subTest(typed=typed, reader=r.reader):
                        self.assertEqual(r.recipient, f"{name} <zs@example.com>")

    def test_wrong_credentials_are_refused(self):
        with running_sandbox() as sandbox:
            self.assertEqual(send(sandbox.port, "demo", "wrong", "s", "b"),
                             ["请输入正确的帐号和密码!"])
            self.assertEqual(sandbox.messages(), [])


if __name__ == "__main__":
    unittest.main()
