import pathlib
import random

import pytest

from reference import DIRECTION_OFFSETS, OPPOSITE, ReferenceTarnel, solved_board
from support import undo_text, unsolved_game
from vostral import TarnelCore

# Upper case as the module's table has it, from the expectations that the
# core's tests share ("CP:U1 U2 U3" in hex; unlisted characters stay).
TABLE_UPPER = {
    chr(int(cp, 16)): "".join(chr(int(u, 16)) for u in result.split())
    for cp, result in (
        line.split(":")
        for line in (pathlib.Path(__file__).parents[1] / "core" / "upper_case_unicode_13.txt").read_text().splitlines()
    )
}


def model_of(game):
    return ReferenceTarnel.from_state(game.get_tarnel(), game.get_cmds_str())


def state(game):
    return game.get_tarnel(), game.get_cmds_str()


class TestMoves:
    @pytest.mark.parametrize("letter", "UDLR")
    def test_letter_moves_the_gap_that_way_until_blocked(self, letter):
        game = TarnelCore(4)
        dr, dc = DIRECTION_OFFSETS[letter]
        for _ in range(3):  # enough to reach the edge from anywhere
            before = game.get_tarnel()
            r, c = next((r, c) for r in range(4) for c in range(4) if before[r][c] == 0)
            moved, after = game.move_tile(letter), game.get_tarnel()
            if 0 <= r + dr < 4 and 0 <= c + dc < 4:
                assert moved == letter and type(moved) is str
                before[r][c], before[r + dr][c + dc] = before[r + dr][c + dc], 0
            else:
                assert moved is None
            assert after == before
        board, log = state(game)
        assert game.move_tile(letter) is None
        assert state(game) == (board, log + letter)
        assert game.move_tile(OPPOSITE[letter]) == OPPOSITE[letter]

    @pytest.mark.parametrize("character", ["u", "d", "l", "r", "X", "é", "\ufb02", "\x00", "\U0001d518", "\U0010ffff"])
    def test_other_characters_are_logged_as_given_and_move_nothing(self, character):
        game = TarnelCore(3)
        board, log = state(game)
        assert game.move_tile(character) is None
        assert state(game) == (board, log + character)


class TestMoveSequence:
    @pytest.mark.parametrize("case", [str, str.lower])
    def test_stops_at_the_first_solved_board(self, case):
        game = unsolved_game()
        text = undo_text(game)
        model = model_of(game)
        assert game.move_sequence(case(text + "XDRUL")) is True
        assert game.get_tarnel() == solved_board(4)
        # The letters after the one that solved the board are neither applied nor logged.
        assert game.get_cmds_str() and text.startswith(game.get_cmds_str())
        assert model.move_sequence(text) is True
        assert state(game) == state(model)

    @pytest.mark.parametrize(
        ("text", "upper"),
        [("ß", "SS"), ("\ufb02", "FL"), ("\ufb04", "FFL"), ("\u0149", "\u02bcN"), ("udlr", "UDLR"), ("\x00é", "\x00É")],
    )
    def test_log_holds_the_upper_cased_text(self, text, upper):
        game = unsolved_game()
        model = model_of(game)
        solved = game.move_sequence(text)
        # Only a board solved part-way may cut the log short.
        assert game.get_cmds_str() == upper or (solved and upper.startswith(game.get_cmds_str()))
        # Each character of an expansion is played on its own: FL is one L move.
        assert solved is model.move_sequence(text)
        assert state(game) == state(model)

    @pytest.mark.parametrize(("text", "log"), [("dUU", "D"), ("ßx", "S"), ("\ufb02", "F"), ("xyz", "X"), ("", "")])
    def test_solved_board_stops_after_the_first_character(self, text, log):
        # A 1 x 1 board is always solved and the test runs after every character,
        # blocked moves and non-directions too, even within one expansion; an
        # empty text runs no test at all.
        game = TarnelCore(1)
        assert game.move_sequence(text) is bool(text)
        assert game.get_cmds_str() == log

    # The batch kernels against the model, here too because the wheels' tests on
    # other processors run this suite alone: lengths around the batch sizes, runs
    # that pile up against an edge, letters back and forth, non-ASCII in between;
    # and the stop on the solving character wherever it falls in a batch.
    @pytest.mark.parametrize("mode", [2, 3, 9])
    @pytest.mark.parametrize("length", [255, 256, 257, 1023, 1024, 1536])
    def test_long_texts_match_the_model(self, mode, length):
        rng = random.Random(f"{mode} {length}")
        pieces = [*"UdLrx\xe9\xdf\ufb02\U0001f600", "UD", "rl", *(c * 2 * mode for c in "UDLR")]
        text = "".join(rng.choice(pieces) for _ in range(length))
        game = unsolved_game(mode)
        if mode == 3:
            # Padding puts the way back's last letter at character `length` - 1 when the way
            # is shorter than that; it may pass the solved board sooner, and the model says where.
            undo = undo_text(game)
            text = "x" * (length - len(undo)) + undo + text
        model = model_of(game)
        solved = game.move_sequence(text)
        assert solved is model.move_sequence(text) and (solved or mode != 3)
        assert state(game) == state(model)

    def test_every_character_is_upper_cased_on_its_own(self):
        # All but surrogates and the characters whose upper case holds a
        # direction letter: no tile moves, so nothing stops early.
        upper = [TABLE_UPPER.get(chr(cp), chr(cp)) for cp in range(0x110000)]
        characters = [
            chr(cp) for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF and not set(upper[cp]) & set(OPPOSITE)
        ]
        game = unsolved_game()
        board = game.get_tarnel()
        assert game.move_sequence("".join(characters)) is False
        assert state(game) == (board, "".join(upper[ord(ch)] for ch in characters))


class TestReads:
    @pytest.mark.parametrize("mode", [1, 2, 3, 4, 7, 8, 9, 30])
    def test_new_game_is_a_scrambled_permutation_with_its_log(self, mode):
        game = TarnelCore(mode)
        board = game.get_tarnel()
        assert len(board) == mode and all(len(row) == mode for row in board)
        assert sorted(value for row in board for value in row) == list(range(mode * mode))
        assert all(type(value) is int for row in board for value in row)
        log = game.get_cmds_str()
        assert len(log) == 1000 and set(log) <= set("UDLR")
        undo_text(game)
        assert game.get_mode() == mode and type(game.get_mode()) is int

    @pytest.mark.parametrize("mode", [3, 9])
    def test_get_tarnel_returns_fresh_lists(self, mode):
        game = TarnelCore(mode)
        first, second = game.get_tarnel(), game.get_tarnel()
        assert first == second and first is not second
        assert all(a is not b for a, b in zip(first, second, strict=True))
        first[0][0] = 99
        first.append([1])
        assert game.get_tarnel() == second
