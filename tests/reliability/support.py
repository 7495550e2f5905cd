"""Helpers shared by the reliability suites and the fuzz harness."""

import os

from reference import ReferenceTarnel, solved_board

OPPOSITE = {"U": "D", "D": "U", "L": "R", "R": "L"}


def reachable(board):
    """True when `board` holds each of 0 .. n*n-1 once in n rows of n, placed so
    that legal moves reach it from the solved board: a move swaps the gap with a
    neighbour, flipping together the parity of the permutation and that of the
    gap's distance from the last cell. Two tiles swapped otherwise break the link."""
    n, cells = len(board), [value for row in board for value in row]
    if any(len(row) != n for row in board) or sorted(cells) != list(range(n * n)):
        return False
    target, seen, cycles = [(value - 1) % (n * n) for value in cells], set(), 0
    for start in range(len(cells)):
        cycles += start not in seen
        while start not in seen:
            seen.add(start)
            start = target[start]
    gap = cells.index(0)
    return (len(cells) - cycles) % 2 == (2 * (n - 1) - gap // n - gap % n) % 2


def effective_moves(board, log):
    """The letters of `log` that moved a tile when played on `board`, and the board they leave."""
    replay = ReferenceTarnel.from_state(board)
    return [ch for ch in log if replay.move_tile(ch) is not None], replay.get_tarnel()


def scramble_path(game):
    """The moves from the solved board to a new game's board, checked by replaying its log."""
    moves, board = effective_moves(solved_board(game.get_mode()), game.get_cmds_str())
    assert board == game.get_tarnel(), "the creation log does not replay to the board"
    return moves


def record_figure(name, value):
    """Adds `value` to the figure `name` in the file that the reliability script sums up."""
    if os.environ.get("VOSTRAL_RELIABILITY_FIGURES"):
        with open(os.environ["VOSTRAL_RELIABILITY_FIGURES"], "a", encoding="utf-8") as figures:
            figures.write(f"{name} {value}\n")
