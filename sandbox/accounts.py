"""The simulated provider's accounts and VPN servers, and the sandbox's fixed addresses.

One table shared by the provider stand-in, the test PKI, the demo text and the tests."""

from dataclasses import dataclass

API_HOST = "api.marnu.example"
API_KEY = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
# Everything behind this path prefix is one of the provider's queries.
QUERY_PREFIX = f"/v1/{API_KEY}/query/"

# amnesia's administration password, as set at Tails' Welcome Screen: sudo
# asks for it at every call.
ADMIN_PASSWORD = "tails-admin"

# "The internet": a second network namespace joined to the host by a veth
# pair. Documentation ranges (RFC 5737), which Tails' ferm.conf does not
# treat as a local network.
HOST_INTERFACE = "eth0"
HOST_ADDRESS = "192.0.2.2"
UPLINK_INTERFACE = "uplink"
UPLINK_ADDRESS = "192.0.2.1"
PROVIDER_ADDRESS = "198.51.100.10"
# A page of the provider's plain web server, for requests through Tor.
WEB_PAGE = f"http://{PROVIDER_ADDRESS}/hello.html"


@dataclass(frozen=True)
class Account:
    username: str
    password: str
    # The passphrase the bundle's private key is encrypted with; the
    # provider encrypts it with the account password unless told otherwise.
    key_passphrase: str | None = None
    note: str = ""

    @property
    def key_name(self):
        return self.username.lower()

    @property
    def passphrase(self):
        return self.password if self.key_passphrase is None else self.key_passphrase


ACCOUNTS = (
    Account("alice", "wonderland", note="an ordinary account"),
    Account("bob", "b0b's pa$$ \"word\" \\ & ; | * ? # / % é",
            note="a password with characters special to the shell and to URLs"),
    Account("Dave", "Mixed-Case-42", note="a mixed-case user name (key files dave.crt, dave.key)"),
    # Its name puts "secure" into OpenVPN's messages about the key file,
    # which the client's debug dump leaves out.
    Account("insecure", "let-me-in", key_passphrase="not-the-login-password",
            note="logs in, but OpenVPN rejects its key's passphrase"),
)


def account(username):
    return next(a for a in ACCOUNTS if a.username == username)


@dataclass(frozen=True)
class VpnServer:
    name: str
    address: str
    port: str
    proto: str
    # The tunnel's network; the server takes its first address.
    network: str
    device: str

    @property
    def tunnel_address(self):
        return self.network.rsplit(".", 1)[0] + ".1"


VPN_SERVERS = (
    VpnServer("Sandbox-UDP", "203.0.113.2", "1194", "udp", "10.8.0.0", "srv-udp"),
    VpnServer("Sandbox-TCP", "203.0.113.3", "443", "tcp", "10.8.1.0", "srv-tcp"),
)
# Packets for the tunnels' far ends must come through a tunnel, never over the uplink.
TUNNEL_NETWORKS = "10.8.0.0/16"


def server_list():
    """The provider's "data" object of a server-list answer, in listing order."""
    data = {"status": "1"}
    for number, server in enumerate(VPN_SERVERS, start=1):
        data[server.name] = {
            "id": str(number),
            "address": server.address,
            "port": server.port,
            "proto": server.proto,
            "country": "Sandbox",
        }
    return data
