"""The host's services: Tor's stand-in (microsocks, as debian-tor) and the provider."""

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


def start_provider(pki, project_root):
    """Starts the provider in the internet namespace and waits for its ready line."""
    command = in_internet(sys.executable, "-m", "sandbox.provider", "--pki", str(pki),
                          "--address", PROVIDER_ADDRESS, "--routes", str(PROVIDER_ROUTES),
                          "--certificate-choice", str(PROVIDER_CERTIFICATE_CHOICE),
                          "--log", str(PROVIDER_LOG))
    log = SCRATCH / "logs" / "provider.log"
    with open(log, "ab") as errors:
        process = subprocess.Popen(command, cwd=project_root, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=errors)
    ready = process.stdout.readline()
    process.stdout.close()
    if ready != b"provider ready\n":
        raise RuntimeError("the provider stand-in did not start; see its log: "
                           + log.read_text(errors="replace"))
    return process.pid


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
