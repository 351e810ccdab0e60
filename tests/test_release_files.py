"""What `make dist` releases besides the packages' own contents: the
portable bundles, every shared library that the packages and the bundles
need, checked against the packages of the released Tails images
(tests/fixtures/tails/), the signature of SHA256SUMS, and the version the
Debian packaging carries."""

import os
import re
import shutil
import subprocess
import tarfile
import tempfile

import pytest

from conftest import FIXTURES, ROOT
from test_package import DIST, RELEASES, VERSION, relations

MAJORS = {"tails6": "6", "tails7": "7"}
TAILS_LISTS = {"tails6": "tails-6.9.packages", "tails7": "tails-7.6.1.packages"}
FOLDER = "marnu-tails-client"
needs_binutils = pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump (binutils)")
needs_dpkg = pytest.mark.skipif(shutil.which("dpkg") is None, reason="needs dpkg to compare versions")


def bundle_path(folder):
    return DIST / folder / f"marnu-tails-client-{VERSION}-{folder}.tar.gz"


@pytest.fixture(scope="module", params=sorted(RELEASES))
def bundle(request, tmp_path_factory):
    """A release's bundle unpacked: (release folder, tar members, the unpacked folder)."""
    folder = request.param
    path = bundle_path(folder)
    if not path.exists():
        pytest.skip(f"dist/{folder} holds no bundle: run `make dist` first")
    target = tmp_path_factory.mktemp(f"bundle-{folder}")
    with tarfile.open(path) as archive:
        members = {member.name: member for member in archive.getmembers()}
        archive.extractall(target, **({"filter": "tar"} if hasattr(tarfile, "tar_filter") else {}))
    return folder, members, target / FOLDER


def elf_needed(path):
    dump = subprocess.run(["objdump", "-p", str(path)], capture_output=True, text=True, check=True).stdout
    return re.findall(r"^\s*NEEDED\s+(\S+)$", dump, re.M), re.findall(r"^\s*RUNPATH\s+(\S+)$", dump, re.M)


def dlopened(module_bytes):
    """The sonames the module passes to dlopen."""
    return {name.decode() for name in re.findall(rb"\x00(lib(?:curl|zip)\.so\.\d+)\x00", module_bytes)}


def fields(text):
    """A control-style text as {field: value}; continuation lines join with newlines."""
    parsed, name = {}, None
    for line in text.splitlines():
        if line.startswith(" "):
            parsed[name] += "\n" + line.strip()
        else:
            name, _, value = line.partition(":")
            parsed[name] = value.strip()
    return parsed


def tails_packages(folder):
    """{package: version} of the released Tails image of a release."""
    listed = {}
    for line in (FIXTURES / "tails" / TAILS_LISTS[folder]).read_text().splitlines():
        name, version = line.split("\t")
        listed[name.split(":")[0]] = version
    return listed


def satisfies(version, constraint):
    """Whether a package version meets a relation's constraint such as ">= 2.34"."""
    if constraint is None:
        return True
    operator, wanted = constraint.split()
    words = {">=": "ge", "<<": "lt", "<=": "le", ">>": "gt", "=": "eq"}
    return subprocess.run(["dpkg", "--compare-versions", version, words[operator], wanted]).returncode == 0


def test_debian_changelog_carries_the_project_version():
    top = (ROOT / "debian" / "changelog").read_text().splitlines()[0]
    match = re.fullmatch(r"marnu-tails-client \(([^-()]+)-(\d+)\) [a-z-]+; urgency=\w+", top)
    assert match, top
    assert match[1] == VERSION, "debian/changelog's version is not pyproject.toml's: add an entry (dch)"


@needs_binutils
def test_bundle_holds_the_command_the_module_for_its_python_and_libzip(bundle):
    folder, members, unpacked = bundle
    major, minor = RELEASES[folder]["python"]
    assert all(name == FOLDER or name.startswith(FOLDER + "/") for name in members)
    assert all(member.uid == 0 and member.mtime == members[FOLDER].mtime for member in members.values())
    command = members[f"{FOLDER}/marnu-tails-client"]
    assert command.mode == 0o755
    assert (unpacked / "marnu-tails-client").read_text().startswith("#!/usr/bin/python3 -IB\n")
    lib = unpacked / "lib"
    module = lib / f"marnu_tails_client.cpython-{major}{minor}-x86_64-linux-gnu.so"
    assert (lib / "marnu_tails_launcher.py").is_file()
    assert f"\nVersion: {VERSION}\n" in (lib / f"marnu_tails_client-{VERSION}.dist-info" / "METADATA").read_text()
    # The module's dlopen of libzip finds the bundled one, beside it, first.
    _, runpath = elf_needed(module)
    assert runpath == ["$ORIGIN"]
    zip_soname = next(name for name in dlopened(module.read_bytes()) if name.startswith("libzip"))
    assert f"SONAME               {zip_soname}" in subprocess.run(
        ["objdump", "-p", str(lib / zip_soname)], capture_output=True, text=True, check=True).stdout
    bundled = fields((unpacked / "dependencies").read_text())["Bundled"].split()[0]
    assert sorted(os.listdir(unpacked / "copyright")) == sorted(["marnu-tails-client", bundled])
    assert "libzip" in (unpacked / "copyright" / bundled).read_text()
    # Nothing compiled or left by the build.
    assert not [name for name in members if name.endswith((".pyc", ".o")) or "__pycache__" in name]


@needs_binutils
@needs_dpkg
def test_every_library_the_bundle_needs_is_in_tails_or_in_the_bundle(bundle):
    folder, _, unpacked = bundle
    tails = tails_packages(folder)
    lib = unpacked / "lib"
    record = fields((unpacked / "dependencies").read_text())
    libraries = dict(line.split() for line in record["Libraries"].strip().splitlines())
    # Every library that the module, what it loads and the bundled libzip need is accounted for.
    module = next(lib.glob("marnu_tails_client.*.so"))
    wanted = set(elf_needed(module)[0]) | dlopened(module.read_bytes())
    for soname in [name for name in wanted if (lib / name).exists()]:
        wanted |= set(elf_needed(lib / soname)[0])
    assert wanted <= libraries.keys(), f"not accounted for: {wanted - libraries.keys()}"
    depends = {}
    for entry in record["Depends"].split(","):
        name, _, constraint = entry.strip().partition(" ")
        depends.setdefault(name, []).append(constraint.strip("()") or None)
    bundled = record["Bundled"].split()[0]
    for soname, package in libraries.items():
        if package == "bundled":
            assert (lib / soname).is_file()
        else:
            assert package in depends, f"{soname}: {package} is not in Depends"
    # Tails lacks libzip, which the bundle brings; all the rest is in Tails, new enough.
    assert bundled.startswith("libzip") and bundled not in tails
    for name, constraints in depends.items():
        assert name in tails, f"{name} is not in {TAILS_LISTS[folder]}"
        assert all(satisfies(tails[name], constraint) for constraint in constraints), (name, constraints, tails[name])
    assert tails["python3"].startswith(record["Python"] + ".")
    assert record["Python"] == "%d.%d" % RELEASES[folder]["python"]


@needs_dpkg
@pytest.mark.parametrize("folder", sorted(RELEASES))
def test_every_dependency_of_the_package_is_in_tails_or_comes_from_apt(folder):
    debs = sorted((DIST / folder).glob("*.deb"))
    if not debs:
        pytest.skip(f"dist/{folder} holds no package: run `make dist` first")
    tails = tails_packages(folder)
    depends = relations(debs[0], "Depends")
    # libzip is what APT fetches for the package on Tails (OpenVPN too, by Recommends).
    from_apt = {name for name in depends if name.startswith("libzip")}
    assert len(from_apt) == 1 and not from_apt & tails.keys()
    assert "openvpn" not in tails and "openvpn" in relations(debs[0], "Recommends")
    for name, constraints in depends.items():
        if name in from_apt:
            continue
        assert name in tails, f"{name} is not in {TAILS_LISTS[folder]}"
        assert all(satisfies(tails[name], constraint) for constraint in constraints), (name, constraints, tails[name])


# --- the signature -------------------------------------------------------------

needs_gpg = pytest.mark.skipif(shutil.which("gpg") is None or shutil.which("gpg-agent") is None,
                               reason="needs gpg and gpg-agent")


@pytest.fixture
def gnupg_home():
    """A throwaway GNUPGHOME; its agent is stopped at the end. Short, under
    /tmp: the agent's socket is made there, and a socket's path may not be
    longer than 107 bytes."""
    with tempfile.TemporaryDirectory(prefix="marnu-gpg-") as home:
        env = {**os.environ, "GNUPGHOME": home}
        try:
            yield env
        finally:
            subprocess.run(["gpgconf", "--kill", "all"], env=env, check=True)


@needs_gpg
def test_checksums_are_signed_with_the_key_given_and_not_without(tmp_path, gnupg_home):
    env = gnupg_home
    gpg = ["gpg", "--batch", "--no-tty"]
    subprocess.run([*gpg, "--passphrase", "", "--quick-generate-key", "Release test <release@marnu.invalid>",
                    "ed25519", "sign", "never"], env=env, check=True, capture_output=True)
    listing = subprocess.run([*gpg, "--with-colons", "--list-secret-keys"], env=env, check=True,
                             capture_output=True, text=True).stdout
    fingerprint = next(line.split(":")[9] for line in listing.splitlines() if line.startswith("fpr:"))
    dist = tmp_path / "dist"
    dist.mkdir()
    sums = dist / "SHA256SUMS"
    sums.write_text("0" * 64 + "  tails6/marnu-tails-client-1.5.0-tails6.tar.gz\n")

    def sign(*key):
        return subprocess.run([str(ROOT / "scripts" / "sign-checksums"), str(dist), *key], env=env,
                              capture_output=True, text=True)

    def verify():
        return subprocess.run([*gpg, "--verify", str(dist / "SHA256SUMS.asc"), str(sums)], env=env,
                              capture_output=True, text=True)

    signed = sign(fingerprint)
    assert signed.returncode == 0, signed.stderr
    assert (dist / "SHA256SUMS.asc").read_text().startswith("-----BEGIN PGP SIGNATURE-----\n")
    verified = verify()
    assert verified.returncode == 0 and "Good signature from \"Release test" in verified.stderr, verified.stderr
    sums.write_text(sums.read_text().replace("0", "1", 1))
    rejected = verify()
    assert rejected.returncode == 1 and "BAD signature" in rejected.stderr, rejected.stderr

    # Without a key: one line, and no signature of other files is left behind.
    unsigned = sign()
    assert unsigned.returncode == 0
    assert unsigned.stdout.splitlines() == [
        "== nothing is signed: make dist SIGNING_KEY=<fingerprint> writes dist/SHA256SUMS.asc"]
    assert not (dist / "SHA256SUMS.asc").exists()
