"""The simulated Tails host (sandbox/) for the figures that need the real
path: microsocks as Tor, the provider's TLS stand-in, OpenVPN servers and
Tails' firewall. One host per figure, stopped when the figure is done."""

import contextlib
import sys
import tempfile
from pathlib import Path

from measure import ROOT

sys.path[:0] = [str(ROOT), str(ROOT / "tests")]

from sandbox import pki  # noqa: E402
from sandbox_support import UNAVAILABLE, Sandbox  # noqa: E402

# Why the host cannot run here (not root, tools missing), or None.
unavailable = UNAVAILABLE


@contextlib.contextmanager
def simulated_host(*options):
    """A started host; `options` go to sandbox/run (--sudo nopasswd, say)."""
    scratch = ROOT / "build" / "bench"
    scratch.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=scratch) as directory:
        host = Sandbox(pki.generate(Path(directory) / "pki"), *options).start()
        try:
            yield host
        finally:
            host.stop()
