"""Runs the send_mail driver (tests/support/send_mail.cpp) and reads what it did: the message boxes
the user saw. What a server stored is read with tests/e2e/readers.py."""

import os
import subprocess

SEND_MAIL = os.environ.get("VELLIPOST_SEND_MAIL", "send_mail")
SENT_OK = "发送成功!欢迎使用"
# The domain the build appends to the account name in the sender address.
MAIL_DOMAIN = os.environ.get("VELLIPOST_MAIL_DOMAIN", "163.com")


def run(port, user, password, subject, body, attachment=None, recipient="friend@example.com",
        options=()):
    """Runs the driver with options (such as --host) before its arguments. Returns the boxes in
    order, each as (text, detail lines: the server's reply, then the hint), and its stderr."""
    args = [SEND_MAIL, *options, str(port), user, password, recipient, subject, body]
    if attachment:
        args.append(os.fsencode(attachment))
    done = subprocess.run(args, capture_output=True, timeout=120, check=True)
    seen = []
    for line in done.stdout.decode("utf-8", errors="replace").splitlines():
        if line.startswith("    "):
            seen[-1][1].append(line[4:])
        else:
            seen.append((line, []))
    return seen, done.stderr.decode("utf-8", errors="replace")


def boxes(port, user, password, subject, body, attachment=None, recipient="friend@example.com",
          options=()):
    """The boxes in order, each as (text, detail lines)."""
    return run(port, user, password, subject, body, attachment, recipient, options)[0]


def send(port, user, password, subject, body, attachment=None, recipient="friend@example.com",
         options=()):
    """The texts of the boxes in order."""
    return [text for text, _ in boxes(port, user, password, subject, body, attachment, recipient,
                                      options)]
