"""The example programs: both solvers against the module and a plain model of the rules,
the game loop on a stand-in screen, and both command lines."""

import pathlib
import random
import re
import subprocess
import sys

import pytest

import solve
from reference import ReferenceTarnel
from reference import solved_board as goal
from support import unsolved_game

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

try:
    import curses

    import play
except ImportError:  # CPython for Windows has no curses: the terminal game does not run there
    curses = play = None
needs_curses = pytest.mark.skipif(play is None, reason="the terminal game needs the curses module")


def play_model(board, letters, allow_blocked=False):
    """Plays `letters` on the model from `board`: the final board and the count played
    when it was first solved (or None). Blocked letters fail, or with `allow_blocked`
    do nothing."""
    model, first_solved = ReferenceTarnel.from_state(board), None
    for played, letter in enumerate(letters, 1):
        assert model.move_tile(letter) or allow_blocked, f"letter {played} ({letter}) is blocked"
        if first_solved is None and model.is_solved():
            first_solved = played
    return model.get_tarnel(), first_solved


def check_solution(start, solution):
    """Reaches the solved board exactly at its end, with no inverse pair left."""
    assert play_model(start, solution)[1] == len(solution) > 0
    assert not re.search("UD|DU|LR|RL", solution)


@pytest.mark.parametrize("mode", range(2, 11))
def test_constructive_solver_on_real_games(mode):
    for _ in range(4):
        game = unsolved_game(mode)
        start = game.get_tarnel()
        solution = solve.solve(start)
        check_solution(start, solution)
        assert game.move_sequence(solution) is True
        assert game.get_tarnel() == goal(mode)
        assert game.get_cmds_str() == solution


@pytest.mark.parametrize("mode", [3, 4, 7, 12])
def test_constructive_solver_on_uniform_boards(mode):
    # Fresh games of large sides are barely scrambled; shuffled boards reach every case.
    rng = random.Random(mode)
    for _ in range(20):
        cells = rng.sample(range(mode * mode), mode * mode)
        start = [cells[r * mode:(r + 1) * mode] for r in range(mode)]
        if not solve.is_solvable(start):
            i, j = [index for index, value in enumerate(cells) if value][:2]
            cells[i], cells[j] = cells[j], cells[i]  # swapping two tiles flips solvability
            start = [cells[r * mode:(r + 1) * mode] for r in range(mode)]
            assert solve.is_solvable(start)
        if start != goal(mode):
            check_solution(start, solve.solve(start))


def test_solver_edges():
    assert solve.solve(goal(4)) == solve.solve_optimal(goal(3)) == ""
    unsolvable = goal(3)
    unsolvable[0][:2] = [2, 1]
    for board in (unsolvable, [[1, 2], [3, 3]], [[1, 2, 0]]):
        assert not solve.is_solvable(board)
        with pytest.raises(ValueError):
            solve.solve(board)
    assert solve.is_solvable([[0]]) and solve.is_solvable(play_model(goal(3), "ULUL")[0])
    assert solve.simplify("UDLRRLULRD") == "" and solve.simplify("ULDRRLDU") == "ULDR"
    one_off, _ = play_model(goal(3), "U")
    assert solve.trim_at_solved(one_off, "DLR") == "D"
    assert solve.trim_at_solved(one_off, "LRD") == "LRD"


@pytest.fixture(scope="module")
def distances_3x3():
    """Shortest solution length of every 3x3 board, by BFS from the solved one."""
    start = tuple(v for row in goal(3) for v in row)
    distance, queue = {start: 0}, [start]
    for state in queue:
        gap = state.index(0)
        for source in (gap - 3, gap + 3, gap - 1 if gap % 3 else -1, gap + 1 if gap % 3 < 2 else -1):
            if 0 <= source < 9:
                cells = list(state)
                cells[gap], cells[source] = cells[source], 0
                following = tuple(cells)
                if following not in distance:
                    distance[following] = distance[state] + 1
                    queue.append(following)
    return distance


def test_optimal_solver_matches_bfs(distances_3x3):
    assert len(distances_3x3) == 181440
    hardest = [state for state, length in distances_3x3.items() if length == 31]
    boards = [unsolved_game(3).get_tarnel() for _ in range(6)]
    boards += [[list(state[r * 3:r * 3 + 3]) for r in range(3)] for state in hardest]
    for start in boards:
        solution = solve.solve_optimal(start)
        assert len(solution) == distances_3x3[tuple(v for row in start for v in row)]
        check_solution(start, solution)
        assert len(solve.solve(start)) >= len(solution)


class StandInScreen:
    """Just enough of a curses window to drive `play.run` without a terminal."""

    def __init__(self, keys, size=(24, 80)):
        self.keys, self.size, self.rows, self.frames = list(keys), size, {}, []
        self.keypad = lambda flag: None
        self.getmaxyx = lambda: self.size
        self.erase = self.rows.clear

    def addstr(self, row, col, text, attr=0):
        self.rows[row] = text

    def refresh(self):
        self.frames.append([self.rows[row] for row in sorted(self.rows)])

    def getch(self):
        return self.keys.pop(0) if self.keys else ord("q")

    def timeout(self, ms):
        assert 0 < ms <= 1000  # the clock must be redrawn about once a second


@needs_curses
def test_game_loop_moves_by_keys():
    keys = [curses.KEY_UP, ord("l"), curses.KEY_DOWN, ord("R"), ord("x"), curses.KEY_LEFT]
    screen = StandInScreen(keys)
    play.run(screen, 3)

    def board_of(frame):
        return [[int(text[i * 2]) if text[i * 2] != " " else 0 for i in range(3)] for text in frame[2:5]]

    assert "0" not in "".join(screen.frames[0][2:5])  # the gap shows as a blank
    expected, _ = play_model(board_of(screen.frames[0]), "ULDRL", allow_blocked=True)
    assert board_of(screen.frames[-1]) == expected
    moved = sum(board_of(a) != board_of(b) for a, b in zip(screen.frames, screen.frames[1:]))
    assert re.search(rf"time \d+:\d+:\d+   moves {moved}$", screen.frames[-1][6])
    small = StandInScreen([], size=(3, 20))
    play.run(small, 4)
    assert "too small" in small.frames[-1][0]


def run_example(*args):
    return subprocess.run([sys.executable, str(EXAMPLES / args[0]), *args[1:]],
                          capture_output=True, text=True, timeout=120, check=False)


@needs_curses
def test_game_command_line():
    demo = run_example("play.py", "--demo")
    assert demo.returncode == 0, demo.stderr
    assert play.BANNER in demo.stdout and "move_tile('U') -> " in demo.stdout


def test_solver_command_line():
    solved = run_example("solve.py", "--mode", "5", "--games", "2")
    assert solved.returncode == 0, solved.stderr
    assert re.findall(r"^game (\d+): 5x5, \d+ moves", solved.stdout, re.M) == ["1", "2"]
    assert run_example("solve.py", "--mode", "5", "--optimal").returncode != 0
