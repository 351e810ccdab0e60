"""The simulated Tails host's configuration, written into the private /etc copy."""

from pathlib import Path

from .accounts import API_HOST, PROVIDER_ADDRESS
from .filesystem import SCRATCH

SANDBOX_DIR = Path(__file__).resolve().parent
TAILS_FERM_CONF = SANDBOX_DIR.parent / "tests" / "fixtures" / "tails-ferm.conf"
CA_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
# The machine's own bundle, kept for tests that need the test CA untrusted.
SYSTEM_CA_BUNDLE = SCRATCH / "system-ca-certificates.crt"
# The stand-ins, and ferm's init script through /etc/default/ferm, log each call here in order.
CALL_LOG = SCRATCH / "host-calls.log"
# What sudo logs: on Tails the journal, which bug reports attach.
SUDO_LOG = SCRATCH / "logs" / "sudo.log"
HOSTNAME = "localhost"
# Root's commands look here first: the apt, apt-get and pip3 stand-ins
# (not in a Tails-like system, where the real ones run).
ROOT_SBIN = SCRATCH / "sbin"
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# A copy of the OpenVPN binary, for the apt-get stand-in to "install".
OPENVPN_PACKAGE = SCRATCH / "openvpn-package" / "openvpn"
OPENVPN = Path("/usr/sbin/openvpn")

# How sudo treats amnesia (sandbox/run --sudo): as on Tails with an
# administration password set at the Welcome Screen (asked at every call), as
# on Tails without one (amnesia is not in sudoers at all), or without asking.
SUDO_MODES = ("password", "refuse", "nopasswd")

SUDOERS = """\
Defaults	env_reset
Defaults	mail_badpass
Defaults	secure_path="{path}"
Defaults	use_pty
# Nothing goes to this machine's syslog. What Tails' journal would hold of
# sudo (every command line it runs, whole) goes to a file of the sandbox.
Defaults	!syslog
Defaults	logfile="{log}"
Defaults	loglinelen=0
# Tails' /etc/sudoers.d/always-ask-password: no grace time between calls.
Defaults	timestamp_timeout=0
root	ALL=(ALL:ALL) ALL
"""
AMNESIA_SUDOERS = {
    "password": "amnesia\tALL = (ALL) ALL\n",
    "refuse": "",
    "nopasswd": "amnesia\tALL=(ALL:ALL) NOPASSWD: ALL\n",
}


def root_path(stand_ins=True):
    """Root's PATH, and sudo's secure_path."""
    return f"{ROOT_SBIN}:{SYSTEM_PATH}" if stand_ins else SYSTEM_PATH


def sudoers(mode, stand_ins=True):
    return SUDOERS.format(path=root_path(stand_ins), log=SUDO_LOG) + AMNESIA_SUDOERS[mode]


HOSTS = f"""\
127.0.0.1	localhost
::1	localhost ip6-localhost ip6-loopback
{PROVIDER_ADDRESS}	{API_HOST}
"""

# Debian's /etc/init.d/ferm sources this file with its own arguments, which
# lets the sandbox log the restarts in order with the stand-ins' own.
DEFAULT_FERM_SETTINGS = """\
# configuration for /etc/init.d/ferm (sandbox)
FAST=yes
CACHE=no
OPTIONS=
ENABLED="yes"
"""
DEFAULT_FERM = DEFAULT_FERM_SETTINGS + f"""\
echo "ferm $1" >> {CALL_LOG}
"""


def init_script_stand_in(name):
    return f"""\
#!/bin/sh
# Sandbox stand-in for Tails' {name} init script: logs the call, changes nothing.
echo "{name} $*" >> {CALL_LOG}
echo "[sandbox] /etc/init.d/{name} $*: stand-in, nothing to do."
"""


# Package tools would change this machine's /var: the sandbox installs
# nothing but OpenVPN (when a test has hidden it) and says so.
APT_STAND_IN = f"""\
#!/bin/sh
# Sandbox stand-in for apt: logs the call, fetches nothing.
echo "apt $*" >> {CALL_LOG}
echo "[sandbox] apt $*: stand-in, no package index is fetched."
"""

APT_GET_STAND_IN = f"""\
#!/bin/sh
# Sandbox stand-in for apt-get: "installs" openvpn from the sandbox's copy.
echo "apt-get $*" >> {CALL_LOG}
if [ "$*" = "-qq install openvpn" ]; then
  [ -e {OPENVPN} ] || cp {OPENVPN_PACKAGE} {OPENVPN}
  exit 0
fi
echo "[sandbox] apt-get $*: the sandbox installs nothing but openvpn." >&2
exit 100
"""

PIP3_STAND_IN = f"""\
#!/bin/sh
# Sandbox stand-in for pip3: installs nothing.
echo "pip3 $*" >> {CALL_LOG}
echo "[sandbox] pip3 $*: the sandbox installs nothing." >&2
exit 1
"""


def write(path, text, mode=0o644):
    path = Path(path)
    if path.is_symlink():
        path.unlink()
    path.write_text(text)
    path.chmod(mode)


def configure(etc, pki, sudo_mode, tails_like=False, real_tor=False, booted=False):
    """Writes every file the simulated host needs under `etc` (the private
    /etc, or a Tails-like system's, in which the real package tools run and
    there is no NetworkManager init script). With real Tor, or in a system
    that boots (whose sudoers, init scripts and call log sandbox/tails_boot.py
    sets up), Debian's /etc/init.d/tor stays."""
    etc = Path(etc)
    write(etc / "hosts", HOSTS)
    write(etc / "hostname", HOSTNAME + "\n")
    if not booted:
        write(etc / "sudoers", sudoers(sudo_mode, stand_ins=not tails_like), 0o440)
    write(etc / "default" / "ferm", DEFAULT_FERM_SETTINGS if booted else DEFAULT_FERM)
    (etc / "ferm").mkdir(exist_ok=True)
    # Debian makes /etc/ferm root:adm 2750; the client reads ferm.conf as
    # amnesia, which Tails' own layout allows.
    (etc / "ferm").chmod(0o755)
    write(etc / "ferm" / "ferm.conf", TAILS_FERM_CONF.read_text())
    stand_ins = ([] if tails_like else ["network-manager"]) + ([] if real_tor or booted else ["tor"])
    for name in stand_ins:
        write(etc / "init.d" / name, init_script_stand_in(name), 0o755)
    bundle = etc / "ssl" / "certs" / "ca-certificates.crt"
    system = bundle.read_bytes() if bundle.exists() else b""
    SYSTEM_CA_BUNDLE.write_bytes(system)
    write(bundle, system.decode() + (Path(pki) / "ca.crt").read_text())
    if not tails_like:
        for name, text in (("apt", APT_STAND_IN), ("apt-get", APT_GET_STAND_IN), ("pip3", PIP3_STAND_IN)):
            write(ROOT_SBIN / name, text, 0o755)
    if not booted:
        write(CALL_LOG, "", 0o644)
