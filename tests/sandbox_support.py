"""Pytest support for the simulated Tails host (sandbox/): start one, run
commands and Python snippets inside it, stop it.

Test modules import what they use from here: the `needs_sandbox` and
`plain_sandbox_only` marks, and the fixtures `sandbox_pki` (one test PKI per
session), `sandbox` (one host per session, for tests that leave it as they
found it) and `fresh_sandbox` (a host of its own for one test).

With MARNU_SANDBOX_TAILS=6 or 7 (make test-tails sets it) every host has a
Tails-like system (sandbox/run --tails), booted with systemd as PID 1
(MARNU_SANDBOX_TAILS_FORM=chroot: the chrooted form, sandbox/run --chroot):
the client is the package's, run by that system's Python, and the tests'
commands run inside it unless they ask for this machine's tools (`outer=True`). MARNU_SANDBOX_OPENVPN=apt
installs the package without its Recommends, so that the client's first
Connect installs OpenVPN with the system's real apt; otherwise OpenVPN
comes with the package.

With MARNU_SANDBOX_TOR=real (make test-tor sets it) every host has real Tor
(sandbox/run --tor real): Debian's tor, restarted by its own init script, in
a private Tor network that each host starts, which takes some 20-30 s."""

import ctypes
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from sandbox import launch, pki, user_namespace  # noqa: E402
from sandbox.accounts import HOST_INTERFACE, UPLINK_ADDRESS  # noqa: E402
from sandbox.services import PROVIDER_CERTIFICATE_CHOICE, PROVIDER_LOG, PROVIDER_ROUTES  # noqa: E402

# Under `make sanitize` the interpreter carries AddressSanitizer, whose
# quarantine holds freed memory: resident sizes say nothing there.
SANITIZED = hasattr(ctypes.CDLL(None), "__asan_init")
REAL_TOR = os.environ.get("MARNU_SANDBOX_TOR") == "real"
# A host with real Tor is ready once a request through its Tor has worked.
START_SECONDS = 300 if REAL_TOR else 120
STOP_SECONDS = 60
ENTER = ["nsenter", "--mount", "--net", "--pid", "--uts", "--ipc"]
# The client this test run built, outside a Tails-like system.
CLIENT = str(Path(sys.executable).parent / "marnu-tails-client")

TAILS = os.environ.get("MARNU_SANDBOX_TAILS") or None
OPENVPN_BY_APT = TAILS is not None and os.environ.get("MARNU_SANDBOX_OPENVPN") == "apt"
CHROOTED = TAILS is not None and os.environ.get("MARNU_SANDBOX_TAILS_FORM") == "chroot"
# A Tails-like system that boots: systemd, NetworkManager, journald, logind.
BOOTED = TAILS is not None and not CHROOTED
TAILS_OPTIONS = ["--tails", TAILS, *(["--no-recommends"] if OPENVPN_BY_APT else []),
                 *(["--chroot"] if CHROOTED else [])] if TAILS else []
TOR_OPTIONS = ["--tor", "real"] if REAL_TOR else []


def _unavailable():
    reason = launch.unavailable() or (launch.tor_unavailable() if REAL_TOR else None)
    if reason:
        return reason
    own_user_namespace = user_namespace.ENTER if user_namespace.needed() else []
    probe = subprocess.run([*own_user_namespace, "unshare", "--net", "--mount", "--pid", "--fork", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return "this machine does not allow private namespaces: " + probe.stderr.decode(errors="replace").strip()
    return None


UNAVAILABLE = _unavailable()
needs_sandbox = pytest.mark.skipif(UNAVAILABLE is not None, reason=f"sandbox unavailable: {UNAVAILABLE}")
# For tests of the sandbox itself, or that run this test run's Python inside it.
plain_sandbox_only = pytest.mark.skipif(TAILS is not None, reason="checks the plain sandbox, not a Tails-like system")


class Sandbox:
    """One simulated host, held up by `sandbox/run --hold` until stopped.

    Without a PKI directory the host makes its own; `launcher` goes before
    sandbox/run (to start it as another user, say). The host has the
    Tails-like system that MARNU_SANDBOX_TAILS asks for, if any, and real
    Tor if MARNU_SANDBOX_TOR asks for it."""

    def __init__(self, pki_dir, *options, launcher=()):
        self.pki_dir = None if pki_dir is None else Path(pki_dir)
        # A host may ask for a Tails-like system of its own.
        self.options = (*(() if "--tails" in options else TAILS_OPTIONS), *TOR_OPTIONS, *options)
        self.tails = self.options[self.options.index("--tails") + 1] if "--tails" in self.options else None
        self.booted = self.tails is not None and "--chroot" not in self.options
        # The client as the user starts it: the package's in a Tails-like system.
        self.client = "/usr/bin/marnu-tails-client" if self.tails else CLIENT
        self.launcher_prefix = list(launcher)
        self.launcher = None
        self.host_pid = None
        self.enter = ENTER
        self.errors = tempfile.TemporaryFile(dir=None if pki_dir is None else self.pki_dir.parent)

    def start(self):
        ready_read, ready_write = os.pipe()
        pki_option = [] if self.pki_dir is None else ["--pki", str(self.pki_dir)]
        self.launcher = subprocess.Popen(
            [*self.launcher_prefix, sys.executable, str(ROOT / "sandbox" / "run"), "--hold", *pki_option,
             "--ready-fd", str(ready_write), *self.options],
            pass_fds=[ready_write], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.errors)
        os.close(ready_write)
        try:
            readable, _, _ = select.select([ready_read], [], [], START_SECONDS)
            line = os.read(ready_read, 64) if readable else b""
        finally:
            os.close(ready_read)
        if not line.startswith(b"ready "):
            self.stop()
            self.errors.seek(0)
            output = self.errors.read().decode(errors="replace")
            raise RuntimeError(f"the sandbox did not start: {line!r}\n{output}")
        self.host_pid = int(line.split()[1])
        # Started by an ordinary user, the host has a user namespace of its
        # own, in which its users' ids mean something.
        if os.readlink(f"/proc/{self.host_pid}/ns/user") != os.readlink("/proc/self/ns/user"):
            self.enter = [*ENTER, "--user"]
        return self

    def stop(self):
        if self.launcher is None or self.launcher.poll() is not None:
            return
        self.launcher.send_signal(signal.SIGTERM)
        try:
            self.launcher.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            if self.host_pid is not None:
                os.kill(self.host_pid, signal.SIGKILL)
            self.launcher.wait(STOP_SECONDS)

    def command(self, command, *, user="amnesia", private_tmp=False, system_ca=False, isolated_network=False,
                outer=False):
        """The argument list that runs `command` inside the sandbox as `user`
        (with this machine's tools, not a Tails-like system's, if `outer`)."""
        view = [flag for flag, wanted in (("--private-tmp", private_tmp), ("--system-ca", system_ca),
                                          ("--isolated-network", isolated_network), ("--outer", outer))
                if wanted]
        return [*self.enter, f"--target={self.host_pid}", "--", sys.executable, "-m", "sandbox.enter",
                "--user", user, *view, "--", *command]

    @staticmethod
    def environment():
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": str(ROOT)}

    def run(self, command, *, stdin=b"", timeout=120, **view):
        """Runs a command to its end; stdout and stderr come back as bytes."""
        return subprocess.run(self.command(command, **view), input=stdin, capture_output=True,
                              env=self.environment(), timeout=timeout)

    def spawn(self, command, **options):
        """Starts a command inside; `options` are Popen's, with the view keywords of `command`."""
        view = {name: options.pop(name) for name in ("user", "private_tmp", "system_ca", "isolated_network", "outer")
                if name in options}
        return subprocess.Popen(self.command(command, **view), env=self.environment(), **options)

    def run_python(self, code, **options):
        """Runs a snippet with this test run's Python (the client's module importable)."""
        return self.run([sys.executable, "-c", textwrap.dedent(code)], **options)

    def root(self, shell_command, **options):
        """Runs a shell command as root inside; fails the test if it fails."""
        result = self.run(["sh", "-c", shell_command], user="root", **options)
        assert result.returncode == 0, result.stderr.decode(errors="replace")
        return result.stdout

    def take_network_away(self):
        """The host loses its network, as when a Wi-Fi network goes: in a
        booted system NetworkManager takes it down."""
        if self.booted:
            self.root(f"nmcli device disconnect {HOST_INTERFACE}")
        else:
            self.root(f"ip link set {HOST_INTERFACE} down")

    def give_network_back(self):
        """The network comes back, as NetworkManager brings a Wi-Fi network
        back (in a booted system, NetworkManager itself, which runs Tails'
        dispatcher scripts for it)."""
        if self.booted:
            self.root(f"nmcli device connect {HOST_INTERFACE}")
        else:
            self.root(f"ip link set {HOST_INTERFACE} up && ip route add default via {UPLINK_ADDRESS} dev {HOST_INTERFACE}")

    def journal(self):
        """The booted system's journal, collected as Tails' bug reporter does."""
        return self.root("journalctl --no-pager")

    def set_provider_routes(self, routes):
        """Makes the provider answer the given queries as told (see sandbox/provider.py)."""
        self.root(f"cat > {PROVIDER_ROUTES}", stdin=json.dumps(routes).encode(), outer=True)

    def choose_provider_certificate(self, name):
        """Has the provider show the certificate `name` of the test PKI from now on."""
        self.root(f"echo {name} > {PROVIDER_CERTIFICATE_CHOICE}", outer=True)

    def reset_provider(self):
        self.root(f"rm -f {PROVIDER_ROUTES} {PROVIDER_CERTIFICATE_CHOICE}", outer=True)

    def provider_requests(self):
        """The provider's request log: one dict per request, in order."""
        # The sandbox's own files: outside a booted system's /run.
        log = self.root(f"if [ -e {PROVIDER_LOG} ]; then cat {PROVIDER_LOG}; fi", outer=True)
        return [json.loads(line) for line in log.decode().splitlines()]


# Calls one operation and reports its result (or failure) as JSON on stderr,
# so that stdout holds exactly what the operation printed. Bodies over 1 MiB
# come back as their length only; the peak resident memory comes along.
CALL = """
import json, resource, sys
import marnu_tails_client as client
name, arguments = sys.argv[1], json.loads(sys.argv[2])
try:
    result = getattr(client, name)(*arguments)
    if isinstance(result, bytes):
        outcome = {"bytes": result.hex()} if len(result) <= 1 << 20 else {"bytes_length": len(result)}
    else:
        outcome = {"value": result}
except Exception as failure:
    outcome = {"error": type(failure).__name__, "message": str(failure)}
sys.stdout.flush()
peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
sys.stderr.write(json.dumps({"outcome": outcome, "peak_mib": peak_mib}))
"""


def call(sandbox, name, *arguments, prefix=(), with_peak=False, **view):
    """Runs client.NAME(*arguments) as amnesia in the sandbox: (stdout bytes,
    outcome), and the peak resident memory in MiB when asked. `prefix` goes
    before the interpreter (an environment setting, say)."""
    result = sandbox.run([*prefix, sys.executable, "-c", CALL, name, json.dumps(arguments)], **view)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stderr)
    outcome = report["outcome"]
    if "bytes" in outcome:
        outcome = {"bytes": bytes.fromhex(outcome["bytes"])}
    return (result.stdout, outcome, report["peak_mib"]) if with_peak else (result.stdout, outcome)


@pytest.fixture(scope="session")
def sandbox_pki(tmp_path_factory):
    if UNAVAILABLE:
        pytest.skip(f"sandbox unavailable: {UNAVAILABLE}")
    return pki.generate(tmp_path_factory.mktemp("sandbox-pki"))


@pytest.fixture(scope="session")
def sandbox(sandbox_pki):
    host = Sandbox(sandbox_pki).start()
    yield host
    host.stop()


@pytest.fixture
def fresh_sandbox(sandbox_pki):
    hosts = []

    def start(*options):
        hosts.append(Sandbox(sandbox_pki, *options).start())
        return hosts[-1]

    yield start
    for host in hosts:
        host.stop()
