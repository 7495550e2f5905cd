"""Play vostral in a terminal.

    python examples/play.py [--mode N]           interactive game (curses)
    python examples/play.py --demo [--mode N]    scripted games on plain output, no terminal

Arrow keys or U/D/L/R (either case) move the gap, n starts a new game, q quits. Every
move goes through `move_tile`. When the board is solved, the time and the move count
stop where they were and the board takes no more moves until a new game; on quitting,
a summary of the games is printed.
"""

from __future__ import annotations

import argparse
import curses
import sys
import textwrap
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NamedTuple

import vostral
from solve import Refused, counted, new_game, solve, solved_board

BANNER = "*** SOLVED ***"
HELP = "arrows or U/D/L/R move the gap, n new game, q quits"
KEYS: dict[int, str] = {
    curses.KEY_UP: "U",
    curses.KEY_DOWN: "D",
    curses.KEY_LEFT: "L",
    curses.KEY_RIGHT: "R",
    **{ord(key): key.upper() for key in "udlrUDLR"},
}
NEW_GAME_KEYS = {ord("n"), ord("N")}
QUIT_KEYS = {ord("q"), ord("Q")}
EDGES = {"U": "top", "D": "bottom", "L": "left", "R": "right"}
TICK_MS = 250  # getch gives up this often, so the clock moves on without key presses
NOTICE_S = 2.0  # how long a notice (a blocked move) stays unless a key replaces it


class Line(NamedTuple):
    """One line of the game screen. On a narrow terminal a line that `wraps` is broken
    between words; a board row cannot be, so the terminal must hold it whole."""

    text: str
    attribute: int = curses.A_NORMAL
    wraps: bool = True

    def least_width(self) -> int:
        """The fewest columns that show the line, wrapped if need be, without cutting it."""
        return max(map(len, self.text.split()), default=0) if self.wraps else len(self.text)

    def rows(self, width: int) -> list[str]:
        """The line as shown `width` columns wide: itself when it fits (spaces kept)."""
        if not self.wraps or len(self.text) <= width:
            return [self.text]
        return textwrap.wrap(self.text, width, break_long_words=False, break_on_hyphens=False)


def board_lines(board: Sequence[Sequence[int]]) -> list[str]:
    """The board as text, numbers right-aligned, the gap blank."""
    width = len(str(len(board) ** 2 - 1))
    return [" ".join(str(value).rjust(width) if value else " " * width for value in row) for row in board]


def reading_time(duration: str) -> str:
    """`duration()`'s unpadded text with two-digit minutes and seconds: 0:0:7 -> 0:00:07."""
    hours, minutes, seconds = duration.split(":")
    return f"{hours}:{int(minutes):02d}:{int(seconds):02d}"


@dataclass(frozen=True)
class Outcome:
    """How one game ended: solved or left, at what time (padded), after how many moves."""

    solved: bool
    time: str
    moves: int

    def __str__(self) -> str:
        verb = "solved in" if self.solved else "left unsolved at"
        return f"{verb} {self.time} with {counted(self.moves, 'move')}"


class Round:
    """One game: the module's state, the moves that moved a tile, and the outcome,
    fixed at the move that solved the board."""

    def __init__(self, mode: int, make: Callable[[int], vostral.TarnelCore]) -> None:
        # The game first: a side that the module refuses fails here (Refused, with the
        # module's message) before Python builds a board of mode² cells.
        self.game = new_game(mode, make)
        self.goal = solved_board(mode)
        # Small boards can come out of the scramble solved; that is no game to play.
        while self.game.get_tarnel() == self.goal:
            self.game = new_game(mode, make)
        self.moves = 0  # the log also holds blocked moves; this counts the ones that moved
        self.finish: Outcome | None = None

    def time(self) -> str:
        # duration() keeps running after the solve; the finish keeps the time it took.
        return self.finish.time if self.finish else reading_time(self.game.duration())

    def move(self, letter: str) -> str:
        """Plays `letter`; returns a notice for the player, empty when a tile moved."""
        if self.finish:
            return "Solved already: n starts a new game, q quits."
        if self.game.move_tile(letter) is None:
            return f"Blocked: the gap is at the {EDGES[letter]} edge."
        self.moves += 1
        if self.game.get_tarnel() == self.goal:
            self.finish = Outcome(True, reading_time(self.game.duration()), self.moves)
        return ""

    def outcome(self) -> Outcome:
        return self.finish or Outcome(False, self.time(), self.moves)


class Session:
    """The games played in one run, one at a time, and what the screen shows of them."""

    def __init__(self, mode: int, new_game: Callable[[int], vostral.TarnelCore] = vostral.TarnelCore) -> None:
        self.mode = mode
        self.new_game = new_game
        self.finished: list[Outcome] = []
        self.round = Round(mode, new_game)
        self.notice = ""
        self.notice_until = 0.0

    def press(self, key: int) -> bool:
        """Acts on one key; False when the player quits."""
        if key < 0 or key == curses.KEY_RESIZE:  # getch timed out, or the next draw adapts
            return True
        if key in QUIT_KEYS:
            self.finished.append(self.round.outcome())
            return False
        notice = ""
        if key in NEW_GAME_KEYS:
            self.finished.append(self.round.outcome())
            self.round = Round(self.mode, self.new_game)
        elif key in KEYS:
            notice = self.round.move(KEYS[key])
            if notice.startswith("Blocked"):
                flash()
        else:
            notice = "That key does nothing (the keys are above)."
        self.notice, self.notice_until = notice, time.monotonic() + NOTICE_S
        return True

    def screen_lines(self) -> list[Line]:
        """Everything the game screen shows, top to bottom, before any wrapping."""
        mode, number = self.mode, len(self.finished) + 1
        lines = [Line(f"vostral {mode}x{mode}, game {number}: {HELP}"), Line("")]
        lines += [Line(text, wraps=False) for text in board_lines(self.round.game.get_tarnel())]
        lines += [Line(""), Line(f"time {self.round.time()}   moves {self.round.moves}")]
        finish = self.round.finish
        if finish:
            lines.append(Line(f"{BANNER} in {finish.time} with {counted(finish.moves, 'move')}", curses.A_BOLD))
        if self.notice and time.monotonic() < self.notice_until:
            lines.append(Line(self.notice, curses.A_REVERSE))
        return lines

    def summary(self) -> list[str]:
        """What is printed on quitting: each game's outcome."""
        solved = sum(outcome.solved for outcome in self.finished)
        games = len(self.finished)
        lines = [f"vostral {self.mode}x{self.mode}: {solved} of {counted(games, 'game')} solved"]
        lines += [f"  game {number}: {outcome}" for number, outcome in enumerate(self.finished, 1)]
        return lines


def flash() -> None:
    """Flashes the screen (or rings the bell) where the terminal can."""
    try:
        curses.flash()
    except curses.error:  # no terminal set up (a test's stand-in screen): the notice suffices
        pass


def screen_rows(lines: list[Line], width: int) -> list[tuple[str, int]]:
    """`lines` wrapped for a terminal `width` columns wide, each row with its attribute.
    The last column stays empty: curses cannot write the bottom-right cell."""
    return [(text, line.attribute) for line in lines for text in line.rows(max(width - 1, 1))]


def draw(screen: curses.window, lines: list[Line]) -> None:
    """Shows `lines`, wrapped to the terminal's width, or a notice saying what size the
    terminal must be when it cannot hold them (wrapped too, and cut only where a single
    word is wider than the terminal)."""
    screen.erase()
    height, width = screen.getmaxyx()
    # A window `fit_width` columns wide and as tall as the rows it takes there holds it all.
    fit_width = max(width, max(line.least_width() for line in lines) + 1)
    rows = screen_rows(lines, fit_width)
    if height < len(rows) or width < fit_width:
        notice = Line(
            f"Terminal too small: need {fit_width} columns by {len(rows)} rows, "
            f"have {width} by {height}. Enlarge it or press q."
        )
        rows = screen_rows([notice], width)
    for row, (text, attribute) in enumerate(rows[:height]):
        try:
            screen.addstr(row, 0, text[: max(width - 1, 0)], attribute)
        except curses.error:  # a terminal shrunk to nothing; the next redraw catches up
            pass
    screen.refresh()


def run(screen: curses.window, session: Session) -> None:
    """The game loop: draws, waits for a key (or the next tick of the clock), acts on it."""
    try:
        curses.curs_set(0)
    except curses.error:  # some terminals cannot hide the cursor; a visible one is harmless
        pass
    screen.keypad(True)
    screen.timeout(TICK_MS)
    while True:
        draw(screen, session.screen_lines())
        if not session.press(screen.getch()):
            return


def show(session: Session, caption: str) -> None:
    print(f"\n{caption}", *(line.text for line in session.screen_lines()), sep="\n")


def demo(session: Session) -> int:
    """Two scripted games on standard output, each solved by the example solver's keys,
    with a blocked move, a move after the solve and a new game; 0 when both end solved."""
    mode = session.mode
    keys = [ord(letter) for letter in "u" * mode]  # mode - 1 moves up at most: the last is blocked
    for number in (1, 2):
        show(session, f"Game {number}, as created:")
        if number == 1:
            for key in keys:
                session.press(key)
            show(session, f"After {len(keys)} presses of u (the gap cannot go up that far):")
        letters = solve(session.round.game.get_tarnel())
        for letter in letters:
            session.press(ord(letter))
        show(session, f"After the solver's {counted(len(letters), 'key')}:")
        if number == 1:
            frozen = session.round.time(), session.round.moves
            session.press(curses.KEY_DOWN)
            show(session, "One more key, which the solved board does not take:")
            if (session.round.time(), session.round.moves) != frozen:
                return 1
            print(f"(duration() itself goes on running, unpadded: {session.round.game.duration()!r})")
        session.press(ord("n" if number == 1 else "q"))
    print("", *session.summary(), sep="\n")
    return 0 if all(outcome.solved for outcome in session.finished) else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Play a vostral sliding-tile game.")
    parser.add_argument("--mode", type=int, default=4, help="side of the board (default 4)")
    parser.add_argument("--demo", action="store_true", help="play scripted games without curses")
    args = parser.parse_args(argv)
    if args.mode < 2:
        parser.error("--mode must be at least 2")
    try:
        session = Session(args.mode)
    except Refused as error:
        parser.error(f"--mode {args.mode}: {error}")
    if args.demo:
        return demo(session)
    try:
        curses.wrapper(run, session)
    except KeyboardInterrupt:  # Ctrl-C quits as q does, summary included
        session.finished.append(session.round.outcome())
    print(*session.summary(), sep="\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
