"""Figure 4: a check that get_servers, which decodes through Python's json
module, costs no more than json.loads on the same bytes (a 1 MB server list).

get_servers decodes what send_to_api returns; here send_to_api is replaced in
the module's namespace by a function that returns the prepared bytes, and the
time of a bare call of that function is taken off."""

import gc
import json
import sys
import time

from measure import BENCH, Row, child_json, median, ms


def measure_in_child(rounds):
    import marnu_tails_client as m

    from payloads import server_list

    body = server_list()

    def stand_in(query):
        return body

    m.send_to_api = stand_in
    expected = json.loads(body)["data"]
    decoded = m.get_servers("alice", "secret")
    if decoded != expected or list(decoded) != list(expected):
        raise SystemExit("get_servers decoded the server list differently from json.loads")
    del decoded

    cases = {
        "ours": lambda: m.get_servers("alice", "secret"),
        "call": lambda: stand_in("serversdetail/username/alice/password/secret.json"),
        "peer": lambda: json.loads(body)["data"],
    }
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, case in cases.items():
            gc.collect()
            start = time.perf_counter()
            result = case()
            times[name].append(time.perf_counter() - start)
            del result
    print(json.dumps({"bytes": len(body), **{name: median(values) for name, values in times.items()}}))


def decoding(rounds):
    got = child_json(BENCH / "decoding.py", rounds)
    return [
        Row(
            "4 decode 1 MB server list [ms]",
            ms(got["ours"] - got["call"]),
            ms(got["peer"]),
            "<= 1.05x json.loads",
            lambda ours, peer: ours <= 1.05 * peer,
            note="%d bytes" % got["bytes"],
        )
    ]


if __name__ == "__main__":
    measure_in_child(int(sys.argv[1]))
