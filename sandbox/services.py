"""The host's services: Tor's stand-in (microsocks, as debian-tor), the
provider and, with real Tor, the internet's DNS server."""

import pwd
import socket
import subprocess
import sys
import time

from .accounts import PROVIDER_ADDRESS
from .filesystem import SCRATCH
from .network import in_internet
from .processes import spawn

SOCKS_ADDRESS = ("127.0.0.1", 9050)
PROVIDER_LOG = SCRATCH / "logs" / "provider-requests.jsonl"
PROVIDER_ROUTES = SCRATCH / "provider-routes.json"
# "api-other-name" here makes the provider show a certificate for another host.
PROVIDER_CERTIFICATE_CHOICE = SCRATCH / "provider-certificate"
START_SECONDS = 30.0


def _start_in_internet(name, arguments, project_root):
    """Starts `python -m sandbox.NAME ARGUMENTS` in the internet namespace
    and waits for its ready line; its errors go to logs/NAME.log."""
    command = in_internet(sys.executable, "-m", f"sandbox.{name}", *arguments)
    log = SCRATCH / "logs" / f"{name}.log"
    with open(log, "ab") as errors:
        process = subprocess.Popen(command, cwd=project_root, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=errors)
    ready = process.stdout.readline()
    process.stdout.close()
    if ready != f"{name} ready\n".encode():
        raise RuntimeError(f"the {name} stand-in did not start; see its log: " + log.read_text(errors="replace"))
    return process.pid


def start_provider(pki, project_root):
    """Starts the provider in the internet namespace and waits until it listens."""
    return _start_in_internet("provider", ["--pki", str(pki), "--address", PROVIDER_ADDRESS,
                                           "--routes", str(PROVIDER_ROUTES),
                                           "--certificate-choice", str(PROVIDER_CERTIFICATE_CHOICE),
                                           "--log", str(PROVIDER_LOG)], project_root)


def start_resolver(address, records, project_root):
    """Starts the internet's DNS server on `address`, answering `records` ({name: IPv4 address})."""
    return _start_in_internet("resolver", ["--address", address,
                                           *(f"--record={name}={ip}" for name, ip in records.items())],
                              project_root)


def start_socks_proxy(tor_ids=None):
    """microsocks on 127.0.0.1:9050 as Tor's user, as Tor itself runs on
    Tails: debian-tor of this view, or the given (uid, gid)."""
    if tor_ids is None:
        tor = pwd.getpwnam("debian-tor")
        tor_ids = tor.pw_uid, tor.pw_gid
    pid = spawn(["microsocks", "-i", SOCKS_ADDRESS[0], "-p", str(SOCKS_ADDRESS[1])],
                log=SCRATCH / "logs" / "microsocks.log", user=tor_ids[0], group=tor_ids[1], extra_groups=[])
    _wait_for_port(SOCKS_ADDRESS, "microsocks")
    return pid


def _wait_for_port(address, name):
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        try:
            socket.create_connection(address, timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"{name} is not listening on {address[0]}:{address[1]}")
