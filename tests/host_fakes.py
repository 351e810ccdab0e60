"""Stand-ins for the host's tools, and code for the start of an isolated
child (conftest.run_python(..., isolate=True)) that lets real bash run the
client's root command lines without touching this machine."""

import json
from pathlib import Path

from conftest import FakeSudo

# Python for the start of an isolated child. Every helper changes only the
# child's private mount or network namespace, and refuses to run elsewhere.
PRELUDE = r'''
import ctypes, json, os, shutil, subprocess, sys, time

def ensure_isolated():
    """Stops unless this child has a mount namespace of its own."""
    # Without a parent in sight, this is the first process of a PID
    # namespace of its own, whose /proc needed a mount namespace of its own.
    own = os.readlink("/proc/self/ns/mnt")
    if os.getppid() != 0 and own == os.readlink(f"/proc/{os.getppid()}/ns/mnt"):
        sys.exit("refusing to run: not in a private mount namespace")
    if not os.path.ismount("/tmp") or not os.path.ismount("/etc/ferm"):
        sys.exit("refusing to run: /tmp and /etc/ferm are not private")

def private_network():
    if ctypes.CDLL(None, use_errno=True).unshare(0x40000000) != 0:  # CLONE_NEWNET
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")

def openvpn_at_usr_sbin(present):
    """An empty /usr/sbin, holding only a placeholder openvpn when `present`."""
    ensure_isolated()
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/usr/sbin"], check=True)
    if present:
        with open("/usr/sbin/openvpn", "w"):
            pass
        os.chmod("/usr/sbin/openvpn", 0o755)

def systemd_running():
    """/run/systemd/system, by which scripts tell that systemd runs, in an empty /run."""
    ensure_isolated()
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    os.makedirs("/run/systemd/system")

def init_scripts(directory):
    ensure_isolated()
    subprocess.run(["mount", "--bind", directory, "/etc/init.d"], check=True)

def require_fake_sudo(directory):
    found = shutil.which("sudo")
    if found != os.path.join(directory, "sudo"):
        sys.exit(f"refusing to run: sudo is {found}")

def wait_until(condition, what, seconds=60):
    """A deadline for failing, not a delay for passing."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"gave up waiting: {what}")
        time.sleep(0.05)

def snapshot(paths, out):
    """Each path's bytes (as latin-1 text), its link target, "directory" or None."""
    result = {}
    for path in paths:
        if os.path.islink(path):
            result[path] = {"link": os.readlink(path)}
        elif os.path.isdir(path):
            result[path] = {"directory": sorted(os.listdir(path))}
        elif os.path.exists(path):
            with open(path, "rb") as f:
                result[path] = f.read().decode("latin-1")
        else:
            result[path] = None
    with open(out, "w") as f:
        json.dump(result, f)
'''


def load_snapshot(path):
    def value(entry):
        return entry.encode("latin-1") if isinstance(entry, str) else entry
    return {name: value(entry) for name, entry in json.loads(Path(path).read_text()).items()}


def write_script(path, text):
    path = Path(path)
    path.write_text(text)
    path.chmod(0o755)
    return path


class FakeHost:
    """A PATH directory with sudo (which runs what it is given), openvpn,
    killall, apt and apt-get, and a directory of init scripts; each logs its
    call to `log`. The fake openvpn copies its askpass file to `askpass`
    and its arguments, one a line, to `openvpn_args`, prints $OPENVPN_SAYS
    when that is set, and ends with status 0. Tor's init script ends with
    `tor_restart_status`. Without `network_manager` there is no
    NetworkManager init script, as on Tails 6 and 7; with `systemd`, systemd
    runs (as far as /run/systemd/system tells), and systemctl is a fake too."""

    def __init__(self, directory, tor_restart_status=0, network_manager=True, systemd=False):
        self.systemd = systemd
        directory = Path(directory)
        self.log = directory / "host.log"
        self.askpass = directory / "askpass"
        self.openvpn_args = directory / "openvpn-args"
        self.sudo = FakeSudo(directory / "bin", execute=True)
        self.bin = self.sudo.path
        self.init_d = directory / "init.d"
        self.init_d.mkdir()
        write_script(Path(self.bin) / "openvpn", f"""#!/bin/sh
echo "openvpn $*" >> '{self.log}'
printf '%s\\n' "$@" > '{self.openvpn_args}'
while [ $# -gt 0 ]; do
  [ "$1" = --askpass ] && cat "$2" > '{self.askpass}'
  shift
done
[ -z "$OPENVPN_SAYS" ] || printf '%s\\n' "$OPENVPN_SAYS"
exit 0
""")
        for tool, status in (("killall", 1), ("apt", 1), ("apt-get", 1), ("systemctl", 0)):
            write_script(Path(self.bin) / tool, f"#!/bin/sh\necho \"{tool} $*\" >> '{self.log}'\nexit {status}\n")
        scripts = (("network-manager", 0),) if network_manager else ()
        for script, status in (*scripts, ("ferm", 0), ("tor", tor_restart_status)):
            write_script(self.init_d / script, f"#!/bin/sh\necho \"$0 $*\" >> '{self.log}'\nexit {status}\n")

    def setup_code(self):
        """Child code that puts the fakes in place of the host's tools."""
        return (
            f"require_fake_sudo({self.bin!r})\n"
            "private_network()\n"
            "openvpn_at_usr_sbin(present=True)\n"
            f"init_scripts({str(self.init_d)!r})\n"
            + ("systemd_running()\n" if self.systemd else "")
        )

    def calls(self):
        return self.log.read_text().splitlines() if self.log.exists() else []
