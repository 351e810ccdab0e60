"""download_keys: the key bundle unpacked into a private /tmp of the child."""

import zipfile

import pytest

from api_child import envelope, run_api
from conftest import needs_isolation
from zip_bytes import declare_size, flip_data_byte, make_zip, mark_encrypted

pytestmark = needs_isolation

CALL = 'm.download_keys("Alice", "pw")'
LIST = 'outcome["files"] = tree()'
FILE = 0o600
DIRECTORY = 0o700


def download(answer=None, *, setup="", inspect=LIST):
    answers = None if answer is None else [answer]
    return run_api(CALL, answers, setup=setup, inspect=inspect, isolate=True)


def file(data):
    return {"kind": "file", "mode": FILE, "data": data}


def directory():
    return {"kind": "dir", "mode": DIRECTORY}


def test_bundle_of_alice_leaves_exactly_her_three_private_files():
    bundle = make_zip([("ca.crt", "CA"), ("alice.crt", "CERT"), ("alice.key", "KEY")], zipfile.ZIP_DEFLATED)
    stdout, outcome = download(bundle)
    assert stdout == b""
    assert outcome["result"] == "None"
    assert outcome["queries"] == ["getuserkeys/dapp/true/username/Alice/password/pw.json"]
    assert outcome["files"] == {"ca.crt": file("CA"), "alice.crt": file("CERT"), "alice.key": file("KEY")}


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_bundle_as_bytes_or_bytearray_unpacks_alike(kind):
    bundle = make_zip([("ca.crt", "CA"), ("alice.key", "KEY")], zipfile.ZIP_DEFLATED)
    _, outcome = download(kind(bundle))
    assert outcome["result"] == "None"
    assert outcome["files"] == {"ca.crt": file("CA"), "alice.key": file("KEY")}


def test_credentials_are_encoded_in_the_key_bundle_query():
    _, outcome = run_api('m.download_keys("a/b", "p#?%")', [make_zip([])], isolate=True)
    assert outcome["queries"] == ["getuserkeys/dapp/true/username/a%2Fb/password/p%23%3F%25.json"]


def test_member_names_stay_below_tmp():
    bundle = make_zip(
        [("../etc/x", "1"), ("/etc/y", "2"), ("keys/ca.crt", "3"), ("./a//b/../c", "4"), ("empty/", ""), ("../", "")]
    )
    _, outcome = download(bundle)
    assert outcome["files"] == {
        "etc": directory(),
        "etc/x": file("1"),
        "etc/y": file("2"),
        "keys": directory(),
        "keys/ca.crt": file("3"),
        "a": directory(),
        "a/b": directory(),
        "a/b/c": file("4"),
        "empty": directory(),
    }


def test_later_member_of_the_same_path_wins_in_central_directory_order():
    _, outcome = download(make_zip([("ca.crt", "first"), ("../ca.crt", "second")]))
    assert outcome["files"] == {"ca.crt": file("second")}


def test_existing_files_are_replaced_with_private_ones():
    setup = """
with open("/tmp/ca.crt", "w") as f:
    f.write("old and longer")
os.chmod("/tmp/ca.crt", 0o644)
os.mkdir("/tmp/keys", 0o755)
"""
    _, outcome = download(make_zip([("ca.crt", "new"), ("keys/a.key", "k")]), setup=setup)
    assert outcome["files"] == {
        "ca.crt": file("new"),
        "keys": {"kind": "dir", "mode": 0o755},
        "keys/a.key": file("k"),
    }


def test_second_download_replaces_the_first():
    setup = f"ANSWERS = [{make_zip([('ca.crt', 'one')])!r}, {make_zip([('ca.crt', 'two')])!r}]"
    _, outcome = run_api(f"({CALL}, {CALL})", setup=setup, inspect=LIST, isolate=True)
    assert outcome["files"] == {"ca.crt": file("two")}


def test_symbolic_link_at_the_target_is_replaced_not_followed(tmp_path):
    outside = tmp_path / "outside.key"
    outside.write_text("untouched")
    setup = f'os.symlink({str(outside)!r}, "/tmp/alice.key")'
    _, outcome = download(make_zip([("alice.key", "KEY")]), setup=setup)
    assert outcome["files"] == {"alice.key": file("KEY")}
    assert outside.read_text() == "untouched"


def test_symbolic_link_on_the_way_is_replaced_by_a_private_directory(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    setup = f'os.symlink({str(outside)!r}, "/tmp/keys")'
    _, outcome = download(make_zip([("keys/ca.crt", "CA"), ("keys/sub/", "")]), setup=setup)
    assert outcome["files"] == {"keys": directory(), "keys/ca.crt": file("CA"), "keys/sub": directory()}
    assert list(outside.iterdir()) == []


def test_directory_of_another_user_on_the_way_is_refused():
    setup = 'os.mkdir("/tmp/keys"); os.chmod("/tmp/keys", 0o777); os.chown("/tmp/keys", 65534, 65534)'
    _, outcome = download(make_zip([("keys/ca.crt", "CA")]), setup=setup)
    assert outcome["error"] == "PermissionError"
    assert "another user" in outcome["message"] and "'/tmp/keys'" in outcome["message"]
    assert outcome["files"] == {"keys": {"kind": "dir", "mode": 0o777}}


@pytest.mark.parametrize("kind", ["file", "symbolic link"])
def test_what_another_user_owns_in_sticky_tmp_cannot_be_replaced_and_fails_clearly(tmp_path, kind):
    outside = tmp_path / "outside.key"
    outside.write_text("untouched")
    outside.chmod(0o666)
    # Made by root, then the client runs as another user: /tmp's sticky bit
    # forbids removing it.
    make = (
        'open("/tmp/alice.key", "w").write("root")'
        if kind == "file"
        else f'os.symlink({str(outside)!r}, "/tmp/alice.key")'
    )
    setup = f"{make}\nos.setgid(65534); os.setuid(65534)"
    _, outcome = download(make_zip([("alice.key", "KEY")]), setup=setup)
    assert outcome["error"] == "PermissionError"
    assert "Could not replace" in outcome["message"] and "'/tmp/alice.key'" in outcome["message"]
    assert outside.read_text() == "untouched"


def test_directory_where_a_file_belongs_fails_with_is_a_directory():
    _, outcome = download(make_zip([("ca.crt/", ""), ("ca.crt", "CA")]))
    assert outcome["error"] == "IsADirectoryError"
    assert outcome["files"] == {"ca.crt": directory()}


def test_member_failing_its_crc_check_is_refused_and_not_written():
    bundle = flip_data_byte(make_zip([("ca.crt", "CA"), ("alice.key", "KEY")]), "alice.key")
    _, outcome = download(bundle)
    assert outcome["error"] == "ValueError"
    assert "CRC-32" in outcome["message"] and '"alice.key"' in outcome["message"]
    assert outcome["files"] == {"ca.crt": file("CA")}


def test_encrypted_member_refuses_the_bundle_before_anything_is_written():
    bundle = mark_encrypted(make_zip([("ca.crt", "CA"), ("alice.key", "KEY")]), "alice.key")
    _, outcome = download(bundle)
    assert outcome["error"] == "ValueError"
    assert "encrypted" in outcome["message"] and '"alice.key"' in outcome["message"]
    assert outcome["files"] == {}


def test_archive_without_members_succeeds_and_writes_nothing():
    _, outcome = download(make_zip([]))
    assert outcome["result"] == "None"
    assert outcome["files"] == {}


@pytest.mark.parametrize(
    "body",
    [b"", b"<html>Not found</html>", envelope({"status": "1"}), b"PK\x03\x04 truncated"],
    ids=["empty", "html", "json", "truncated"],
)
def test_body_that_is_not_a_zip_archive_is_refused(body):
    _, outcome = download(body)
    assert outcome["error"] == "ValueError"
    assert outcome["message"] == "The key bundle is not a ZIP archive."
    assert outcome["files"] == {}


def test_refused_request_writes_nothing():
    _, outcome = download(0)
    assert outcome["error"] == "TypeError"
    assert outcome["files"] == {}


# Large archives are built in the child: their text would be too long for a command line.
BUILD = """
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
{members}
ANSWERS = [buffer.getvalue()]
"""
MIB = 1 << 20
SUMMARY = 'outcome["files"] = {path: len(entry.get("data", "")) for path, entry in tree().items()}'


@pytest.mark.parametrize(
    "sizes, accepted",
    [([32 * MIB, 32 * MIB], True), ([32 * MIB, 32 * MIB + 1], False), ([1, 64 * MIB + 1], False)],
    ids=["64 MiB", "one byte more", "large last member"],
)
def test_bundle_unpacking_to_more_than_64_mib_is_refused_before_writing(sizes, accepted):
    members = "\n".join(f'    archive.writestr("m{i}", bytes({size}))' for i, size in enumerate(sizes))
    _, outcome = download(setup=BUILD.format(members=members), inspect=SUMMARY)
    if accepted:
        assert outcome["result"] == "None"
        assert outcome["files"] == {f"m{i}": size for i, size in enumerate(sizes)}
    else:
        assert outcome["error"] == "ValueError"
        assert "more than 64 MiB" in outcome["message"]
        assert outcome["files"] == {}


@pytest.mark.parametrize("count, accepted", [(1000, True), (1001, False)])
def test_bundle_of_more_than_1000_members_is_refused_before_writing(count, accepted):
    members = f'    for i in range({count}): archive.writestr(f"k{{i}}", "x")'
    _, outcome = download(setup=BUILD.format(members=members), inspect=SUMMARY)
    if accepted:
        assert len(outcome["files"]) == count
    else:
        assert outcome["error"] == "ValueError"
        assert "1001 members" in outcome["message"] and "1000" in outcome["message"]
        assert outcome["files"] == {}


@pytest.mark.parametrize(
    "method, declared, message",
    [
        (zipfile.ZIP_STORED, 1000, "holds more data than it declares"),
        (zipfile.ZIP_DEFLATED, 1000, "holds more data than it declares"),
        # A stored member's two sizes disagree then, which libzip itself refuses.
        (zipfile.ZIP_STORED, 30000, "Zip archive inconsistent"),
        (zipfile.ZIP_DEFLATED, 30000, "holds less data than it declares"),
    ],
    ids=["stored outgrows", "deflated outgrows", "stored falls short", "deflated falls short"],
)
def test_member_whose_data_does_not_match_its_declared_size_is_refused(method, declared, message):
    bundle = declare_size(make_zip([("ca.crt", "CA"), ("alice.key", "K" * 20000)], method), "alice.key", declared)
    _, outcome = download(bundle)
    assert outcome["error"] == "ValueError"
    assert message in outcome["message"] and '"alice.key"' in outcome["message"]
    assert outcome["files"] == {"ca.crt": file("CA")}


def test_full_tmp_fails_with_the_path_and_leaves_no_key_cut_short():
    bundle = make_zip([("ca.crt", "CA"), ("alice.crt", b"C" * 300000), ("alice.key", "K")], zipfile.ZIP_DEFLATED)
    setup = 'import subprocess\nsubprocess.run(["mount", "-o", "remount,size=128k", "/tmp"], check=True)'
    _, outcome = download(bundle, setup=setup)
    assert outcome["error"] == "OSError"
    assert outcome["message"] == "[Errno 28] Could not write: No space left on device: '/tmp/alice.crt'"
    assert outcome["files"] == {"ca.crt": file("CA")}
