"""A private Postfix instance for the duration of a test: real SMTP, real Cyrus SASL.

    from postfix_fixture import running_postfix

    with running_postfix() as postfix:
        # 127.0.0.1:postfix.port; account demo/demo (AUTH PLAIN and LOGIN, no TLS needed);
        # mail for friend@vellipost.test lands in a Maildir, nothing is relayed
        ...send mail...
        [path] = postfix.wait_for_mail(1)

    with running_postfix(tls=True) as postfix:
        # the same, and STARTTLS with a certificate for 127.0.0.1 and localhost from a throwaway
        # CA (postfix.ca_file); AUTH is offered only inside TLS
        ...

Everything lives in one temporary folder: the configuration (`postfix -c` on it), the queue, the
sasldb, the Maildir, the log and, with TLS, the CA and the server's key and certificate. The
system's own Postfix (installed unconfigured by scripts/deps) is neither read nor started. Starting Postfix needs root, as its master does.

Guarantees callers may rely on:
- When running_postfix() yields, the smtpd accepts connections on 127.0.0.1:port.
- Mail is delivered asynchronously after the client has its 250: wait_for_mail() polls for it.
- On leaving the block the instance is stopped, every one of its processes has ended (or is
  killed), and the folder is removed.
"""

import contextlib
import grp
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from pki import SAN_LOCAL, Pki

HOST = "127.0.0.1"
DOMAIN = "vellipost.test"
USER = "demo"
PASSWORD = "demo"
MAILBOX = "friend"
# Postfix's own default, stated so that the tests do not depend on it: 9.8 MiB.
MESSAGE_SIZE_LIMIT = 10240000
WAIT = 60.0

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
meta_directory = /etc/postfix
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file = {root}/maillog
maillog_file_prefixes = {root}
myhostname = mx.{domain}
mydomain = {domain}
myorigin = $myhostname
mydestination =
mynetworks = 127.0.0.1/32
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
smtpd_peername_lookup = no
alias_maps =
alias_database =
local_recipient_maps =
relayhost =
default_transport = error:this server does not relay
relay_transport = error:this server does not relay
smtputf8_enable = no
# Refuse 8-bit headers and undeclared 8-bit bodies (RFC 2045, RFC 6152): what passes here is
# 7-bit clean, as every server takes it.
strict_7bit_headers = yes
strict_8bitmime = yes
strict_8bitmime_body = yes
biff = no
message_size_limit = {size_limit}
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {root}/mail
virtual_mailbox_maps = texthash:{root}/config/mailboxes
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = reject_unlisted_recipient, permit_sasl_authenticated, reject
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_local_domain = {domain}
{tls}"""

TLS_OFF = """\
smtpd_tls_security_level = none
smtpd_tls_auth_only = no
"""

# STARTTLS offered, never required; AUTH only after it. Level 1 logs each TLS connection, so the
# log shows the handshake before the login that the queue line records (sasl_username=).
TLS_ON = """\
smtpd_tls_security_level = may
smtpd_tls_auth_only = yes
smtpd_tls_cert_file = {cert}
smtpd_tls_key_file = {key}
smtpd_tls_loglevel = 1
"""

# chroot off ("n" in the fifth column) everywhere: the services read the folder by its full path.
MASTER_CF = """\
{host}:{port} inet n - n - - smtpd
cleanup   unix  n - n - 0 cleanup
qmgr      unix  n - n 300 1 qmgr
rewrite   unix  - - n - - trivial-rewrite
bounce    unix  - - n - 0 bounce
defer     unix  - - n - 0 bounce
trace     unix  - - n - 0 bounce
verify    unix  - - n - 1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n - - proxymap
showq     unix  n - n - - showq
error     unix  - - n - - error
retry     unix  - - n - - error
discard   unix  - - n - - discard
virtual   unix  - n n - - virtual
anvil     unix  - - n - 1 anvil
scache    unix  - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
tlsmgr    unix  - - n 1000? 1 tlsmgr
"""

# Debian's Postfix has Cyrus SASL look for smtpd.conf in the sasl folder of the configuration.
SMTPD_CONF = """\
pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN
sasldb_path: {root}/sasldb2
"""


def free_port():
    with socket.create_server((HOST, 0)) as probe:
        return probe.getsockname()[1]


class Postfix:
    """A running instance; made by running_postfix()."""

    def __init__(self, root, port):
        self.root = root
        self.port = port
        self.ca_file = None  # the CA that issued the server's certificate, with TLS
        self.config = root / "config"
        self.maildir = root / "mail" / MAILBOX

    def postfix(self, *args):
        return subprocess.run(["postfix", "-c", str(self.config), *args], capture_output=True,
                              text=True, timeout=WAIT)

    def log_lines(self):
        path = self.root / "maillog"
        if not path.exists():
            return []
        return path.read_text(encoding="utf-8", errors="replace").splitlines()

    def settled_log(self):
        """The number of log lines once every connection so far has logged its disconnect, so
        that lines after it belong to connections made later."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            lines = self.log_lines()
            if sum(" connect from " in line for line in lines) == sum(
                    " disconnect from " in line for line in lines):
                return len(lines)
            time.sleep(0.05)
        raise TimeoutError("a connection never ended:\n" + "\n".join(self.log_lines()))

    def wait_for_log(self, predicate, start=0):
        """The first log line from line `start` on that satisfies predicate."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            for line in self.log_lines()[start:]:
                if predicate(line):
                    return line
            time.sleep(0.05)
        raise TimeoutError(f"no such log line in {WAIT} s:\n" + "\n".join(self.log_lines()))

    def mail(self):
        """Delivered messages, oldest first."""
        new = self.maildir / "new"
        return sorted(new.iterdir(), key=lambda p: p.stat().st_mtime_ns) if new.exists() else []

    def wait_for_mail(self, count):
        deadline = time.monotonic() + WAIT
        while len(self.mail()) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.mail()

    def processes(self):
        """Process ids of this instance: each of them has MAIL_CONFIG set to our folder."""
        marker = f"MAIL_CONFIG={self.config}".encode() + b"\0"
        found = []
        for entry in Path("/proc").iterdir():
            if entry.name.isdigit():
                try:
                    if marker in (entry / "environ").read_bytes():
                        found.append(int(entry.name))
                except OSError:
                    pass
        return found

    def _wait_until_listening(self):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                with socket.create_connection((HOST, self.port), timeout=5):
                    return
            except OSError:
                time.sleep(0.05)
        raise TimeoutError("Postfix does not listen:\n" + "\n".join(self.log_lines()))

    def _stop(self):
        self.postfix("stop")
        deadline = time.monotonic() + WAIT
        while self.processes() and time.monotonic() < deadline:
            time.sleep(0.05)
        for pid in self.processes():  # what did not end in time
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, 9)


def _make_certificate(folder):
    """(CA file, server certificate, server key) for 127.0.0.1 and localhost. smtpd reads the
    key while still root, so it stays readable by root alone."""
    folder.mkdir()
    pki = Pki(folder)
    ca_file = pki.ca("postfix-test-ca")
    cert, key = pki.server("postfix", "postfix-test-ca", SAN_LOCAL)
    key.chmod(0o600)
    return ca_file, cert, key


def _configure(root, port, size_limit, tls):
    """Writes the instance's files; returns the CA file with TLS, else None."""
    for folder in ("config/sasl", "queue", "data", "mail"):
        (root / folder).mkdir(parents=True)
    nobody = pwd.getpwnam("nobody")
    owner = pwd.getpwnam("postfix")
    ca_file, tls_lines = None, TLS_OFF
    if tls:
        ca_file, cert, key = _make_certificate(root / "pki")
        tls_lines = TLS_ON.format(cert=cert, key=key)
    values = {"root": root, "domain": DOMAIN, "size_limit": size_limit, "host": HOST,
              "port": port, "uid": nobody.pw_uid, "gid": grp.getgrnam("nogroup").gr_gid,
              "tls": tls_lines}
    (root / "config/main.cf").write_text(MAIN_CF.format(**values))
    (root / "config/master.cf").write_text(MASTER_CF.format(**values))
    (root / "config/mailboxes").write_text(f"{MAILBOX}@{DOMAIN} {MAILBOX}/\n")
    (root / "config/sasl/smtpd.conf").write_text(SMTPD_CONF.format(**values))
    subprocess.run(["saslpasswd2", "-p", "-c", "-f", str(root / "sasldb2"), "-u", DOMAIN, USER],
                   input=PASSWORD.encode(), check=True, timeout=WAIT)
    # smtpd reads the sasldb as the mail owner; the virtual agent writes mail as nobody.
    os.chown(root / "sasldb2", owner.pw_uid, -1)
    os.chown(root / "data", owner.pw_uid, -1)
    os.chown(root / "mail", nobody.pw_uid, -1)
    return ca_file


@contextlib.contextmanager
def running_postfix(size_limit=MESSAGE_SIZE_LIMIT, tls=False):
    """Configure and start an instance on a free port; yield a Postfix; stop it and clean up.
    With tls, the instance offers STARTTLS and AUTH only inside it (see TLS_ON)."""
    root = Path(tempfile.mkdtemp(prefix="vellipost-postfix-"))
    try:
        root.chmod(0o755)  # the daemons give up root and still need to reach their files
        instance = Postfix(root, free_port())
        instance.ca_file = _configure(root, instance.port, size_limit, tls)
        try:
            started = instance.postfix("start")
            if started.returncode != 0:
                raise RuntimeError(f"postfix start failed:\n{started.stderr}")
            instance._wait_until_listening()
            yield instance
        finally:
            instance._stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)
