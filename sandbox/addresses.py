"""Where things are in the sandbox, told to every command run inside it as
MARNU_SANDBOX_* environment variables (sandbox/README.md lists them)."""

from .accounts import API_HOST, HOST_INTERFACE, PROVIDER_ADDRESS, QUERY_PREFIX, VPN_SERVERS, WEB_PAGE
from .tor_network import AUTHORITIES, DIR_PORT, EXIT, NODES, OR_PORT, RESOLVER_ADDRESS


def variables(real_tor):
    """The variables for a sandbox with real Tor (True) or microsocks (False)."""
    env = {
        "MARNU_SANDBOX_TOR": "real" if real_tor else "microsocks",
        "MARNU_SANDBOX_API": f"https://{API_HOST}{QUERY_PREFIX}",
        "MARNU_SANDBOX_API_ADDRESS": PROVIDER_ADDRESS,
        "MARNU_SANDBOX_WEB_PAGE": WEB_PAGE,
        "MARNU_SANDBOX_VPN_SERVERS": " ".join(f"{s.name}={s.address}:{s.port}/{s.proto}" for s in VPN_SERVERS),
        "MARNU_SANDBOX_OUTSIDE_INTERFACE": HOST_INTERFACE,
    }
    if real_tor:
        env.update({
            "MARNU_SANDBOX_AUTHORITIES": " ".join(f"{n.address}:{OR_PORT}:{DIR_PORT}" for n in AUTHORITIES),
            "MARNU_SANDBOX_RELAYS": " ".join(f"{n.address}:{OR_PORT}" for n in NODES if n not in AUTHORITIES),
            "MARNU_SANDBOX_EXIT": EXIT.address,
            "MARNU_SANDBOX_RESOLVER": RESOLVER_ADDRESS,
        })
    return env
