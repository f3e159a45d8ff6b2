"""Runs the send_mail driver (send_mail.cpp) and reads what it did: the message boxes the user saw,
and the mail as a server stored it."""

import email
import email.policy
import os
import re
import subprocess

SEND_MAIL = os.environ.get("VELLIPOST_SEND_MAIL", "send_mail")
SENT_OK = "发送成功!欢迎使用"


def boxes(port, user, password, subject, body, attachment=None, recipient="friend@example.com"):
    """The boxes in order, each as (text, detail lines): the server's reply, then the hint."""
    args = [SEND_MAIL, str(port), user, password, recipient, subject, body]
    if attachment:
        args.append(str(attachment))
    done = subprocess.run(args, capture_output=True, timeout=120, check=True)
    seen = []
    for line in done.stdout.decode("utf-8", errors="replace").splitlines():
        if line.startswith("    "):
            seen[-1][1].append(line[4:])
        else:
            seen.append((line, []))
    return seen


def send(port, user, password, subject, body, attachment=None, recipient="friend@example.com"):
    """The texts of the boxes in order."""
    return [text for text, _ in boxes(port, user, password, subject, body, attachment, recipient)]


def parse(raw):
    """Parses a stored mail. Our header block writes "From : <...>" and "To : <...>" with a space
    before the colon, which RFC 5322 (section 4.5, obs-optional) tells readers to accept; Python's
    parser does not, so the header names are closed up first, in the header block only."""
    head, sep, rest = raw.partition(b"\r\n\r\n")
    head = re.sub(rb"(?m)^([!-9;-~]+)[ \t]+:", rb"\1:", head)
    return email.message_from_bytes(head + sep + rest, policy=email.policy.compat32)


def raw_header(raw, name):
    """The bytes of a header field as they went on the wire (our subject is raw GBK)."""
    head = raw.partition(b"\r\n\r\n")[0]
    return re.search(rb"(?m)^" + name + rb"[ \t]*:(.*?)\r$", head).group(1)
