#!/usr/bin/python3 -IB
# The portable bundle's `marnu-tails-client` command, at the top of the
# bundle's folder (debian/make-bundle fills in the version and the Tails
# major). It runs the system's python3 with the module and libzip from the
# folder's lib/, wherever the folder is: -I keeps the user's PYTHONPATH and
# site packages out, -B writes no .pyc into the folder, which may be read-only.
# Plain enough for any Python 3 to read, so that the wrong one gets the
# refusal's one line rather than a syntax error.
import os
import sys

VERSION = "@VERSION@"
TAILS = "@TAILS@"
# The Python of each Tails major: a bundle's module runs on its own only.
PYTHONS = {"6": (3, 11), "7": (3, 13)}


def bundle_name(tails):
    return "marnu-tails-client-%s-tails%s.tar.gz" % (VERSION, tails)


def refusal(found):
    """The one line shown on a system whose python3 is not this bundle's."""
    wanted = "this bundle is for Tails %s (Python %d.%d), and this system has Python %d.%d" % (
        (TAILS,) + PYTHONS[TAILS] + found)
    others = [tails for tails, python in sorted(PYTHONS.items()) if python == found]
    if others:
        return "marnu-tails-client: %s: take %s instead." % (wanted, bundle_name(others[0]))
    return "marnu-tails-client: %s, which no bundle is made for (Tails %s only)." % (
        wanted, " and ".join(sorted(PYTHONS)))


def main():
    found = tuple(sys.version_info[:2])
    if found != PYTHONS[TAILS]:
        sys.stderr.write(refusal(found) + "\n")
        return 1
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "lib"))
    from marnu_tails_launcher import main as run_client

    return run_client()


if __name__ == "__main__":
    sys.exit(main())
