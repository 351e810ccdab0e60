"""Shared fixtures: run the client in a child Python, a fake `sudo` that
records what it is asked to run, and a private /tmp and /etc/ferm."""

import functools
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FIXTURES = ROOT / "tests" / "fixtures"


# This machine's own sudo is out of every test's reach: a sudo that refuses
# and notes the attempt stands first on the PATH that every child inherits
# (tests that let a command run put a fake of their own before it; the
# sandbox's users have a PATH of their own). An attempt fails the session.
# Each session has its own, beside its basetemp: sessions may run side by side.
SUDO_GUARD_LOG = None


def guard_sudo(basetemp):
    global SUDO_GUARD_LOG
    guard = Path(f"{basetemp}-sudo-guard")
    guard.mkdir(parents=True, exist_ok=True)
    SUDO_GUARD_LOG = guard / "attempts.log"
    SUDO_GUARD_LOG.unlink(missing_ok=True)
    script = guard / "sudo"
    script.write_text('#!/bin/sh\n'
                      f'printf "%s\\n" "$*" >> "{SUDO_GUARD_LOG}"\n'
                      'echo "tests: this machine\'s sudo is not for tests: $*" >&2\n'
                      'exit 1\n')
    script.chmod(0o755)
    os.environ["PATH"] = f"{guard}:{os.environ['PATH']}"


def pytest_configure(config):
    # Keep test files out of /tmp: isolated children mount a private /tmp over it.
    if not config.option.basetemp:
        config.option.basetemp = str(ROOT / "build" / "pytest-tmp")
    config.addinivalue_line("markers", "runs_last: runs after every other test of the session")
    take_terminal_signals()
    guard_sudo(Path(config.option.basetemp).resolve())
    # A session-wide fixture (autouse): the Connect that the last test checks.
    import silent_attempt
    config.pluginmanager.register(silent_attempt, "silent_attempt")


def pytest_sessionfinish(session):
    if SUDO_GUARD_LOG is not None and SUDO_GUARD_LOG.exists():
        print(f"\ntests asked this machine's sudo to run:\n{SUDO_GUARD_LOG.read_text()}", file=sys.stderr)
        session.exitstatus = 1


def pytest_collection_modifyitems(items):
    # A test that waits for something started with the session goes last,
    # so that the wait overlaps the other tests.
    items.sort(key=lambda item: item.get_closest_marker("runs_last") is not None)


def take_terminal_signals():
    """Handles SIGINT and SIGHUP again when they were inherited ignored.

    A run started in the background (`cmd &`, nohup) inherits them ignored,
    and every child would too: the tests' Ctrl+C and hangup would reach
    nobody. Handled signals are reset to their defaults at exec."""
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if signal.getsignal(signal.SIGHUP) == signal.SIG_IGN:
        signal.signal(signal.SIGHUP, lambda number, frame: sys.exit(128 + number))


@functools.cache
def can_isolate():
    """Whether this machine lets us make private mount namespaces (root)."""
    if shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return probe.returncode == 0


needs_isolation = pytest.mark.skipif(
    not can_isolate(), reason="needs root for a private /tmp (unshare --mount)"
)

# Mounts an empty /tmp (and /etc/ferm, when the host has it) private to the
# child, so nothing the client writes there touches this machine.
ISOLATE = [
    "unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
    "mount -t tmpfs tmpfs /tmp && "
    "{ [ ! -d /etc/ferm ] || mount -t tmpfs tmpfs /etc/ferm; } && exec \"$@\"",
    "isolate",
]


# A PID namespace and /proc of its own, where this machine allows it (as
# root): the child sees no other process of the machine (an OpenVPN of a
# sandbox, say).
OWN_PROCESSES = ["unshare", "--pid", "--fork", "--mount-proc"]


def run_python(code, stdin=b"", *, path_prefix=None, env=None, isolate=False, own_processes=False, timeout=60):
    """Runs `code` in a child interpreter with the module importable.

    Output is captured as bytes: text mode would turn "\\r" into "\\n"."""
    child_env = dict(os.environ)
    child_env.pop("PYTHONSTARTUP", None)
    if path_prefix:
        child_env["PATH"] = f"{path_prefix}:{child_env['PATH']}"
    if env:
        child_env.update(env)
    command = [sys.executable, "-c", textwrap.dedent(code)]
    if isolate:
        command = ISOLATE + command
    if own_processes and can_isolate():
        command = OWN_PROCESSES + command
    return subprocess.run(command, input=stdin, capture_output=True, env=child_env, timeout=timeout)


class FakeSudo:
    """A `sudo` first on PATH that records its arguments, one JSON list a line.

    With `execute=True` it then runs them (without any privilege change),
    which is how tests let real bash run a command line."""

    def __init__(self, directory, execute=False, output=""):
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.log = self.directory / "sudo.log"
        script = self.directory / "sudo"
        script.write_text(
            f"#!{sys.executable}\n"
            "import json, os, sys\n"
            f"with open({str(self.log)!r}, 'a') as log:\n"
            "    log.write(json.dumps(sys.argv[1:]) + '\\n')\n"
            f"sys.stdout.write({output!r}); sys.stdout.flush()\n"
            + ("os.execvp(sys.argv[1], sys.argv[1:])\n" if execute else "")
        )
        script.chmod(0o755)

    @property
    def path(self):
        return str(self.directory)

    def calls(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


@pytest.fixture
def fake_sudo(tmp_path):
    return FakeSudo(tmp_path / "fake-sudo")
