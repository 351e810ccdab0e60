"""Figure 2 (bench/startup.py: start-up to the menu prompt, and peak memory
there) in the Tails-like systems, with each system's own python3 and the
package `make dist` built for it, and again with the portable bundle
unpacked into the Persistent Folder of a system without the package (in one
host, measured in the next); and how long
the package's offline installation takes there (apt-get install ./PKG.deb,
with and without its Recommends, each the median of five into a fresh layer
over the cached root; the package index is read beforehand).

    python bench/tails.py [6] [7]      (as root, after make dist)

The figure's code is handed to the system's python3 as it is, and runs
there as amnesia. (Figure 1 compares with requests and PySocks, which a
Tails-like system does not have.)"""

import json
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from measure import BENCH, ROOT, Row
from run import print_table

sys.path.insert(0, str(ROOT))

from sandbox import tails_root  # noqa: E402
from sandbox.users import AMNESIA_UID  # noqa: E402

# Loads measure.py and startup.py from their texts, as modules of those names,
# and measures figure 2 as bench/run.py would; the rows come back as JSON.
MEASURE = """
import json, sys, types
for name, text in json.loads(sys.argv[1]).items():
    module = types.ModuleType(name)
    module.__file__ = "/nonexistent/" + name + ".py"
    sys.modules[name] = module
    exec(compile(text, name + ".py", "exec"), module.__dict__)
startup = sys.modules["startup"]
if len(sys.argv) > 2:  # the portable bundle's command instead of the package's
    startup.LAUNCHER = sys.argv[2]
rows = startup.menu_prompt(30)
print(json.dumps([dict(row.as_json(), note=row.note) for row in rows]))
"""


# Where the bundle is unpacked, and its command.
PERSISTENT = "/home/amnesia/Persistent"
BUNDLE_COMMAND = f"{PERSISTENT}/marnu-tails-client/marnu-tails-client"


def bundle(major):
    found = sorted((tails_root.DIST / f"tails{major}").glob("marnu-tails-client-*.tar.gz"))
    if not found:
        raise SystemExit(f"no bundle in dist/tails{major}: run make dist first")
    return found[-1]


def in_system(major, *command, persistent=None):
    options = ["--no-package", "--persistent", str(persistent)] if persistent else []
    return subprocess.run([sys.executable, str(ROOT / "sandbox" / "run"), "--tails", major, *options, "--",
                           *command], capture_output=True, text=True)


def figures_in(major, persistent=None):
    """Figure 2 with the package's command, or with the bundle's in `persistent`."""
    sources = json.dumps({name: (BENCH / f"{name}.py").read_text() for name in ("measure", "startup")})
    result = in_system(major, "python3", "-c", MEASURE, sources, *([BUNDLE_COMMAND] if persistent else []),
                       persistent=persistent)
    if result.returncode != 0:
        raise SystemExit(f"figure 2 failed in Tails {major}:\n{result.stderr}")
    return [Row(row["figure"], row["ours"], row["peer"], row["goal"], lambda *_, met=row["met"]: met, row["note"])
            for row in json.loads(result.stdout)]


def install_seconds(major, recommends, rounds=5):
    """The median of `rounds` offline installations, each into a fresh layer over the cached root."""
    deb = tails_root.default_package(major).resolve()
    root = tails_root.root_for(major)
    times = []
    with tempfile.TemporaryDirectory(dir=root.parent.parent) as scratch:
        for number in range(rounds):
            times.append(tails_root.install_layer(root, deb, recommends, Path(scratch) / str(number)))
    return statistics.median(times)


def bundle_figures(major):
    """The bundle downloaded into the Persistent Folder and unpacked there by
    amnesia in one host; figure 2 from there in the next."""
    with tempfile.TemporaryDirectory(dir=ROOT / "build") as scratch:
        persistent = Path(scratch) / "Persistent"
        persistent.mkdir(mode=0o700)
        shutil.copy(bundle(major), persistent)
        shutil.chown(persistent, AMNESIA_UID, AMNESIA_UID)
        unpacked = in_system(major, "tar", "-xzf", f"{PERSISTENT}/{bundle(major).name}", "-C", PERSISTENT,
                             persistent=persistent)
        if unpacked.returncode != 0:
            raise SystemExit(f"unpacking the bundle failed in Tails {major}:\n{unpacked.stderr}")
        return figures_in(major, persistent)


def main():
    majors = sys.argv[1:] or sorted(tails_root.RELEASES)
    for major in majors:
        python = subprocess.run([sys.executable, str(ROOT / "sandbox" / "run"), "--tails", major, "--",
                                 "python3", "--version"], capture_output=True, text=True, check=True).stdout.strip()
        print(f"\nTails {major} (Debian {tails_root.RELEASES[major]}, {python}):")
        for recommends in (True, False):
            print(f"  apt-get install ./PKG.deb, {tails_root.VARIANTS[recommends]}, offline: "
                  f"{install_seconds(major, recommends):.2f} s")
        print()
        print_table(figures_in(major))
        size = bundle(major).stat().st_size
        print(f"\nThe portable bundle ({bundle(major).name}, {size / 1024:.0f} KiB), "
              "from the Persistent Folder:")
        print_table(bundle_figures(major))


if __name__ == "__main__":
    main()
