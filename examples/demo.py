"""A short tour of vostral: games of a few sizes, a board, a sequence, the log."""

import vostral


def show(rows: list[list[int]]) -> str:
    width = len(str(max(max(row) for row in rows)))
    return "\n".join(" ".join(str(cell).rjust(width) if cell else "·".rjust(width) for cell in row) for row in rows)


def main() -> None:
    for side in (2, 3, 8):
        game = vostral.TarnelCore(side)
        print(f"{side}x{side} game: scrambled by {len(game.get_cmds_str())} random letters")

    game = vostral.TarnelCore(4)
    print("\nA 4x4 game as created:")
    print(show(game.get_tarnel()))

    moved = game.move_tile("U")
    print(f"\nmove_tile('U') -> {moved!r}  (None means the gap was already in the top row)")

    solved = game.move_sequence("ulDRrdLU")
    print(f"move_sequence('ulDRrdLU') -> {solved}; the log now holds {game.get_cmds_str()!r}")
    print(show(game.get_tarnel()))

    print(
        f"\nside {game.get_mode()}, log length {len(game.get_cmds_str())}, solved: {solved}, elapsed {game.duration()}"
    )


if __name__ == "__main__":
    main()
