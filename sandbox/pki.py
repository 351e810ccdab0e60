"""The sandbox's test PKI, made with the openssl CLI.

A test CA; TLS server certificates for the provider's API host and for the
OpenVPN servers; one client certificate per account whose private key is
encrypted (PKCS#8, AES-256-CBC) with the account's key passphrase, which
OpenVPN asks for through --askpass. EC keys keep generation fast."""

import subprocess
import sys
from pathlib import Path

from .accounts import ACCOUNTS, API_HOST

DAYS = "30"
OTHER_HOST = "other.marnu.example"
COMPLETE_MARKER = "complete-2"

SERVER_EXTENSIONS = (
    "basicConstraints=critical,CA:FALSE",
    "keyUsage=critical,digitalSignature,keyAgreement",
    "extendedKeyUsage=serverAuth",
)
CLIENT_EXTENSIONS = (
    "basicConstraints=critical,CA:FALSE",
    "keyUsage=critical,digitalSignature,keyAgreement",
    "extendedKeyUsage=clientAuth",
)


def _openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, capture_output=True)


def _new_key(path, passphrase=None):
    encryption = [] if passphrase is None else ["-aes-256-cbc", "-pass", "pass:" + passphrase]
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
             *encryption, "-out", str(path))


def _certificate(directory, name, subject, extensions, passphrase=None):
    """Writes NAME.key and NAME.crt, signed by the CA in `directory`."""
    key = directory / f"{name}.key"
    _new_key(key, passphrase)
    passin = [] if passphrase is None else ["-passin", "pass:" + passphrase]
    added = [argument for extension in extensions for argument in ("-addext", extension)]
    _openssl("req", "-new", "-x509", "-key", str(key), *passin, "-subj", subject, "-days", DAYS,
             "-CA", str(directory / "ca.crt"), "-CAkey", str(directory / "ca.key"),
             *added, "-out", str(directory / f"{name}.crt"))


def generate(directory):
    """Creates the PKI in `directory` unless a complete one is already there."""
    directory = Path(directory)
    if (directory / COMPLETE_MARKER).exists():
        return directory
    directory.mkdir(parents=True, exist_ok=True)
    directory.chmod(0o700)
    _new_key(directory / "ca.key")
    _openssl("req", "-new", "-x509", "-key", str(directory / "ca.key"), "-subj", "/CN=Marnu Sandbox Test CA",
             "-days", DAYS, "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", str(directory / "ca.crt"))
    _certificate(directory, "api", f"/CN={API_HOST}",
                 SERVER_EXTENSIONS + (f"subjectAltName=DNS:{API_HOST}",))
    # Signed by the same CA, for another host: the client must still refuse it.
    _certificate(directory, "api-other-name", f"/CN={OTHER_HOST}",
                 SERVER_EXTENSIONS + (f"subjectAltName=DNS:{OTHER_HOST}",))
    _certificate(directory, "vpn-server", "/CN=vpn-server", SERVER_EXTENSIONS)
    for account in ACCOUNTS:
        _certificate(directory, "client-" + account.key_name, f"/CN={account.key_name}",
                     CLIENT_EXTENSIONS, passphrase=account.passphrase)
    (directory / COMPLETE_MARKER).write_text("")
    return directory


if __name__ == "__main__":
    print(generate(sys.argv[1]))
