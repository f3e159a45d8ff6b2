"""A stored mail as real mail readers read it: Python's email package under both of its policies,
and three readers from Debian (ripmime, mu from maildir-utils, munpack from mpack). Each reader
gives what it shows; what it cannot show stays None, so a test checks what applies."""

import email
import email.header
import email.policy
import email.utils
import os
import re
import subprocess
import tempfile
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path


@dataclass
class Reading:
    reader: str
    subject: str = None
    body: str = None  # the text part, line breaks as the reader gives them
    main_body: str = None  # what the reader takes for the mail's text (Python's get_body())
    recipient: str = None  # the To field as the reader shows it: display name, then <address>
    date: datetime = None
    sender: str = None
    message_id: str = None
    # name -> bytes; where a reader rewrites names, a single entry under the name None
    attachments: dict = field(default_factory=dict)


def _python(path, policy, name):
    msg = email.message_from_bytes(Path(path).read_bytes(), policy=policy)
    subject = msg["Subject"]
    if policy is email.policy.compat32:
        subject = str(email.header.make_header(email.header.decode_header(subject)))
    reading = Reading(
        name,
        subject=str(subject),
        date=email.utils.parsedate_to_datetime(str(msg["Date"])),
        sender=str(msg["From"]),
        message_id=str(msg["Message-ID"]),
    )
    if policy is email.policy.compat32:
        reading.recipient = str(email.header.make_header(email.header.decode_header(msg["To"])))
    else:
        # The name as the reader decoded it, not re-quoted for a header.
        [to] = msg["To"].addresses
        reading.recipient = f"{to.display_name} <{to.addr_spec}>"
        main = msg.get_body(preferencelist=("plain", "html"))
        reading.main_body = None if main is None else main.get_content()
    for part in msg.walk():
        if part.get_content_type() == "text/plain" and part.get_payload(decode=True):
            reading.body = part.get_payload(decode=True).decode(part.get_content_charset())
        elif part.get_content_type() == "application/zip":
            reading.attachments[part.get_filename()] = part.get_payload(decode=True)
    return reading


def python_default(path):
    return _python(path, email.policy.default, "python (policy.default)")


def python_compat32(path):
    return _python(path, email.policy.compat32, "python (compat32)")


def _run(args, cwd=None):
    # mu keeps a cache under $HOME: a fresh one per call, removed afterwards.
    with tempfile.TemporaryDirectory(prefix="vellipost-reader-home-") as home:
        env = dict(os.environ, HOME=home, LC_ALL="C.UTF-8")
        return subprocess.run(args, cwd=cwd, env=env, capture_output=True, check=True,
                              timeout=120).stdout


def _files(folder, skip=()):
    """The files a reader saved, by name. Also in subfolders: munpack takes a "/" in an encoded
    word for a folder."""
    return {p.name: p.read_bytes() for p in Path(folder).rglob("*")
            if p.is_file() and not any(re.fullmatch(s, p.name) for s in skip)}


def ripmime(path):
    """Names and bytes of the attachments; its text parts are saved as textfileN."""
    with tempfile.TemporaryDirectory(prefix="vellipost-ripmime-") as out:
        _run(["ripmime", "-i", str(Path(path).resolve()), "-d", out])
        return Reading("ripmime", attachments=_files(out, skip=[r"textfile\d+"]))


def mu(path):
    """mu view: subject, body, date, sender, id and the attachment's name; mu extract: its bytes
    (mu extract writes spaces in names as "-", so the name comes from mu view)."""
    path = str(Path(path).resolve())
    # mu view prints the header fields it knows, then the body, with no empty line between.
    lines = _run(["mu", "view", path]).decode("utf-8").split("\n")
    headers = {}
    while lines and re.match(r"(From|To|Cc|Bcc|Subject|Date|Attachments|Tags): ", lines[0]):
        key, value = lines.pop(0).split(": ", 1)
        headers[key] = value
    body = "\n".join(lines)
    sexp = _run(["mu", "view", "--format=sexp", path]).decode("utf-8")
    high, low = map(int, re.search(r":date \((\d+) (\d+)", sexp).groups())
    reading = Reading(
        "mu",
        subject=headers.get("Subject"),
        body=body.rstrip("\n"),
        date=datetime.fromtimestamp(high * 65536 + low, timezone.utc),
        recipient=headers.get("To"),
        sender=re.search(r':from \(\(:email "([^"]*)"', sexp).group(1),
        message_id=re.search(r':message-id "([^"]*)"', sexp).group(1),
    )
    with tempfile.TemporaryDirectory(prefix="vellipost-mu-") as out:
        _run(["mu", "extract", "--save-all", f"--target-dir={out}", path])
        saved = [data for name, data in _files(out, skip=[r"part-\d+"]).items()]
    if "Attachments" in headers:
        assert len(saved) == 1, f"mu extract saved {len(saved)} attachments"
        reading.attachments[headers["Attachments"]] = saved[0]
    return reading


def munpack(path):
    """The attachment's bytes only: munpack rewrites names and decodes neither RFC 2047 nor
    RFC 2231. Every file it writes but the text part (its ".desc") counts: an empty part it
    writes out as a file of its own is one file too many."""
    with tempfile.TemporaryDirectory(prefix="vellipost-munpack-") as out:
        _run(["munpack", "-q", str(Path(path).resolve())], cwd=out)
        saved = _files(out, skip=[r".*\.desc"])
    assert len(saved) == 1, f"munpack saved {len(saved)} files besides the text: {list(saved)}"
    return Reading("munpack", attachments={None: data for data in saved.values()})


ALL = (python_default, python_compat32, ripmime, mu, munpack)
