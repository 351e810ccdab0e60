"""The Debian packages `make dist` builds: what each holds and what it
depends on, for the Tails major it is made for."""

import hashlib
import io
import re
import shutil
import subprocess
import tarfile

import pytest

from conftest import ROOT

DIST = ROOT / "dist"
# tomllib is not in Python 3.10, which the suite also runs on.
VERSION = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M)[1]
SITE = "usr/lib/python3/dist-packages"

# What each Tails major runs: its Debian release's Python, and the package
# of libcurl.so.4 there (trixie's took a "t64" name with 64-bit time).
RELEASES = {
    "tails6": {"debian": "deb12", "python": (3, 11), "libcurl": "libcurl4"},
    "tails7": {"debian": "deb13", "python": (3, 13), "libcurl": "libcurl4t64"},
}


def packages():
    return sorted(DIST.glob("tails*/*.deb"))


pytestmark = [
    pytest.mark.skipif(not packages(), reason="dist/ holds no package: run `make dist` first"),
    pytest.mark.skipif(shutil.which("dpkg-deb") is None, reason="needs dpkg-deb"),
]


def field(deb, name):
    return subprocess.run(["dpkg-deb", "--field", deb, name], capture_output=True, text=True,
                          check=True).stdout.strip()


def relations(deb, name):
    """A relation field as {package: [constraint, ...]}; alternatives count as their first."""
    parsed = {}
    for entry in field(deb, name).split(","):
        match = re.fullmatch(r"\s*([a-z0-9.+-]+)(?::any)?\s*(?:\((.+)\))?\s*(?:\|.*)?", entry)
        assert match, f"{name}: cannot read {entry!r}"
        parsed.setdefault(match[1], []).append(" ".join(match[2].split()) if match[2] else None)
    return parsed


def files(deb):
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(tar)) as archive:
        return {
            member.name.removeprefix("./"): (member.mode, archive.extractfile(member).read())
            for member in archive.getmembers() if member.isfile()
        }


@pytest.fixture(scope="module", params=sorted(RELEASES))
def package(request):
    folder = request.param
    debs = sorted((DIST / folder).glob("*.deb"))
    if not debs:
        pytest.skip(f"dist/{folder} holds no package")
    assert len(debs) == 1, f"dist/{folder} should hold one package: {debs}"
    return RELEASES[folder], debs[0], files(debs[0])


def test_package_is_named_for_the_project_version_and_its_release(package):
    release, deb, _ = package
    version = f"{VERSION}-1~{release['debian']}"
    assert deb.name == f"marnu-tails-client_{version}_amd64.deb"
    assert (field(deb, "Package"), field(deb, "Version"), field(deb, "Architecture")) == (
        "marnu-tails-client", version, "amd64")


def test_module_launcher_and_command_are_where_the_release_python_finds_them(package, tmp_path):
    release, _, contents = package
    major, minor = release["python"]
    module = f"{SITE}/marnu_tails_client.cpython-{major}{minor}-x86_64-linux-gnu.so"
    assert module in contents
    # The installed module loads the system's libzip: no RUNPATH, unlike the bundle's.
    (tmp_path / "module.so").write_bytes(contents[module][1])
    dump = subprocess.run(["objdump", "-p", tmp_path / "module.so"], capture_output=True, text=True, check=True)
    assert "RUNPATH" not in dump.stdout and "RPATH" not in dump.stdout
    assert f"{SITE}/marnu_tails_launcher.py" in contents
    metadata = contents[f"{SITE}/marnu_tails_client-{VERSION}.dist-info/METADATA"][1].decode()
    assert f"\nVersion: {VERSION}\n" in metadata
    mode, script = contents["usr/bin/marnu-tails-client"]
    assert mode & 0o111 == 0o111
    assert re.match(rb"#! ?/usr/bin/python3\n", script), script[:40]
    # Nothing else of the build tree (the probe, objects, caches) gets in.
    assert not [name for name in contents if name.endswith((".o", ".pyc", "probe"))]


def test_depends_cover_the_release_python_and_the_libraries_the_module_loads(package):
    release, deb, contents = package
    major, minor = release["python"]
    depends = relations(deb, "Depends")
    assert f">= {major}.{minor}~" in depends["python3"] and f"<< {major}.{minor + 1}" in depends["python3"]
    # The sonames the module passes to dlopen, and the packages that hold
    # them: libNAME<number>, with "t64" where the release renamed it.
    module = next(data for name, (_, data) in contents.items() if name.endswith(".so"))
    for library in ("curl", "zip"):
        numbers = set(re.findall(rb"lib%s\.so\.(\d+)\x00" % library.encode(), module))
        assert len(numbers) == 1, f"lib{library}: {numbers}"
        number = numbers.pop().decode()
        found = {f"lib{library}{number}", f"lib{library}{number}t64"} & depends.keys()
        assert len(found) == 1, f"Depends {sorted(depends)} names no package of lib{library}.so.{number}"
        assert all(constraint and constraint.startswith(">= ") for constraint in depends[found.pop()])
    assert release["libcurl"] in depends
    assert "openvpn" in relations(deb, "Recommends")


def test_checksums_cover_every_package_and_bundle():
    listed = {}
    for line in (DIST / "SHA256SUMS").read_text().splitlines():
        digest, name = line.split(maxsplit=1)
        listed[name.lstrip("*")] = digest
    assert listed == {
        str(path.relative_to(DIST)): hashlib.sha256(path.read_bytes()).hexdigest()
        for path in [*packages(), *DIST.glob("tails*/*.tar.gz")]
    }
