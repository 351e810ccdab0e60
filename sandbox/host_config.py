"""The simulated Tails host's configuration, written into the private /etc copy."""

from pathlib import Path

from .accounts import API_HOST, PROVIDER_ADDRESS
from .filesystem import SCRATCH

SANDBOX_DIR = Path(__file__).resolve().parent
TAILS_FERM_CONF = SANDBOX_DIR.parent.parent / "shared" / "fixtures" / "tails-ferm.conf"
CA_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
# The machine's own bundle, kept for tests that need the test CA untrusted.
SYSTEM_CA_BUNDLE = SCRATCH / "system-ca-certificates.crt"
INIT_LOG = SCRATCH / "init-scripts.log"
HOSTNAME = "localhost"
# Root's commands look here first: the apt, apt-get and pip3 stand-ins.
ROOT_SBIN = SCRATCH / "sbin"

SUDOERS = f"""\
Defaults	env_reset
Defaults	mail_badpass
Defaults	secure_path="{ROOT_SBIN}:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
Defaults	use_pty
# Nothing goes to this machine's syslog.
Defaults	!syslog
root	ALL=(ALL:ALL) ALL
amnesia	ALL=(ALL:ALL) NOPASSWD: ALL
"""

HOSTS = f"""\
127.0.0.1	localhost
::1	localhost ip6-localhost ip6-loopback
{PROVIDER_ADDRESS}	{API_HOST}
"""

# Debian's /etc/init.d/ferm sources this file with its own arguments, which
# lets the sandbox log the restarts in order with the stand-ins' own.
DEFAULT_FERM = f"""\
# configuration for /etc/init.d/ferm (sandbox)
FAST=yes
CACHE=no
OPTIONS=
ENABLED="yes"
echo "ferm $1" >> {INIT_LOG}
"""


def init_script_stand_in(name):
    return f"""\
#!/bin/sh
# Sandbox stand-in for Tails' {name} init script: logs the call, changes nothing.
echo "{name} $*" >> {INIT_LOG}
echo "[sandbox] /etc/init.d/{name} $*: stand-in, nothing to do."
"""


def write(path, text, mode=0o644):
    path = Path(path)
    if path.is_symlink():
        path.unlink()
    path.write_text(text)
    path.chmod(mode)


def configure(etc, pki):
    """Writes every file the simulated host needs under `etc` (the private /etc)."""
    etc = Path(etc)
    write(etc / "hosts", HOSTS)
    write(etc / "hostname", HOSTNAME + "\n")
    write(etc / "sudoers", SUDOERS, 0o440)
    write(etc / "default" / "ferm", DEFAULT_FERM)
    (etc / "ferm").mkdir(exist_ok=True)
    write(etc / "ferm" / "ferm.conf", TAILS_FERM_CONF.read_text())
    for name in ("network-manager", "tor"):
        write(etc / "init.d" / name, init_script_stand_in(name), 0o755)
    bundle = etc / "ssl" / "certs" / "ca-certificates.crt"
    system = bundle.read_bytes() if bundle.exists() else b""
    SYSTEM_CA_BUNDLE.write_bytes(system)
    write(bundle, system.decode() + (Path(pki) / "ca.crt").read_text())
    write(INIT_LOG, "", 0o644)
