"""Processes of the sandbox, started and stopped by PID.

The sandbox's first process is PID 1 of a private PID namespace: it reaps
every orphan, and at the end it stops every process the namespace holds
(its /proc shows nothing else), politely first."""

import os
import signal
import subprocess
import time

GRACE_SECONDS = 5.0


class Shutdown(Exception):
    """Raised from a signal handler to end the sandbox."""


def _raise_shutdown(signum, _frame):
    raise Shutdown(signal.Signals(signum).name)


def stop_on_signals():
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, _raise_shutdown)


def spawn(command, log=None, **options):
    """Starts a background process; its output goes to `log`."""
    output = subprocess.DEVNULL if log is None else open(log, "ab")
    try:
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                **options).pid
    finally:
        if log is not None:
            output.close()


def reap_until(pid):
    """Waits for `pid` to end, reaping any other child on the way; returns its status."""
    while True:
        try:
            ended, status = os.waitpid(-1, 0)
        except ChildProcessError:
            return None
        if ended == pid:
            return os.waitstatus_to_exitcode(status)


def _reap_ready():
    while True:
        try:
            ended, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if ended == 0:
            return


def namespace_pids():
    """Every process of this PID namespace except this one."""
    own = os.getpid()
    return [int(name) for name in os.listdir("/proc") if name.isdigit() and int(name) != own]


def _signal_all(pids, signum):
    for pid in pids:
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


def stop_everything():
    """Stops every other process of the namespace: SIGTERM, then SIGKILL after a grace time."""
    pids = namespace_pids()
    _signal_all(pids, signal.SIGTERM)
    deadline = time.monotonic() + GRACE_SECONDS
    while namespace_pids() and time.monotonic() < deadline:
        _reap_ready()
        time.sleep(0.05)
    _signal_all(namespace_pids(), signal.SIGKILL)
    # Whatever still shows up after this is killed by the kernel when PID 1 ends.
    deadline = time.monotonic() + GRACE_SECONDS
    while namespace_pids() and time.monotonic() < deadline:
        _reap_ready()
        time.sleep(0.01)
