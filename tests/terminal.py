"""A child process on a pseudo-terminal, driven like a person at the keyboard."""

import os
import select
import signal
import subprocess
import termios
import time


class Terminal:
    def __init__(self, argv, env=None):
        self.master, self.slave = os.openpty()
        self.process = subprocess.Popen(
            argv, stdin=self.slave, stdout=self.slave, stderr=self.slave,
            env=env, start_new_session=True,
        )
        self.output = b""
        self.consumed = 0  # output before this index has been matched already

    def read_until(self, marker, timeout=20):
        """Reads until `marker` appears after what earlier calls matched; returns all output so far."""
        deadline = time.monotonic() + timeout
        while marker not in self.output[self.consumed:]:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"{marker!r} not seen; output so far: {self.output!r}")
            ready, _, _ = select.select([self.master], [], [], remaining)
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:  # the child has gone and closed the terminal
                    chunk = b""
                if not chunk:
                    raise EOFError(f"{marker!r} not seen before the end: {self.output!r}")
                self.output += chunk
        self.consumed = self.output.index(marker, self.consumed) + len(marker)
        return self.output

    def read_rest(self, timeout=20):
        """Reads until the child has ended; returns its exit code."""
        deadline = time.monotonic() + timeout
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:
                    chunk = b""
                self.output += chunk
                if chunk:
                    continue
            if self.process.poll() is not None and not ready:
                return self.process.returncode
            if time.monotonic() > deadline:
                raise TimeoutError(f"child still running; output: {self.output!r}")

    def type(self, text):
        os.write(self.master, text)

    def echo_enabled(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def interrupt(self):
        """Ctrl+C as the terminal sends it: SIGINT to the foreground process group."""
        os.killpg(self.process.pid, signal.SIGINT)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)
