"""Figure 3: one request to the provider through the sandbox's SOCKS5 proxy
(microsocks as Tor) and TLS stand-in, under Tails' firewall: send_to_api
against the same request made with pycurl (libcurl in process, a fresh
handle per request) and with requests + PySocks. Each client makes its calls
in blocks of 50 sequential requests, the blocks of the three taking turns;
every request is a fresh connection, as send_to_api's are. The peers read
the CA bundle again for each request; send_to_api keeps the store parsed
from it between requests.

The measuring runs inside the host as amnesia; the stand-in's own floor
(pycurl straight to the provider, no proxy) is measured from the provider's
side of the network."""

import io
import json
import statistics
import sys
import time

from measure import PYTHON, Row, ms

CALLS = 50
QUERY = "test/ok"
PROXY = "socks5h://localhost:9050"
# PySocks tries "localhost" over IPv6 first, and Tails drops packets to ::1
# without an answer: a requests client on Tails must name the address.
REQUESTS_PROXY = "socks5h://127.0.0.1:9050"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
INTERNET = ["nsenter", "--net=/run/netns/internet", "--"]


def url_and_headers():
    import marnu_tails_client as m

    return "https://api.marnu.example/v1/" + m.API_KEY + "/query/" + QUERY, dict(m.HEADERS)


def pycurl_get(url, headers, proxy=True, trusted=None):
    import pycurl

    body = io.BytesIO()
    handle = pycurl.Curl()
    try:
        # The options send_to_api sets, so both make the same request.
        handle.setopt(pycurl.URL, url)
        handle.setopt(pycurl.HTTPHEADER, ["%s: %s" % item for item in headers.items()])
        if proxy:
            handle.setopt(pycurl.PROXY, PROXY)
            handle.setopt(pycurl.NOPROXY, "")
        if trusted:
            handle.setopt(pycurl.CAINFO, trusted)
            handle.setopt(pycurl.CAPATH, None)
        handle.setopt(pycurl.IPRESOLVE, pycurl.IPRESOLVE_V4)
        handle.setopt(pycurl.FOLLOWLOCATION, 1)
        handle.setopt(pycurl.MAXREDIRS, 30)
        handle.setopt(pycurl.ACCEPT_ENCODING, "")
        handle.setopt(pycurl.CONNECTTIMEOUT, 120)
        handle.setopt(pycurl.NOSIGNAL, 1)
        handle.setopt(pycurl.WRITEDATA, body)
        handle.perform()
    finally:
        handle.close()
    return body.getvalue()


def measure_inside(rounds):
    """Runs as amnesia in the host: medians (s) per request of each client."""
    import marnu_tails_client as m
    import requests

    url, headers = url_and_headers()
    proxies = {"http": REQUESTS_PROXY, "https": REQUESTS_PROXY}
    clients = {
        "ours": lambda: m.send_to_api(QUERY),
        "pycurl": lambda: pycurl_get(url, headers),
        "requests": lambda: requests.get(url, headers=headers, proxies=proxies, verify=CA_BUNDLE, timeout=60).content,
    }
    expected = clients["pycurl"]()
    for name, client in clients.items():  # the first call of each loads what it needs
        if client() != expected:
            raise SystemExit(f"{name} got another answer than pycurl")
    times = {name: [] for name in clients}
    order = list(clients)
    for turn in range(rounds):
        for name in order[turn % 3 :] + order[: turn % 3]:
            for _ in range(CALLS):
                start = time.perf_counter()
                clients[name]()
                times[name].append(time.perf_counter() - start)
    print(json.dumps({name: statistics.median(values) for name, values in times.items()}))


def measure_floor(rounds, test_ca):
    """Runs as root in the provider's network: pycurl straight to the stand-in,
    trusting the test CA alone, so that what is left is the stand-in and the
    TLS handshake; and the same with the host's whole CA bundle, which a
    fresh libcurl handle reads again for each connection."""
    url, headers = url_and_headers()
    cases = {"floor": lambda: pycurl_get(url, headers, proxy=False, trusted=test_ca),
             "bundle": lambda: pycurl_get(url, headers, proxy=False)}
    times = {name: [] for name in cases}
    for _ in range(rounds * CALLS):
        for name, case in cases.items():
            start = time.perf_counter()
            case()
            times[name].append(time.perf_counter() - start)
    print(json.dumps({name: statistics.median(values) for name, values in times.items()}))


def in_host(host, command, user="amnesia"):
    """Runs a measuring command in the host; the JSON object it printed last."""
    done = host.run(command, user=user, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed in the sandbox: {done.stderr.decode(errors='replace')}")
    return json.loads(done.stdout.decode().strip().splitlines()[-1])


def api_request(rounds):
    from sandbox_host import simulated_host, unavailable

    goals = (("3a API request via SOCKS5 + TLS, vs pycurl [ms]", "<= 1.1x pycurl"),
             ("3b API request via SOCKS5 + TLS, vs requests [ms]", "<= requests / 1.5"))
    if unavailable:
        from measure import pending

        return [pending(figure, goal, "sandbox unavailable: " + unavailable) for figure, goal in goals]
    with simulated_host() as host:
        got = in_host(host, [PYTHON, __file__, "--inside", str(rounds)])
        floor = in_host(host, [*INTERNET, PYTHON, __file__, "--floor", str(rounds), str(host.pki_dir / "ca.crt")],
                        user="root")
    note = "%d x %d calls; floor, straight to the stand-in: %.1f ms, %.1f ms with the CA bundle" % (
        rounds, CALLS, ms(floor["floor"]), ms(floor["bundle"]))
    return [
        Row(goals[0][0], ms(got["ours"]), ms(got["pycurl"]), goals[0][1], lambda ours, peer: ours <= 1.1 * peer,
            note=note),
        Row(goals[1][0], ms(got["ours"]), ms(got["requests"]), goals[1][1], lambda ours, peer: 1.5 * ours <= peer),
    ]


if __name__ == "__main__":
    if sys.argv[1] == "--inside":
        measure_inside(int(sys.argv[2]))
    else:
        measure_floor(int(sys.argv[2]), sys.argv[3])
