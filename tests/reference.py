"""A plain Python version of ``vostral.TarnelCore``.

It is what a user would write without the extension: a list of lists for the
board, a scan for the gap on every move, a cell-by-cell solved test and the
move log kept as a str. The benchmarks measure the extension against it, and
the tests use it as the model that the extension's boards and logs must match.
"""

import random
import time

# Where the gap travels for each letter, as (row offset, column offset).
DIRECTION_OFFSETS = {"U": (-1, 0), "D": (1, 0), "L": (0, -1), "R": (0, 1)}
OPPOSITE = {"U": "D", "D": "U", "L": "R", "R": "L"}
SCRAMBLE_LETTERS = "UDLR"
SCRAMBLE_MOVES = 1000


def solved_board(mode):
    """The solved arrangement of side ``mode``: 1 .. n*n-1 row by row, gap last."""
    board = [[r * mode + c + 1 for c in range(mode)] for r in range(mode)]
    board[mode - 1][mode - 1] = 0
    return board


def elapsed_text(elapsed_ms):
    """``H:M:S`` for a span in milliseconds; partial seconds are dropped.

    A negative span (the clock was set back) reads as no time at all.
    """
    elapsed_ms = max(0, elapsed_ms)
    hours, rest = divmod(elapsed_ms, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    return f"{hours}:{minutes}:{rest // 1000}"


def now_ms():
    return time.time_ns() // 1_000_000


class ReferenceTarnel:
    """One N x N sliding-tile game with the same methods as ``TarnelCore``."""

    def __init__(self, mode):
        if mode < 1:
            raise ValueError("a board needs at least one cell")
        self._mode = mode
        self._board = solved_board(mode)
        self._goal = solved_board(mode)
        self._cmds = ""
        # Timed before the scramble, so the elapsed time includes it.
        self._start_ms = now_ms()
        for _ in range(SCRAMBLE_MOVES):
            self.move_tile(random.choice(SCRAMBLE_LETTERS))

    @classmethod
    def from_state(cls, board, cmds=""):
        """A game in the given arrangement (not scrambled) with the given log.

        ``board`` is copied, so later changes to it do not reach the game.
        """
        mode = len(board)
        cells = sorted(value for row in board for value in row)
        if any(len(row) != mode for row in board) or cells != list(range(mode * mode)):
            raise ValueError("a board must be square and hold each of 0 .. n*n-1 once")
        game = cls.__new__(cls)
        game._mode = mode
        game._board = [list(row) for row in board]
        game._goal = solved_board(mode)
        game._cmds = cmds
        game._start_ms = now_ms()
        return game

    def _find_gap(self):
        for r, row in enumerate(self._board):
            for c, value in enumerate(row):
                if value == 0:
                    return r, c
        raise AssertionError("the board has no gap")

    def move_tile(self, direction):
        """Logs ``direction``; moves the gap one step if it is an unblocked letter.

        Returns ``direction`` when a tile moved, None otherwise.
        """
        if not isinstance(direction, str) or len(direction) != 1:
            raise ValueError("expected a string of length 1")
        # Logged first: blocked moves and other characters are recorded too.
        self._cmds += direction
        offset = DIRECTION_OFFSETS.get(direction)
        if offset is None:
            return None
        r, c = self._find_gap()
        tr, tc = r + offset[0], c + offset[1]
        if not (0 <= tr < self._mode and 0 <= tc < self._mode):
            return None
        self._board[r][c] = self._board[tr][tc]
        self._board[tr][tc] = 0
        return direction

    def is_solved(self):
        for r in range(self._mode):
            for c in range(self._mode):
                if self._board[r][c] != self._goal[r][c]:
                    return False
        return True

    def move_sequence(self, sequence):
        """Replaces the log by the upper-cased text, played up to the first solved board.

        Each character is upper-cased on its own, so one character may become
        several moves, each followed by its own solved test.
        """
        self._cmds = ""
        for original in sequence:
            for ch in original.upper():
                self.move_tile(ch)
                if self.is_solved():
                    return True
        return False

    def get_tarnel(self):
        return [list(row) for row in self._board]

    def get_cmds_str(self):
        return self._cmds

    def get_mode(self):
        return self._mode

    def duration(self):
        return elapsed_text(now_ms() - self._start_ms)
