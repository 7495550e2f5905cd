"""State of N x N sliding-tile games."""

from typing import SupportsIndex, final

__all__ = ["TarnelCore"]

@final
class TarnelCore:
    """One game: an N x N board, its move log and its start time."""

    def __new__(cls, mode: SupportsIndex) -> TarnelCore:
        """A game of side `mode`, scrambled by 1000 random moves (logged)."""

    def move_tile(self, direction: str) -> str | None:
        """Logs `direction` and moves the gap one step (U, D, L or R).

        Returns the letter when a tile moved, None when the move was blocked
        or the character is no direction.
        """

    def move_sequence(self, sequence: str) -> bool:
        """Empties the log and plays `sequence` upper-cased, one character at a
        time; stops and returns True at the first solved board."""

    def get_tarnel(self) -> list[list[int]]:
        """A fresh copy of the board: rows top to bottom, 0 for the gap."""

    def duration(self) -> str:
        """Time since creation as unpadded "h:m:s"."""

    def get_cmds_str(self) -> str:
        """A copy of the move log."""

    def get_mode(self) -> int:
        """The side given at creation."""
