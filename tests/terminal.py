"""A child process on a pseudo-terminal, driven like a person at the keyboard.

The terminal is the child's controlling terminal, as a terminal window's is
for its shell: /dev/tty works (sudo asks for passwords there), Ctrl+C typed
on it interrupts the foreground process group, and closing it hangs up."""

import fcntl
import os
import select
import signal
import subprocess
import termios
import time


def _take_as_controlling_terminal():
    # Runs in the child after setsid(), with the terminal as its standard streams.
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Terminal:
    """`on_output`, if given, sees each chunk the child writes and returns
    what of it goes into `output` (tests/sudo_prompts.py takes sudo's
    prompts out, say); `end_output` returns what it still holds at the end."""

    def __init__(self, argv, env=None, on_output=None, end_output=None):
        self.master, self.slave = os.openpty()
        self.process = subprocess.Popen(
            argv, stdin=self.slave, stdout=self.slave, stderr=self.slave,
            env=env, start_new_session=True, preexec_fn=_take_as_controlling_terminal,
        )
        self.on_output = on_output or (lambda chunk: chunk)
        self.end_output = end_output or (lambda: b"")
        self.ended = False
        self.output = b""
        self.consumed = 0  # output before this index has been matched already

    def receive(self, timeout):
        """Waits up to `timeout` seconds for the child's output and adds it to
        `output`. Returns what was read: b"" if nothing came, None at the end."""
        if self.ended:
            return None
        ready, _, _ = select.select([self.master], [], [], max(timeout, 0))
        if not ready:
            return b""
        try:
            chunk = os.read(self.master, 65536)
        except OSError:  # every slave side is closed: the child has ended
            chunk = b""
        if not chunk:
            self._finish()
            return None
        self.output += self.on_output(chunk)
        return chunk

    def _finish(self):
        if not self.ended:
            self.ended = True
            self.output += self.end_output()

    def read_until(self, marker, timeout=20):
        """Reads until `marker` appears after what earlier calls matched; returns all output so far."""
        deadline = time.monotonic() + timeout
        while marker not in self.output[self.consumed:]:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"{marker!r} not seen; output so far: {self.output!r}")
            if self.receive(remaining) is None:
                raise EOFError(f"{marker!r} not seen before the end: {self.output!r}")
        self.consumed = self.output.index(marker, self.consumed) + len(marker)
        return self.output

    def read_rest(self, timeout=20):
        """Reads until the child has ended; returns its exit code."""
        deadline = time.monotonic() + timeout
        while True:
            if self.receive(0.1):
                continue
            # Nothing more came after the child's end: that was all of it.
            if self.process.poll() is not None and not self.receive(0):
                self._finish()
                return self.process.returncode
            if time.monotonic() > deadline:
                raise TimeoutError(f"child still running; output: {self.output!r}")

    def type(self, text):
        os.write(self.master, text)

    def echo_enabled(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def foreground_group(self):
        """The process group the terminal sends Ctrl+C to."""
        return os.tcgetpgrp(self.master)

    def interrupt(self):
        """Ctrl+C as the terminal sends it: SIGINT to the foreground process group."""
        os.killpg(self.foreground_group(), signal.SIGINT)

    def ctrl_c(self):
        """Types Ctrl+C: the line discipline turns it into SIGINT to the foreground process group."""
        self.type(b"\x03")

    def hang_up(self, timeout=20):
        """Closes the terminal, as closing its window does: the kernel hangs
        it up (SIGHUP to the child). Returns the child's exit code."""
        os.close(self.master)
        self.master = None
        return self.process.wait(timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.master is not None:
            os.close(self.master)
        os.close(self.slave)
