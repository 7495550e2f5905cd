"""Play vostral in a terminal.

    python examples/play.py [--mode N]           interactive game (curses)
    python examples/play.py --demo [--mode N]    scripted game on plain output, no terminal

Arrow keys or U/D/L/R (either case) move the gap, q quits. Every key goes through
`move_tile`; the game is solved when the board matches the solved board.
"""

from __future__ import annotations

import argparse
import curses
import sys
from collections.abc import Sequence

import vostral
from solve import solve, solved_board

BANNER = "*** SOLVED ***"
HELP = "arrows or U/D/L/R move the gap, q quits"
KEYS: dict[int, str] = {
    curses.KEY_UP: "U", curses.KEY_DOWN: "D", curses.KEY_LEFT: "L", curses.KEY_RIGHT: "R",
    **{ord(key): key.upper() for key in "udlrUDLR"},
}
QUIT_KEYS = {ord("q"), ord("Q")}
TICK_MS = 250  # getch gives up this often, so the clock moves on without key presses
DEMO_SCRIPT = "ULDRu"  # the lower-case letter shows that only upper case moves a tile


def board_lines(board: Sequence[Sequence[int]]) -> list[str]:
    """The board as text, numbers right-aligned, the gap blank."""
    width = len(str(len(board) ** 2 - 1))
    return [" ".join(str(value).rjust(width) if value else " " * width for value in row)
            for row in board]


def screen_lines(game: vostral.TarnelCore, moves: int) -> list[str]:
    """Everything the game screen shows, top to bottom."""
    board = game.get_tarnel()
    mode = game.get_mode()
    lines = [f"vostral {mode}x{mode}: {HELP}", ""]
    lines += board_lines(board)
    lines += ["", f"time {game.duration()}   moves {moves}"]
    if board == solved_board(mode):
        lines.append(BANNER)
    return lines


def draw(screen: curses.window, lines: list[str]) -> None:
    """Shows `lines`, or a short notice when the terminal cannot hold them."""
    screen.erase()
    height, width = screen.getmaxyx()
    needed_height, needed_width = len(lines), max(map(len, lines)) + 1
    if height < needed_height or width < needed_width:
        lines = [f"Terminal too small: need {needed_width}x{needed_height},",
                 f"have {width}x{height}. Enlarge it or press q."]
    for row, text in enumerate(lines[:height]):
        try:
            screen.addstr(row, 0, text[:max(width - 1, 0)],
                          curses.A_BOLD if text == BANNER else curses.A_NORMAL)
        except curses.error:  # a terminal shrunk to nothing; the next redraw catches up
            pass
    screen.refresh()


def run(screen: curses.window, mode: int) -> None:
    try:
        curses.curs_set(0)
    except curses.error:  # some terminals cannot hide the cursor; a visible one is harmless
        pass
    screen.keypad(True)
    screen.timeout(TICK_MS)
    game = vostral.TarnelCore(mode)
    # Counts the keys that moved a tile; the log also holds blocked and unknown keys.
    moves = 0
    while True:
        draw(screen, screen_lines(game, moves))
        key = screen.getch()
        if key in QUIT_KEYS:
            return
        if key in KEYS and game.move_tile(KEYS[key]) is not None:
            moves += 1


def demo(mode: int) -> int:
    """A scripted game on standard output; 0 when it ends solved."""
    game = vostral.TarnelCore(mode)
    print(f"A new {mode}x{mode} game:", *board_lines(game.get_tarnel()), sep="\n")
    for letter in DEMO_SCRIPT:
        print(f"\nmove_tile({letter!r}) -> {game.move_tile(letter)!r}",
              *board_lines(game.get_tarnel()), sep="\n")
    solution = solve(game.get_tarnel())
    if solution:
        finished = game.move_sequence(solution)
        print(f"\nmove_sequence(<{len(solution)} letters>) -> {finished}")
    else:
        finished = True
        print("\nAlready solved: nothing to play.")
    board = game.get_tarnel()
    solved = finished and board == solved_board(mode)
    print(*board_lines(board), BANNER if solved else "NOT SOLVED", sep="\n")
    print(f"elapsed {game.duration()}")
    return 0 if solved else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Play a vostral sliding-tile game.")
    parser.add_argument("--mode", type=int, default=4, help="side of the board (default 4)")
    parser.add_argument("--demo", action="store_true", help="play a scripted game without curses")
    args = parser.parse_args(argv)
    if args.mode < 2:
        parser.error("--mode must be at least 2")
    if args.demo:
        return demo(args.mode)
    curses.wrapper(run, args.mode)
    return 0


if __name__ == "__main__":
    sys.exit(main())
