"""Throwaway certificates for tests and the benchmark, made with the openssl command: a CA, server
certificates it issues (for any names and validity period) and self-signed ones.

    from pki import SAN_LOCAL, Pki

    pki = Pki(folder)                      # an existing folder that holds every file made
    ca_file = pki.ca("test-ca")            # the PEM file a client trusts
    cert, key = pki.server("server", "test-ca", SAN_LOCAL)

Keys are P-256; certificates are valid from an hour ago for a day unless stated. Removing the
folder removes everything.
"""

import datetime
import os
import subprocess
from pathlib import Path

# The names a loopback server is reached by: the certificate proves it for either.
SAN_LOCAL = "DNS:localhost,IP:127.0.0.1"

CA_CONFIG = """\
[ ca ]
default_ca = this_ca
[ this_ca ]
database = {folder}/{ca}-index.txt
serial = {folder}/{ca}-serial
new_certs_dir = {folder}/{ca}-issued
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[ any_name ]
commonName = supplied
[ server ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = ${{ENV::SAN}}
"""


def asn1_time(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


class Pki:
    """Keys and certificates made with the openssl command in a folder of their own."""

    def __init__(self, folder):
        self.folder = Path(folder)

    def _openssl(self, *args, env=None):
        subprocess.run(
            ["openssl", *args],
            cwd=self.folder,
            check=True,
            capture_output=True,
            env={**os.environ, **(env or {})},
        )

    def _key(self, name):
        self._openssl(
            "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-out", f"{name}.key",
        )
        return self.folder / f"{name}.key"

    def ca(self, name):
        """A CA: its key, its certificate and the bookkeeping `openssl ca` needs."""
        self._key(name)
        self._openssl(
            "req", "-x509", "-new", "-key", f"{name}.key", "-subj", f"/CN={name}", "-days", "2",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-out", f"{name}.pem",
        )
        (self.folder / f"{name}-index.txt").write_text("")
        (self.folder / f"{name}-serial").write_text("01\n")
        (self.folder / f"{name}-issued").mkdir()
        (self.folder / f"{name}.cnf").write_text(CA_CONFIG.format(folder=self.folder, ca=name))
        return self.folder / f"{name}.pem"

    def server(self, name, ca, san, not_before=None, not_after=None):
        """A server certificate (cert, key) for san, issued by ca for the given period."""
        now = datetime.datetime.now(datetime.timezone.utc)
        not_before = not_before or now - datetime.timedelta(hours=1)
        not_after = not_after or now + datetime.timedelta(days=1)
        key = self._key(name)
        self._openssl("req", "-new", "-key", key, "-subj", f"/CN={name}", "-out", f"{name}.csr")
        self._openssl(
            "ca", "-batch", "-notext", "-config", f"{ca}.cnf", "-cert", f"{ca}.pem",
            "-keyfile", f"{ca}.key", "-extensions", "server", "-in", f"{name}.csr",
            "-startdate", asn1_time(not_before), "-enddate", asn1_time(not_after),
            "-out", f"{name}.pem",
            env={"SAN": san},
        )
        return self.folder / f"{name}.pem", key

    def self_signed(self, name, san):
        key = self._key(name)
        self._openssl(
            "req", "-x509", "-new", "-key", key, "-subj", f"/CN={name}", "-days", "2",
            "-addext", f"subjectAltName={san}", "-out", f"{name}.pem",
        )
        return self.folder / f"{name}.pem", key
