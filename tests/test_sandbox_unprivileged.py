"""The simulated Tails host built by an ordinary user, in a user namespace
of its own: the client connects, the tunnel carries a ping, and Disconnect
puts everything back.

The ordinary user exists only in a private mount namespace that this test
makes as root (tests/ordinary_user.py)."""

import os
import pwd
import subprocess
import sys

import pytest

from dialogue import MENU, RESTARTS, UDP, Dialogue
from host_state import assert_back_to_original, assert_tunnel_up, ping, rules
from ordinary_user import launcher
from sandbox.accounts import ADMIN_PASSWORD
from sandbox_support import ROOT, UNAVAILABLE, Sandbox, plain_sandbox_only

pytestmark = [pytest.mark.skipif(UNAVAILABLE is not None, reason=f"sandbox unavailable: {UNAVAILABLE}"),
              plain_sandbox_only]

FIRST_SUBORDINATE_ID = 100000


def free_uid():
    uid = 4242
    while True:
        try:
            pwd.getpwuid(uid)
        except KeyError:
            return uid
        uid += 1


def why_not(prefix):
    """Why the ordinary user cannot run the sandbox here, or None."""
    if os.geteuid() != 0:
        return "making an ordinary user's view needs root (as an ordinary user, every sandbox test is one)"
    probe = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "unshare", "--user", "--map-root-user", "true"], capture_output=True)
    if probe.returncode != 0:
        return "unprivileged user namespaces are not allowed here: " + probe.stderr.decode(errors="replace")
    check = subprocess.run([*prefix, sys.executable, "-c", "from sandbox import launch; print(launch.unavailable())"],
                           capture_output=True, cwd=ROOT, env={"PATH": os.environ["PATH"], "PYTHONPATH": str(ROOT)})
    reason = check.stdout.decode().strip()
    if check.returncode != 0 or reason != "None":
        return reason or check.stderr.decode(errors="replace")
    return None


@pytest.fixture
def ordinary_host(tmp_path):
    uid = free_uid()
    prefix = launcher(uid, tmp_path)
    reason = why_not(prefix)
    if reason:
        pytest.skip(f"the sandbox cannot run as an ordinary user here: {reason}")
    host = Sandbox(None, launcher=prefix).start()
    yield host, uid
    host.stop()


def outer_pid(host, name):
    """This machine's PID of the host's process called `name`."""
    namespace = os.readlink(f"/proc/{host.host_pid}/ns/pid")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as comm:
                if comm.read().strip() == name and os.readlink(f"/proc/{pid}/ns/pid") == namespace:
                    return int(pid)
        except OSError:
            pass
    raise LookupError(name)


def real_ids(pid):
    """A process's real uid and gid as this machine sees them."""
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["Uid"].split()[0]), int(fields["Gid"].split()[0])


def test_ordinary_user_connects_pings_through_the_tunnel_and_disconnects(ordinary_host):
    host, uid = ordinary_host
    # Nothing of it runs as this machine's root: the host is the user, and
    # the proxy's user is one of the user's subordinate ids.
    assert real_ids(host.host_pid) == (uid, uid)
    # (Where Debian's tor is installed, debian-tor's group id is not its user id.)
    tor_ids = [int(host.root(f"id -{which} debian-tor").decode()) for which in "ug"]
    proxy = outer_pid(host, "microsocks")
    # Ids 1, 2, ... of the namespace are the subordinate ids 100000, 100001, ...
    assert real_ids(proxy) == tuple(FIRST_SUBORDINATE_ID + tor_id - 1 for tor_id in tor_ids)
    assert host.run(["sh", "-c", "id -u; sudo -S -p '' id -u"],
                    stdin=ADMIN_PASSWORD.encode() + b"\n").stdout == b"1000\n0\n"

    original = rules(host)
    assert not ping(host, UDP.tunnel_address)
    dialogue = Dialogue(host)
    try:
        dialogue.start()
        dialogue.log_in("alice", "wonderland")
        dialogue.expect(b"[+] Authentication successful.\n")
        dialogue.connect(UDP)
        assert_tunnel_up(host, UDP, original)
        dialogue.type(b"2")
        dialogue.expect(RESTARTS + MENU)
        assert_back_to_original(host, original)
        assert not ping(host, UDP.tunnel_address)
        assert dialogue.quit() == 0
    finally:
        dialogue.close()
