"""The example programs on a pseudo-terminal, as a person at a terminal meets them: the
curses game, and the solver's progress bar, which only a terminal gets."""

import os
import pathlib
import re
import select
import subprocess
import sys
import time

import pytest

termios = pytest.importorskip("termios", reason="pseudo-terminals are POSIX only")
import fcntl  # noqa: E402
import pty  # noqa: E402
import struct  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SIDE = 12
# Runs examples/solve.py with its progress delay set to the first argument: the delay,
# not the machine's speed, decides whether a bar is due, so no verdict hangs on timing.
SOLVE_WITH_DELAY = """import sys
sys.path.insert(0, sys.argv[2])
import solve
solve.PROGRESS_DELAY_S = float(sys.argv[1])
sys.exit(solve.main(sys.argv[3:]))
"""


class Terminal:
    """A 24x80 pseudo-terminal; `args` run under it with the streams that `streams`
    names attached to it (the others are pipes, standard input an empty one)."""

    def __init__(self, args, streams=("stdin", "stdout", "stderr"), python=()):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        attach = {"stdin": subprocess.DEVNULL, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
        attach.update((name, slave) for name in streams)
        self.process = subprocess.Popen(
            [sys.executable, *python, *map(str, args)],
            **attach,
            env={**os.environ, "TERM": "xterm"},
            start_new_session=True,
        )
        os.close(slave)
        self.output, self.seen, self.stdout, self.stderr = b"", 0, b"", b""

    def read(self, timeout):
        """Adds what the terminal shows within `timeout` s; False once it has closed."""
        if not select.select([self.master], [], [], timeout)[0]:
            return True
        try:
            chunk = os.read(self.master, 65536)
        except OSError:  # Linux: EIO once every holder of the other end has closed it
            chunk = b""
        self.output += chunk
        return bool(chunk)

    def expect(self, text, timeout=30):
        """Waits until `text` shows after what was last expected."""
        deadline = time.monotonic() + timeout
        while text not in self.output[self.seen :]:
            remaining = deadline - time.monotonic()
            assert remaining > 0 and self.read(remaining), f"no {text!r} in {self.output[self.seen :]!r}"
        self.seen = self.output.index(text, self.seen) + len(text)

    def send(self, keys):
        os.write(self.master, keys)

    def close(self, timeout=60):
        """Reads until the program ends; its exit status."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.read(deadline - time.monotonic()):
            pass
        os.close(self.master)
        # Both small enough for a pipe's buffer.
        if self.process.stdout is not None:
            self.stdout = self.process.stdout.read()
        if self.process.stderr is not None:
            self.stderr = self.process.stderr.read()
        try:
            return self.process.wait(timeout=max(deadline - time.monotonic(), 1))
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            for stream in (self.process.stdout, self.process.stderr):
                if stream is not None:
                    stream.close()


def test_game_on_a_terminal():
    pytest.importorskip("curses")
    terminal = Terminal([EXAMPLES / "play.py", "--mode", 3])
    try:
        terminal.expect(b"game 1:")
        terminal.send(b"uuu")  # the gap goes up twice at most on a 3x3 board
        terminal.expect(b"Blocked:")
        # An arrow key as the terminal sends it, a new game, and quitting. (Curses redraws
        # only what changed, so the next screens are judged by the summary.)
        terminal.send(b"\x1bOAnq")
    finally:
        status = terminal.close()
    assert status == 0
    summary = terminal.output[terminal.seen :].decode().replace("\r\n", "\n")
    assert re.search(
        r"vostral 3x3: 0 of 2 games solved\n"
        r"  game 1: left unsolved at \d+:\d\d:\d\d with [0-2] moves?\n"
        r"  game 2: left unsolved at \d+:\d\d:\d\d with 0 moves\n",
        summary,
    ), summary


def test_solver_progress_only_on_a_terminal():
    pytest.importorskip("tqdm")

    def solver(delay, streams=("stderr",)):
        return Terminal(["--mode", SIDE], streams=streams, python=("-c", SOLVE_WITH_DELAY, str(delay), str(EXAMPLES)))

    # Work past the delay on a terminal, the same work piped, and work that ends
    # within the delay on a terminal.
    due, piped, quiet = solver(0), solver(0, streams=()), solver(10**6)
    assert due.close() == piped.close() == quiet.close() == 0
    solved = rf"game 1: {SIDE}x{SIDE}, \d+ moves?, solver \d+\.\d ms, duration \d+:\d+:\d+\n1 game solved:"
    for out in (due.stdout, piped.stdout, quiet.stdout):
        assert re.match(solved, out.decode()), out
    assert piped.output == piped.stderr == b"" and quiet.output == b""
    progress = due.output.decode()
    assert re.search(rf"\r *\d+%\|.*\| [\d.]+/{SIDE**2 - 1} *\[", progress), progress
    assert progress.endswith("\r")  # the bar is cleared once the solve is done
