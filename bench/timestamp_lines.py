"""A child that writes numbered lines at a steady pace, the way OpenVPN
reports its progress, and notes the moment (CLOCK_MONOTONIC, ns) each line
was written. The moments go to a file, after each line, so noting them never
delays a line.

    timestamp_lines.py COUNT INTERVAL_SECONDS MOMENTS_FILE
"""

import os
import signal
import sys
import time


def main():
    count, interval, moments_file = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    # The monitor stops the command after its line budget; the moments must still be written.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    with open(moments_file, "w") as moments:
        for number in range(1, count + 1):
            written = time.monotonic_ns()
            os.write(1, b"%s line %d of %d at %d\n" % (b"bench", number, count, written))
            moments.write("%d\n" % written)
            moments.flush()
            time.sleep(interval)


if __name__ == "__main__":
    main()
