"""The example programs: both solvers against the module and a plain model of the rules,
the game loop on a stand-in screen, and both command lines."""

import itertools
import pathlib
import random
import re
import subprocess
import sys

import pytest

import solve
import vostral
from reference import ReferenceTarnel
from reference import solved_board as goal
from support import LINUX, SANITIZED, TOO_LARGE, unsolved_game

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
        start = [cells[r * mode : (r + 1) * mode] for r in range(mode)]
        if not solve.is_solvable(start):
            i, j = [index for index, value in enumerate(cells) if value][:2]
            cells[i], cells[j] = cells[j], cells[i]  # swapping two tiles flips solvability
            start = [cells[r * mode : (r + 1) * mode] for r in range(mode)]
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
    boards += [[list(state[r * 3 : r * 3 + 3]) for r in range(3)] for state in hardest]
    for start in boards:
        solution = solve.solve_optimal(start)
        assert len(solution) == distances_3x3[tuple(v for row in start for v in row)]
        check_solution(start, solution)
        assert len(solve.solve(start)) >= len(solution)


class StandInScreen:
    """Just enough of a curses window to drive `play.run` without a terminal. The keys
    come from a list, or from a generator that may look at the frames drawn so far."""

    def __init__(self, keys, size=(24, 80)):
        self.keys, self.size, self.rows, self.frames = iter(keys), size, {}, []
        self.keypad = lambda flag: None
        self.getmaxyx = lambda: self.size
        self.erase = self.rows.clear

    def addstr(self, row, col, text, attr=0):
        self.rows[row] = text

    def refresh(self):
        self.frames.append([self.rows[row] for row in sorted(self.rows)])

    def getch(self):
        return next(self.keys, ord("q"))

    def timeout(self, ms):
        assert 0 < ms <= 1000  # the clock must be redrawn about once a second


def board_of(frame, mode=3):
    """The board a frame of the game screen shows (single-digit tiles), 0 the gap."""
    return [[int(text[i * 2]) if text[i * 2] != " " else 0 for i in range(mode)] for text in frame[2 : 2 + mode]]


class SetClockGame:
    """A real game whose duration() reads a clock that the test sets."""

    now = "0:0:0"

    def __init__(self, mode):
        self.game = vostral.TarnelCore(mode)

    def __getattr__(self, name):
        return getattr(self.game, name)

    def duration(self):
        return SetClockGame.now


@needs_curses
class TestGame:
    def test_keys_move_the_gap_and_blocked_ones_say_so(self):
        keys = [curses.KEY_UP, ord("l"), curses.KEY_DOWN, ord("R"), ord("x"), curses.KEY_LEFT] + [ord("U")] * 3
        screen = StandInScreen(keys)
        play.run(screen, play.Session(3))
        assert "0" not in "".join(screen.frames[0][2:5])  # the gap shows as a blank
        expected, _ = play_model(board_of(screen.frames[0]), "ULDRLUUU", allow_blocked=True)
        assert board_of(screen.frames[-1]) == expected
        moved = sum(board_of(a) != board_of(b) for a, b in itertools.pairwise(screen.frames))
        assert re.fullmatch(rf"time \d+:\d\d:\d\d   moves {moved}", screen.frames[-1][6])
        assert screen.frames[5][7] == "That key does nothing (the keys are above)."
        # The gap goes up at most twice on a 3x3 board: the last U is blocked.
        assert screen.frames[-1][7] == "Blocked: the gap is at the top edge."
        small = StandInScreen([], size=(3, 20))
        play.run(small, play.Session(4))
        assert "too small" in small.frames[-1][0]

    def test_narrow_screens_wrap_the_text_and_say_the_size_they_need(self):
        session = play.Session(3)
        screen = StandInScreen([ord("x")], size=(24, 30))
        play.run(screen, session)
        board = play.board_lines(session.round.game.get_tarnel())
        for frame in screen.frames:
            assert all(len(text) < 30 for text in frame)  # the last column stays empty
            blank = frame.index("")
            assert " ".join(frame[:blank]) == f"vostral 3x3, game 1: {play.HELP}"
            assert frame[blank + 1 : blank + 4] == board
        # After the board, a blank line and the time: the notice for the x key, wrapped.
        assert " ".join(frame[blank + 6 :]) == "That key does nothing (the keys are above)."

        def message(size, mode=10):  # a 10x10 board is 29 columns wide
            screen = StandInScreen([], size=size)
            play.run(screen, play.Session(mode))
            assert all(len(text) < size[1] for text in screen.frames[-1])
            return " ".join(screen.frames[-1])

        need = re.search(r"^Terminal too small: need (\d+) columns by (\d+) rows, have 20 by 24\.", message((24, 20)))
        width, height = int(need[1]), int(need[2])
        assert width == 30 and message((height, width)).startswith("vostral 10x10, game 1:")
        for size in ((height - 1, width), (height, width - 1)):
            assert message(size).startswith(
                f"Terminal too small: need {width} columns by {height} rows, have {size[1]} by {size[0]}."
            )

    def test_solve_freezes_the_game_and_a_new_one_starts(self):
        session = play.Session(3, new_game=SetClockGame)
        arrows = {"U": curses.KEY_UP, "D": curses.KEY_DOWN, "L": curses.KEY_LEFT, "R": curses.KEY_RIGHT}
        seen = {}

        def player(screen):
            letters = solve.solve(board_of(screen.frames[-1]))
            SetClockGame.now = "0:0:5"
            yield from (arrows[letter] for letter in letters)
            seen["solved"] = screen.frames[-1]
            SetClockGame.now = "0:1:9"
            yield -1  # a tick of the clock
            seen["later"] = screen.frames[-1]
            yield ord("D")
            seen["refused"] = screen.frames[-1]
            yield ord("n")
            seen["new"] = screen.frames[-1]
            yield from [ord("U")] * 3
            SetClockGame.now = "1:2:3"

        screen = StandInScreen([])
        screen.keys = player(screen)
        play.run(screen, session)
        moves = len(solve.solve(board_of(screen.frames[0])))
        assert board_of(seen["solved"]) == goal(3)
        assert seen["solved"][6:8] == [f"time 0:00:05   moves {moves}", f"{play.BANNER} in 0:00:05 with {moves} moves"]
        assert seen["later"] == seen["solved"]  # the time and the count stay as they were
        assert seen["refused"][:8] == seen["solved"] and seen["refused"][8].startswith("Solved already")
        assert seen["new"][0].startswith("vostral 3x3, game 2:") and board_of(seen["new"]) != goal(3)
        assert seen["new"][6] == "time 0:01:09   moves 0" and len(seen["new"]) == 7
        moved_up = sum(board_of(a) != board_of(b) for a, b in itertools.pairwise(screen.frames[-4:]))
        assert session.summary() == [
            "vostral 3x3: 1 of 2 games solved",
            f"  game 1: solved in 0:00:05 with {moves} moves",
            f"  game 2: left unsolved at 1:02:03 with {play.counted(moved_up, 'move')}",
        ]

    def test_games_never_start_solved(self):
        made = []

        def new_game(mode):
            game = vostral.TarnelCore(mode)
            if not made:  # the first comes solved
                game.move_sequence(solve.solve(game.get_tarnel()) or "UD")
                assert game.get_tarnel() == goal(mode)
            made.append(game)
            return game

        round_ = play.Round(2, new_game)
        assert len(made) >= 2 and round_.game is made[-1] and round_.game.get_tarnel() != goal(2)

    @pytest.mark.parametrize(
        ("text", "padded"),
        [("0:0:7", "0:00:07"), ("0:59:59", "0:59:59"), ("25:1:1", "25:01:01"), ("100:0:10", "100:00:10")],
    )
    def test_time_is_padded_for_reading(self, text, padded):
        assert play.reading_time(text) == padded

    def test_outcomes_read_as_sentences(self):
        assert str(play.Outcome(True, "0:00:07", 1)) == "solved in 0:00:07 with 1 move"
        assert str(play.Outcome(False, "1:02:03", 0)) == "left unsolved at 1:02:03 with 0 moves"


def run_example(*args, **options):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / args[0]), *args[1:]],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
        **options,
    )


@needs_curses
@pytest.mark.parametrize("mode", [2, 4])
def test_game_command_line(mode):
    demo = run_example("play.py", "--demo", "--mode", str(mode))
    assert demo.returncode == 0, demo.stderr
    out = demo.stdout
    assert out.count(f"vostral {mode}x{mode}, game 1:") == 4 and out.count(f"vostral {mode}x{mode}, game 2:") == 2
    assert "Blocked: the gap is at the top edge." in out and "Solved already" in out
    solved = re.findall(rf"^{re.escape(play.BANNER)} in (\d+:\d\d:\d\d) with (\d+) moves?$", out, re.MULTILINE)
    assert len(solved) == 3 and solved[0] == solved[1]  # frozen through the refused key
    assert out.endswith(
        f"vostral {mode}x{mode}: 2 of 2 games solved\n"
        f"  game 1: solved in {solved[0][0]} with {play.counted(int(solved[0][1]), 'move')}\n"
        f"  game 2: solved in {solved[2][0]} with {play.counted(int(solved[2][1]), 'move')}\n"
    )


def limit_address_space():
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))


@pytest.mark.parametrize("example", [pytest.param("play.py", marks=needs_curses), "solve.py"])
def test_a_side_the_module_refuses_is_a_usage_error(example):
    # The module must refuse the side before Python builds a board of that size; where
    # it can, the limit turns a board built first into a MemoryError, not gigabytes.
    limit = limit_address_space if LINUX and not SANITIZED else None
    refused = run_example(example, "--mode", "50000", preexec_fn=limit)
    assert refused.returncode == 2 and refused.stdout == ""
    message = TOO_LARGE.format(50000)
    assert refused.stderr.endswith(f"{example}: error: --mode 50000: PanicException: {message}\n"), refused.stderr


def test_solver_command_line():
    solved = run_example("solve.py", "--mode", "5", "--games", "2")
    assert solved.returncode == 0, solved.stderr
    assert re.findall(r"^game (\d+): 5x5, \d+ moves", solved.stdout, re.MULTILINE) == ["1", "2"]
    assert re.search(r"\n2 games solved: mean \d+\.\d moves, mean solver time \d+\.\d ms\n$", solved.stdout)
    assert solved.stderr == ""
    refused = run_example("solve.py", "--mode", "5", "--optimal")
    assert refused.returncode == 2 and refused.stdout == ""
    assert refused.stderr.endswith("solve.py: error: --optimal is practical only up to --mode 3\n"), refused.stderr
    # Two of a 2x2 game's 12 boards are one move from solved: 100 games meet them.
    small = run_example("solve.py", "--mode", "2", "--games", "100")
    assert re.search(r"^game \d+: 2x2, 1 move,", small.stdout, re.MULTILINE), small.stdout
    assert not re.search(r"(?<![\d.])1 (moves|games)\b", small.stdout)
