"""Command-line launcher behind `marnu-tails-client`: starts the interactive client."""

import argparse
import sys
from importlib import metadata

INTERRUPTED = (
    "\n[-] Interrupted: a VPN tunnel and firewall changes that were up stay as they are "
    "(use Disconnect or Reset firewall settings next time)."
)


def _version():
    try:
        return metadata.version("marnu-tails-client")
    except metadata.PackageNotFoundError:
        return "unknown"


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="marnu-tails-client",
        description="Connect Tails to a VPN through OpenVPN, with Tor confined to the tunnel.",
    )
    parser.add_argument("--debug", action="store_true", help="show diagnostic detail and OpenVPN's output")
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    options = parser.parse_args(argv)

    import marnu_tails_client

    try:
        marnu_tails_client.run(debug=options.debug)
    except KeyboardInterrupt:
        print(INTERRUPTED, flush=True)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
