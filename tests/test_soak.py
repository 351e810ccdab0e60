"""One run of the client in the simulated Tails host, thirty Connects and
Disconnects long: every cycle's console text is checked byte for byte, and
afterwards the host and the client's process are as they were before the
first Connect.

The checks read the client's process from inside the host, as root: its
open descriptors, threads and resident memory, the namespace's zombies, and
what /tmp holds. The memory baseline is taken after the first cycle, so that
one-time allocations of the first Connect do not count as growth."""

import json
import sys
import time

from dialogue import MENU, RESTARTS, TCP, UDP
from dialogue import dialogue_on  # noqa: F401
from host_state import assert_back_to_original, rules
from sandbox_support import CLIENT, SANITIZED, fresh_sandbox, needs_sandbox, plain_sandbox_only, sandbox_pki  # noqa: F401

pytestmark = [needs_sandbox, plain_sandbox_only]

CYCLES = 30
RSS_GROWTH_LIMIT_KIB = 1024
# Disconnect's killall returns before OpenVPN has ended; the shell above it,
# and the thread that drained its output, end a moment later. What never ends
# is still there after this long.
SETTLE_SECONDS = 20
# What a Connect leaves in /tmp for good: the key bundle's files and the profile.
CONNECT_FILES = ["alice.crt", "alice.key", "ca.crt", "config.ovpn"]

# Runs as root inside the host with the client's path as its argument; prints
# as JSON the client's process (found as the Python running the launcher as
# amnesia), the namespace's OpenVPN clients and zombies, and what /tmp holds.
SURVEY = r"""
import json, os, pwd, sys

client_path = sys.argv[1]
amnesia = pwd.getpwnam("amnesia").pw_uid


def status(pid):
    with open(f"/proc/{pid}/status") as lines:
        return dict(line.rstrip("\n").split(":\t", 1) for line in lines if ":\t" in line)


clients, openvpn, zombies = [], [], []
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            argv = cmdline.read().split(b"\0")
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read()
        # The command name is in brackets and may hold anything: the state follows the last ")".
        name = fields[fields.index("(") + 1 : fields.rindex(")")]
        state, ppid = fields[fields.rindex(")") + 2:].split()[:2]
        if name == "openvpn":
            openvpn.append(int(pid))
        if state == "Z":
            zombies.append(f"{pid} ({name}) of {ppid}")
        if argv[1:2] == [client_path.encode()] and int(status(pid)["Uid"].split()[0]) == amnesia:
            fd_dir = f"/proc/{pid}/fd"
            fds = {int(fd): os.readlink(f"{fd_dir}/{fd}") for fd in os.listdir(fd_dir)}
            clients.append({"pid": int(pid), "fds": sorted(fds), "fd_targets": fds,
                            "threads": len(os.listdir(f"/proc/{pid}/task")),
                            "rss_kib": int(status(pid)["VmRSS"].split()[0])})
    except (FileNotFoundError, ProcessLookupError):  # ended while we looked
        pass
print(json.dumps({"clients": clients, "openvpn": openvpn, "zombies": zombies, "tmp": sorted(os.listdir("/tmp"))}))
"""


def survey(host):
    result = host.run([sys.executable, "-c", SURVEY, CLIENT], user="root")
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def settled_survey(host, threads):
    """A survey once no OpenVPN client, zombie, descriptor beyond the standard
    streams or thread beyond `threads` is left, or the last one after SETTLE_SECONDS."""
    deadline = time.monotonic() + SETTLE_SECONDS
    while True:
        state = survey(host)
        quiet = all(client["fds"] == [0, 1, 2] and client["threads"] == threads for client in state["clients"])
        if (quiet and not state["openvpn"] and not state["zombies"]) or time.monotonic() > deadline:
            return state


def the_client(state):
    assert len(state["clients"]) == 1, state["clients"]
    return state["clients"][0]


def cycle(dialogue, server):
    """Connect to `server` and Disconnect, from the plain menu back to it."""
    dialogue.connect(server)
    dialogue.type(b"2")
    dialogue.expect(RESTARTS + MENU)


def test_thirty_connects_and_disconnects_leave_nothing_behind(fresh_sandbox, dialogue_on):
    host = fresh_sandbox()
    original_rules = rules(host)
    dialogue = dialogue_on(host)
    before = survey(host)
    first = the_client(before)
    # Python at the menu holds its standard streams and nothing else.
    assert first["fds"] == [0, 1, 2], first["fd_targets"]
    assert before["openvpn"] == [] and before["zombies"] == []
    assert not set(CONNECT_FILES) & set(before["tmp"]), before["tmp"]

    dialogue.log_in("alice", "wonderland")
    dialogue.expect(b"[+] Authentication successful.\n")
    cycle(dialogue, UDP)
    baseline = the_client(settled_survey(host, first["threads"]))
    for number in range(2, CYCLES + 1):
        dialogue.type(b"1")
        cycle(dialogue, UDP if number % 2 else TCP)

    # sudo asked at every Connect and Disconnect, as Tails' sudo does.
    assert len(dialogue.sudo_prompts) == 2 * CYCLES
    after = settled_survey(host, first["threads"])
    last = the_client(after)
    assert last["pid"] == first["pid"]
    assert last["fds"] == [0, 1, 2], last["fd_targets"]
    # Each tunnel's output was drained by a thread of its own, which ends with OpenVPN.
    assert last["threads"] == first["threads"]
    assert after["openvpn"] == [] and after["zombies"] == [], after
    assert after["tmp"] == sorted(before["tmp"] + CONNECT_FILES)
    assert_back_to_original(host, original_rules)
    growth = last["rss_kib"] - baseline["rss_kib"]
    print(f"\nclient: descriptors {last['fds']}, threads {last['threads']}; VmRSS {first['rss_kib']} KiB at the "
          f"first menu, {baseline['rss_kib']} KiB after cycle 1, {last['rss_kib']} KiB after cycle {CYCLES} "
          f"({growth:+d} KiB{', under a sanitizer: no bound' if SANITIZED else ''})")
    # Under AddressSanitizer resident memory holds its quarantine of freed
    # blocks and its own records, megabytes a cycle: the bound is for the
    # plain build.
    if not SANITIZED:
        assert growth < RSS_GROWTH_LIMIT_KIB

    assert dialogue.quit() == 0
    assert dialogue.terminal.output[dialogue.seen:] == b""
    ended = settled_survey(host, first["threads"])
    assert ended["clients"] == []
    assert ended["openvpn"] == [] and ended["zombies"] == [], ended
    assert ended["tmp"] == after["tmp"]
    assert_back_to_original(host, original_rules)
