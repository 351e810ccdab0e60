"""Figure 5: the key bundle unpacked by download_keys, against
zipfile.ZipFile(...).extractall on the same bytes.

download_keys unpacks what send_to_api returns into /tmp/; here send_to_api
is replaced in the module's namespace by a function that returns the
prepared bundle, and the time of a bare call of that function is taken off.
The child runs with a private /tmp (a tmpfs of its own mount namespace); the
peer unpacks into a directory of that same /tmp."""

import gc
import io
import json
import os
import shutil
import sys
import time
import zipfile

from measure import BENCH, Row, child_json, median, ms

PEER_DIRECTORY = "/tmp/peer"


def clear_tmp():
    for name in os.listdir("/tmp"):
        path = os.path.join("/tmp", name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def measure_bundle(m, bundle, rounds):
    def stand_in(query):
        return bundle

    def peer():
        with zipfile.ZipFile(io.BytesIO(bundle)) as archive:
            archive.extractall(PEER_DIRECTORY)

    m.send_to_api = stand_in
    cases = {
        "ours": lambda: m.download_keys("alice", "secret"),
        "call": lambda: stand_in("getuserkeys/dapp/true/username/alice/password/secret.json"),
        "peer": peer,
    }
    for case in cases.values():  # the first run loads what each side needs
        case()
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, case in cases.items():
            # Each side finds an empty /tmp, as on a fresh start.
            clear_tmp()
            os.mkdir(PEER_DIRECTORY)
            gc.collect()
            start = time.perf_counter()
            case()
            times[name].append(time.perf_counter() - start)
    return {name: median(values) for name, values in times.items()}


def measure_in_child(rounds):
    if os.stat("/tmp").st_dev == os.stat("/").st_dev or not os.path.ismount("/tmp"):
        raise SystemExit("refusing to unpack into a /tmp that is not a private mount")
    import marnu_tails_client as m

    from payloads import key_bundle, large_bundle

    os.chdir("/")
    got = {}
    for name, bundle in (("keys", key_bundle()), ("large", large_bundle())):
        got[name] = measure_bundle(m, bundle, rounds)
        got[name]["bytes"] = len(bundle)
    print(json.dumps(got))


def unpacking(rounds):
    got = child_json(BENCH / "unpacking.py", rounds, private_tmp=True)
    rows = []
    for name, label in (("keys", "5a unpack key bundle, 3 members [ms]"), ("large", "5b unpack 5 MB bundle [ms]")):
        figures = got[name]
        rows.append(
            Row(
                label,
                ms(figures["ours"] - figures["call"]),
                ms(figures["peer"]),
                "<= 1.0x extractall",
                lambda ours, peer: ours <= peer,
                note="%d bytes" % figures["bytes"],
            )
        )
    return rows


if __name__ == "__main__":
    measure_in_child(int(sys.argv[1]))
