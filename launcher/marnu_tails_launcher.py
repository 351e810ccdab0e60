"""Command-line launcher behind `marnu-tails-client`: starts the interactive client."""

import sys

INTERRUPTED = (
    "\n[-] Interrupted: a VPN tunnel and firewall changes that were up stay as they are "
    "(use Disconnect or Reset firewall settings next time)."
)


def _version():
    from importlib import metadata

    try:
        return metadata.version("marnu-tails-client")
    except metadata.PackageNotFoundError:
        return "unknown"


def _debug_option(arguments):
    """Whether --debug was given; --help, --version and mistakes end here."""
    # The two usual command lines need no parser: argparse and the package
    # metadata behind --version would take longer than the rest of the start.
    if arguments in ([], ["--debug"]):
        return bool(arguments)
    import argparse

    parser = argparse.ArgumentParser(
        prog="marnu-tails-client",
        description="Connect Tails to a VPN through OpenVPN, with Tor confined to the tunnel.",
    )
    parser.add_argument("--debug", action="store_true", help="show diagnostic detail and OpenVPN's output")
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    return parser.parse_args(arguments).debug


def main(argv=None):
    debug = _debug_option(sys.argv[1:] if argv is None else list(argv))

    import marnu_tails_client

    try:
        marnu_tails_client.run(debug=debug)
    except KeyboardInterrupt:
        print(INTERRUPTED, flush=True)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
