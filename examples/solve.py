"""Solves vostral games and checks the result through the module.

    python examples/solve.py --mode N [--games K] [--optimal]

Every solution is a string of gap letters (U, D, L, R) played with a single
`move_sequence` call. Two solvers are importable:

* `solve(board)`: constructive, for any side. Rows are placed top to bottom while more
  than two remain, then the last two rows column by column, then the final 2x2 block is
  turned. Fast enough for 30x30 in pure Python; the solution is not the shortest.
* `solve_optimal(board)`: IDA* with Manhattan distance plus linear conflict; a shortest
  solution, practical up to 3x3.

`is_solvable(board)` tells whether a board is one that moves can reach (and so solve).

On a terminal, work that outlasts a second shows a progress bar on stderr (tqdm, when
it is installed); elsewhere, and for quick work, nothing is added to the output.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable, Container, Sequence
from typing import Any, TextIO

import vostral

Board = Sequence[Sequence[int]]

INVERSE = {"U": "D", "D": "U", "L": "R", "R": "L"}
PROGRESS_DELAY_S = 1.0  # quicker work shows no progress at all


def counted(number: int, noun: str) -> str:
    """`number` and `noun`, the noun in the plural unless the number is one: "1 move", "2 moves"."""
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


class Refused(Exception):
    """The module would not make a game of the side asked for; the text is its message."""


def new_game(mode: int, make: Callable[[int], vostral.TarnelCore] = vostral.TarnelCore) -> vostral.TarnelCore:
    """`make(mode)`, with the module's refusal of the side raised as `Refused`: the
    module's PanicException (a side above its largest, for one), OverflowError (a side
    too large to convert) or MemoryError. Call it before building anything of size mode²
    in Python, so that a side the module cannot hold fails at once with its message."""
    try:
        return make(mode)
    except (OverflowError, MemoryError) as error:
        raise Refused(_refusal(error)) from error
    except BaseException as error:
        # PanicException derives from BaseException and is not a module attribute: it is
        # known by its class's module and name. Anything else (KeyboardInterrupt) goes on.
        if (type(error).__module__, type(error).__name__) != ("vostral_runtime", "PanicException"):
            raise
        raise Refused(_refusal(error)) from error


def _refusal(error: BaseException) -> str:
    """The exception's type and message: "PanicException: mode 50000 is too large: …"."""
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def solved_board(n: int) -> list[list[int]]:
    """The goal: 1 … n²−1 in reading order, the gap (0) last."""
    return [[(r * n + c + 1) % (n * n) for c in range(n)] for r in range(n)]


def _parity_matches(cells: list[int], n: int) -> bool:
    """Every move is one transposition and moves the gap one step, so the parity of the
    permutation must match the parity of the gap's distance from its home corner."""
    size = n * n
    target = [(value - 1) % size for value in cells]  # where the value in each cell belongs
    seen = bytearray(size)
    cycles = 0
    for start in range(size):
        if not seen[start]:
            cycles += 1
            cell = start
            while not seen[cell]:
                seen[cell] = 1
                cell = target[cell]
    gap_row, gap_col = divmod(cells.index(0), n)
    return (size - cycles) % 2 == (2 * n - 2 - gap_row - gap_col) % 2


def _flatten(board: Board) -> tuple[int, list[int]]:
    """The side and the cells in reading order; rejects malformed or unsolvable boards."""
    n = len(board)
    if n == 0 or any(len(row) != n for row in board):
        raise ValueError("the board must be a non-empty square")
    cells = [int(value) for row in board for value in row]
    if sorted(cells) != list(range(n * n)):
        raise ValueError(f"the board must hold each of 0 … {n * n - 1} once")
    if not _parity_matches(cells, n):
        raise ValueError("the board cannot be solved")
    return n, cells


def is_solvable(board: Board) -> bool:
    """True when `board` is a square holding each of 0 … n²−1 once, arranged so that
    moves reach it from the solved board (and so back)."""
    try:
        _flatten(board)
    except ValueError:
        return False
    return True


def simplify(letters: str) -> str:
    """Cancels adjacent inverse pairs (UD, DU, LR, RL), repeatedly: a detour that returns
    the gap at once changes nothing."""
    kept: list[str] = []
    for letter in letters:
        if kept and kept[-1] == INVERSE[letter]:
            kept.pop()
        else:
            kept.append(letter)
    return "".join(kept)


def trim_at_solved(board: Board, letters: str) -> str:
    """The prefix of `letters` that ends at the first solved board, as `move_sequence`
    stops there; `letters` unchanged if it never passes through the solved board early."""
    n, cells = _flatten(board)
    size = n * n
    step = {"U": -n, "D": n, "L": -1, "R": 1}
    gap = cells.index(0)
    # Count misplaced cells so each move updates the solved test in O(1).
    misplaced = sum(value != (i + 1) % size for i, value in enumerate(cells))
    for played, letter in enumerate(letters, 1):
        source = gap + step[letter]
        if not 0 <= source < size or (letter in "LR" and source // n != gap // n):
            raise ValueError(f"letter {played} ({letter}) is blocked at the edge")
        value = cells[source]
        misplaced -= (value != (source + 1) % size) + (gap != size - 1)
        misplaced += (value != (gap + 1) % size) + (source != size - 1)
        cells[gap], cells[source] = value, 0
        gap = source
        if misplaced == 0:
            return letters[:played]
    return letters


class _Constructor:
    """Builds a solution by moving tiles home one at a time on a private copy."""

    def __init__(self, n: int, cells: list[int]) -> None:
        self.n = n
        self.cells = cells
        self.pos = [0] * (n * n)
        for index, value in enumerate(cells):
            self.pos[value] = index
        self.locked = bytearray(n * n)
        self.letters: list[str] = []
        self.letter_for = {-n: "U", n: "D", -1: "L", 1: "R"}
        self.neighbours = [
            [index + d for d, ok in ((-n, r > 0), (n, r < n - 1), (-1, c > 0), (1, c < n - 1)) if ok]
            for index in range(n * n)
            for r, c in [divmod(index, n)]
        ]
        # Reused BFS bookkeeping: a visit counts only if its stamp is current.
        self.stamp = 0
        self.seen = [0] * (n * n)
        self.parent = [0] * (n * n)

    def cell(self, row: int, col: int) -> int:
        return row * self.n + col

    def step(self, target: int) -> None:
        """The gap moves to the adjacent `target`; its tile slides into the old gap."""
        gap = self.pos[0]
        value = self.cells[target]
        self.cells[gap] = value
        self.pos[value] = gap
        self.cells[target] = 0
        self.pos[0] = target
        self.letters.append(self.letter_for[target - gap])

    def route_gap(self, targets: Container[int], avoid: tuple[int, ...] = ()) -> None:
        """Moves the gap by a shortest path to any cell of `targets`, through cells that are
        neither locked nor in `avoid`."""
        start = self.pos[0]
        if start in targets:
            return
        locked, seen, parent, neighbours = self.locked, self.seen, self.parent, self.neighbours
        for index in avoid:
            locked[index] = 1
        self.stamp += 1
        stamp = self.stamp
        seen[start] = stamp
        queue = [start]
        found = -1
        for current in queue:  # the list grows while it is walked: a FIFO without deque
            for nxt in neighbours[current]:
                if seen[nxt] != stamp and not locked[nxt]:
                    seen[nxt] = stamp
                    parent[nxt] = current
                    if nxt in targets:
                        found = nxt
                        break
                    queue.append(nxt)
            if found >= 0:
                break
        for index in avoid:
            locked[index] = 0
        if found < 0:
            raise RuntimeError("the gap is walled in; the board is not a valid game")
        path = []
        while found != start:
            path.append(found)
            found = parent[found]
        for index in reversed(path):
            self.step(index)

    def push_tile(self, path: list[int], avoid: tuple[int, ...] = ()) -> None:
        """Moves the tile at path[0] along `path`: the gap goes round to the next cell
        without disturbing the tile, then trades places with it."""
        current = path[0]
        for nxt in path[1:]:
            self.route_gap((nxt,), avoid + (current,))
            self.step(current)
            current = nxt

    def l_path(self, source: int, target: int) -> list[int]:
        """Cells from `source` to `target`: along the row first, then along the column."""
        row, col = divmod(source, self.n)
        target_row, target_col = divmod(target, self.n)
        path = [source]
        while col != target_col:
            col += 1 if target_col > col else -1
            path.append(self.cell(row, col))
        while row != target_row:
            row += 1 if target_row > row else -1
            path.append(self.cell(row, col))
        return path

    def place(self, value: int, target: int) -> None:
        self.push_tile(self.l_path(self.pos[value], target))

    def solve_window(self, window: frozenset[int], first: int, second: int, first_goal: int, second_goal: int) -> None:
        """Brings two tiles home inside a small window by BFS over (first, second, gap)
        positions; the other tiles there are still free, so they may go anywhere."""
        start = (self.pos[first], self.pos[second], self.pos[0])
        parent: dict[tuple[int, int, int], tuple[int, int, int] | None] = {start: None}
        queue = [start]
        goal = None
        for state in queue:
            a, b, gap = state
            if a == first_goal and b == second_goal:
                goal = state
                break
            for nxt in self.neighbours[gap]:
                if nxt in window:
                    following = (gap if nxt == a else a, gap if nxt == b else b, nxt)
                    if following not in parent:
                        parent[following] = state
                        queue.append(following)
        if goal is None:
            raise RuntimeError("the window cannot be solved")
        gaps = []
        while goal is not None:
            gaps.append(goal[2])
            goal = parent[goal]
        for index in reversed(gaps[:-1]):
            self.step(index)

    def finish_pair(
        self,
        first: int,
        second: int,
        first_goal: int,
        second_goal: int,
        window: frozenset[int],
        entry: Callable[[int], int],
    ) -> None:
        """The last two tiles of a row (or of a column pair): `first` goes home, `second`
        walks round it into the window (to `entry(its cell)`), and a window search sets
        both. Walking the two straight home instead can trap one in the corner."""
        self.place(first, first_goal)
        first_at = self.pos[first]
        if self.pos[second] not in window:
            self.push_tile(self.l_path(self.pos[second], entry(self.pos[second])), (first_at,))
        self.route_gap(window - {first_at, self.pos[second]}, (first_at, self.pos[second]))
        self.solve_window(window, first, second, first_goal, second_goal)
        self.locked[first_goal] = self.locked[second_goal] = 1

    def solve_row(self, row: int) -> None:
        n, cell = self.n, self.cell
        for col in range(n - 2):
            self.place(row * n + col + 1, cell(row, col))
            self.locked[cell(row, col)] = 1
        window = frozenset(
            [cell(row, n - 2), cell(row, n - 1)]
            + [cell(r, c) for r in (row + 1, row + 2) for c in (n - 3, n - 2, n - 1)]
        )
        second = row * n + n

        def entry(index: int) -> int:
            # The window cell nearest to a tile below or left of it; the L path to it
            # stays outside the window until its last step.
            tile_row, tile_col = divmod(index, n)
            return cell(min(tile_row, row + 2), max(tile_col, n - 3))

        self.finish_pair(second - 1, second, cell(row, n - 2), cell(row, n - 1), window, entry)

    def solve_column_pair(self, col: int) -> None:
        n, cell = self.n, self.cell
        window = frozenset(cell(r, c) for r in (n - 2, n - 1) for c in (col, col + 1, col + 2))
        first, second = (n - 2) * n + col + 1, (n - 1) * n + col + 1
        self.finish_pair(
            first, second, cell(n - 2, col), cell(n - 1, col), window, lambda index: cell(index // n, col + 2)
        )

    def turn_last_block(self) -> None:
        """Three tiles and the gap in the last 2x2 block can only cycle; the gap goes round
        in whichever direction gets home sooner."""
        n, cell = self.n, self.cell
        top_left, top_right = cell(n - 2, n - 2), cell(n - 2, n - 1)
        bottom_left, bottom_right = cell(n - 1, n - 2), cell(n - 1, n - 1)
        block = (top_left, top_right, bottom_left, bottom_right)
        clockwise = {top_left: top_right, top_right: bottom_right, bottom_right: bottom_left, bottom_left: top_left}
        anticlockwise = {after: before for before, after in clockwise.items()}
        best: list[int] | None = None
        for order in (clockwise, anticlockwise):
            cells = {index: self.cells[index] for index in block}
            gap = next(index for index in block if cells[index] == 0)
            path: list[int] = []
            while any(cells[index] != (index + 1) % (n * n) for index in block) and len(path) < 12:
                nxt = order[gap]
                cells[gap], cells[nxt] = cells[nxt], 0
                gap = nxt
                path.append(gap)
            if all(cells[index] == (index + 1) % (n * n) for index in block) and (
                best is None or len(path) < len(best)
            ):
                best = path
        if best is None:
            raise RuntimeError("the last block cannot be solved")
        for index in best:
            self.step(index)

    def run(self, placed: Callable[[int], object]) -> str:
        """The solution; `placed(count)` hears of tiles as they go home, n² − 1 in all."""
        n = self.n
        if n == 1:
            return ""
        for row in range(n - 2):
            self.solve_row(row)
            placed(n)
        for col in range(n - 2):
            self.solve_column_pair(col)
            placed(2)
        self.turn_last_block()
        placed(3)
        return "".join(self.letters)


def solve(board: Board, placed: Callable[[int], object] | None = None) -> str:
    """A solution for `board` (rows of ints, 0 the gap) as gap letters, reaching the solved
    board at its last letter and not before; "" if it is solved already. `placed(count)`,
    if given, is called as tiles reach home, with n² − 1 tiles in all (none for n = 1)."""
    n, cells = _flatten(board)
    letters = _Constructor(n, cells).run(placed or (lambda count: None))
    return trim_at_solved(board, simplify(letters))


def _line_conflict(goals: list[int]) -> int:
    """Extra moves forced in one line: of the tiles that belong there (listed by their goal
    place along the line, in current order), all but an increasing run must leave the line
    and come back, two moves each."""
    longest: list[int] = []  # longest[k]: least tail of an increasing run of length k+1
    for goal in goals:
        k = next((i for i, tail in enumerate(longest) if tail >= goal), len(longest))
        longest[k : k + 1] = [goal]
    return 2 * (len(goals) - len(longest))


def solve_optimal(board: Board) -> str:
    """A shortest solution by IDA*; the time grows steeply with the side (use n <= 3)."""
    n, cells = _flatten(board)
    size = n * n
    if all(value == (i + 1) % size for i, value in enumerate(cells)):
        return ""
    distance = [[0] * size] + [
        [abs((value - 1) // n - i // n) + abs((value - 1) % n - i % n) for i in range(size)] for value in range(1, size)
    ]
    memo: dict[tuple[int, ...], int] = {}

    def row_conflict(row: int) -> int:
        line = tuple(cells[row * n : row * n + n]) + (row, 0)
        if line not in memo:
            memo[line] = _line_conflict([(v - 1) % n for v in line[:n] if v and (v - 1) // n == row])
        return memo[line]

    def col_conflict(col: int) -> int:
        line = tuple(cells[col::n]) + (col, 1)
        if line not in memo:
            memo[line] = _line_conflict([(v - 1) // n for v in line[:n] if v and (v - 1) % n == col])
        return memo[line]

    rows = [row_conflict(r) for r in range(n)]
    cols = [col_conflict(c) for c in range(n)]
    moves = [
        [
            (index + d, letter)
            for d, letter, ok in ((-n, "U", r > 0), (n, "D", r < n - 1), (-1, "L", c > 0), (1, "R", c < n - 1))
            if ok
        ]
        for index in range(size)
        for r, c in [divmod(index, n)]
    ]
    path: list[str] = []
    found = -1

    def search(gap: int, back: int, depth: int, manhattan: int, conflict: int, bound: int) -> int:
        """Depth-first within `bound`; `found` if solved, else the least bound exceeded."""
        estimate = depth + manhattan + conflict
        if estimate > bound:
            return estimate
        if manhattan == 0:
            return found
        least = 1 << 30
        for source, letter in moves[gap]:
            if source == back:  # undoing the last move never shortens a path
                continue
            value = cells[source]
            cells[gap], cells[source] = value, 0
            # A tile moving along a row keeps the row's order but changes two columns.
            lines, update = (cols, col_conflict) if letter in "LR" else (rows, row_conflict)
            a, b = (gap % n, source % n) if letter in "LR" else (gap // n, source // n)
            old_a, old_b = lines[a], lines[b]
            lines[a], lines[b] = update(a), update(b)
            path.append(letter)
            result = search(
                source,
                gap,
                depth + 1,
                manhattan - distance[value][source] + distance[value][gap],
                conflict - old_a - old_b + lines[a] + lines[b],
                bound,
            )
            if result == found:
                return found
            path.pop()
            lines[a], lines[b] = old_a, old_b
            cells[gap], cells[source] = 0, value
            least = min(least, result)
        return least

    gap = cells.index(0)
    manhattan = sum(distance[value][i] for i, value in enumerate(cells))
    bound = manhattan + sum(rows) + sum(cols)
    while True:
        result = search(gap, -1, 0, manhattan, sum(rows) + sum(cols), bound)
        if result == found:
            return "".join(path)
        bound = result


def play_solution(game: vostral.TarnelCore, solver: Callable[[Board], str]) -> tuple[str, float]:
    """Solves `game` with one `move_sequence` call; returns the solution and the solver's
    time in seconds. Raises AssertionError if the module does not agree it is solved."""
    board = game.get_tarnel()
    goal = solved_board(game.get_mode())
    started = time.perf_counter()
    solution = solver(board)
    elapsed = time.perf_counter() - started
    if not solution:
        # An empty sequence cannot report success: only an already solved board gets here.
        assert board == goal, "the solver gave up on an unsolved board"
        return solution, elapsed
    assert game.move_sequence(solution) is True, "move_sequence did not report a solved board"
    assert game.get_tarnel() == goal, "the board is not solved"
    assert game.get_cmds_str() == solution, "the log differs from the solution"
    return solution, elapsed


class _Silent:
    """Stands in for a progress bar where none can be shown."""

    def update(self, count: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    @staticmethod
    def write(text: str, file: TextIO) -> None:
        print(text, file=file)


def progress_bar(total: int, unit: str, stream: TextIO) -> Any:
    """A bar counting `total` units on `stream`, shown only when `stream` is a terminal and
    only once the work has lasted PROGRESS_DELAY_S. Its `write` prints a line without
    tearing a bar that is on the same terminal."""
    try:
        from tqdm import tqdm
    except ImportError:  # optional: the solver works the same without it
        return _Silent()
    # disable=None: tqdm itself turns the bar off unless the stream is a terminal.
    return tqdm(
        total=total,
        unit=unit,
        file=stream,
        disable=None,
        delay=PROGRESS_DELAY_S,
        leave=False,
        dynamic_ncols=True,
        unit_scale=True,
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Solve freshly scrambled vostral games.")
    parser.add_argument("--mode", type=int, default=4, help="side of the board (default 4)")
    parser.add_argument("--games", type=int, default=1, help="number of games (default 1)")
    parser.add_argument("--optimal", action="store_true", help="shortest solutions by IDA* (n <= 3)")
    args = parser.parse_args(argv)
    if args.mode < 2 or args.games < 1:
        parser.error("--mode must be at least 2 and --games at least 1")
    if args.optimal and args.mode > 3:
        parser.error("--optimal is practical only up to --mode 3")
    lengths: list[int] = []
    times: list[float] = []
    games = progress_bar(args.games, "game", sys.stderr) if args.games > 1 else _Silent()
    for number in range(1, args.games + 1):
        try:
            game = new_game(args.mode)
        except Refused as error:
            games.close()
            parser.error(f"--mode {args.mode}: {error}")
        # Only the constructive solver reports its tiles; the optimal one is for 3x3 at most.
        tiles = _Silent() if args.optimal else progress_bar(args.mode**2 - 1, "tile", sys.stderr)
        solver = solve_optimal if args.optimal else (lambda board, placed=tiles.update: solve(board, placed))
        try:
            solution, elapsed = play_solution(game, solver)
        except (AssertionError, ValueError, RuntimeError) as error:
            games.write(f"game {number}: FAILED: {error}", file=sys.stderr)
            return 1
        finally:
            tiles.close()
        lengths.append(len(solution))
        times.append(elapsed)
        note = " (already solved)" if not solution else ""
        games.write(
            f"game {number}: {args.mode}x{args.mode}, {counted(len(solution), 'move')}{note}, "
            f"solver {elapsed * 1000:.1f} ms, duration {game.duration()}",
            file=sys.stdout,
        )
        games.update()
    games.close()
    # A mean reads as a plural even at 1.0 ("1.0 moves").
    print(
        f"{counted(args.games, 'game')} solved: mean {sum(lengths) / len(lengths):.1f} moves, "
        f"mean solver time {sum(times) / len(times) * 1000:.1f} ms"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
