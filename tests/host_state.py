"""What the simulated Tails host looks like: firewall rules, processes, the
stand-ins' call log and what the tunnel carries, read as root beside the client.
In a Tails-like system the files are the system's; ping, which it lacks,
runs from this machine's tools in the same namespaces."""

from sandbox.accounts import PROVIDER_ADDRESS, UPLINK_ADDRESS
from sandbox.host_config import CALL_LOG, TAILS_FERM_CONF
from sandbox_support import TAILS

# What Disconnect and Reset restart, as the call log has it (a Tails-like
# system has no NetworkManager init script, stand-in or other).
RESTART_CALLS = ([] if TAILS else ["network-manager restart"]) + ["ferm restart", "tor restart"]


def rules(host):
    return host.root("iptables-legacy -S").decode().splitlines()


def root_rule(server):
    return (f"-A OUTPUT -d {server.address}/32 -p {server.proto} -m {server.proto} --dport {server.port} "
            "-m owner --uid-owner 0 -j ACCEPT")


def tor_rules(host):
    uid = host.root("id -u debian-tor").decode().strip()
    return [rule for rule in rules(host) if f"--uid-owner {uid} " in rule]


def openvpn_clients(host):
    return host.root("pgrep -x openvpn || true").split()


def openvpn_trying(host):
    """Whether an OpenVPN holds its UDP socket, which it opens once it starts
    connecting. Until then it is reading its profile, and it drops a SIGINT
    that arrives in that time."""
    return b'users:(("openvpn"' in host.root("ss -Huanp")


def calls(host):
    return host.root(f"cat {CALL_LOG}").decode().splitlines()


def as_tor(host, url):
    """Fetches `url` as Tor's user, straight (not through the proxy): the HTTP status or None."""
    result = host.run(["curl", "-s", "-o", "/dev/null", "--max-time", "20", "-w", "%{http_code}", url],
                      user="debian-tor")
    return result.stdout.decode() if result.returncode == 0 else None


def ping(host, address):
    return host.run(["ping", "-c", "1", "-W", "3", address], user="root", outer=True).returncode == 0


def live_ferm_conf(host):
    return host.root("cat /etc/ferm/ferm.conf")


def assert_tunnel_up(host, server, original_rules):
    assert host.root("ip -br addr show tun0").split()[2:3] == [
        (server.network.rsplit(".", 1)[0] + ".2/24").encode()]
    assert ping(host, server.tunnel_address)
    now = rules(host)
    # The one new root rule is the chosen server's; every Tor rule is confined to tun0.
    added = [rule for rule in now if rule not in original_rules and "--uid-owner 0 " in rule]
    assert added == [root_rule(server)]
    assert tor_rules(host) and all(" -o tun0 " in rule for rule in tor_rules(host))
    # Tor's user reaches the provider through the tunnel, and nothing outside it.
    route = host.root(f"ip route get {PROVIDER_ADDRESS}").split()
    assert route[route.index(b"dev") + 1] == b"tun0"
    assert as_tor(host, f"http://{PROVIDER_ADDRESS}/") == "404"
    assert as_tor(host, f"http://{UPLINK_ADDRESS}/") is None


def assert_back_to_original(host, original_rules):
    assert openvpn_clients(host) == []
    assert live_ferm_conf(host) == TAILS_FERM_CONF.read_bytes()
    assert rules(host) == original_rules
    assert calls(host)[-len(RESTART_CALLS):] == RESTART_CALLS
