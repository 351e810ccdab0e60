"""What a booted Tails-like system (sandbox/tails_boot.py) shows of Tails'
own machinery around the client: NetworkManager's dispatcher scripts, Tor's
restarts and its "has bootstrapped" flag file, failed units, and the
firewall's refusals, which ferm's reloads set back to zero."""

import subprocess
import sys
import time

FLAG_FILE = "/run/tor-has-bootstrapped/done"
FLAG_UNIT = "tails-tor-has-bootstrapped-flag-file.service"


def dispatcher_runs(host, interface):
    """How many times Tails' 10-tor.sh has finished its work for `interface` coming up."""
    return host.root("journalctl --no-pager -o cat -t nm-dispatcher").decode().count(
        f"10-tor.sh: {interface} up: Finished")


def failed_units(host):
    return host.root("systemctl --failed --plain --no-legend").decode().split("\n")[:-1]


def tor_started(host):
    """When Tor last started, in microseconds of the monotonic clock (0 if it is not running)."""
    return int(host.root("systemctl show -p ActiveEnterTimestampMonotonic --value tor@default.service"))


def _flag_is_for_a_tor_since(host, started_after):
    """Whether the flag file exists and was made for a Tor started after `started_after`."""
    shown = host.root(f"systemctl show -p ActiveEnterTimestampMonotonic --value tor@default.service {FLAG_UNIT};"
                      f" test -e {FLAG_FILE} && echo flag || true").decode().split()
    return shown[2:] == ["flag"] and int(shown[1]) >= int(shown[0]) > started_after


def wait_until_bootstrapped_again(host, seconds, started_after, interface=None, runs_before=0):
    """The monotonic time at which Tails says again that Tor has bootstrapped:
    its flag file, made for a Tor started after `started_after` (see
    tor_started); with `interface`, only once the dispatcher has finished
    one more time for it coming up, since it restarts Tor then. Fails with
    the failed units and the journal's end after `seconds`."""
    deadline = time.monotonic() + seconds
    while interface is not None and dispatcher_runs(host, interface) <= runs_before or \
            not _flag_is_for_a_tor_since(host, started_after):
        if time.monotonic() > deadline:
            journal = host.root("journalctl --no-pager -n 40 | grep -v ' Tor\\[' || true").decode(errors="replace")
            raise AssertionError(f"Tor's flag file did not come back in {seconds} s; failed units:"
                                 f" {failed_units(host)}\n{journal}")
        time.sleep(0.1)
    return time.monotonic()


# Reads the firewall's refusal counter every 20 ms until standard input ends,
# then prints the refusals counted: ferm's reloads set the counter to zero,
# and a drop means a reload, after which counting starts again from zero.
WATCH_REFUSALS = r"""
import select, subprocess, sys
total, last = 0, 0
while not select.select([sys.stdin], [], [], 0.02)[0]:
    rows = subprocess.run(["iptables-legacy", "-L", "log_reject", "-v", "-x", "-n"], capture_output=True,
                          text=True).stdout.splitlines()
    now = next((int(row.split()[0]) for row in rows if " REJECT " in row), 0)
    total += now - last if now >= last else now
    last = now
print(total)
"""


class RefusalWatch:
    """Counts the packets Tails' firewall refuses, across ferm's reloads
    (the client's restart and the dispatcher's reload at tun0's "up")."""

    def __init__(self, host):
        self.process = host.spawn([sys.executable, "-c", WATCH_REFUSALS], user="root", outer=True,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def stop(self):
        output, _ = self.process.communicate(b"stop\n", timeout=30)
        return int(output)
