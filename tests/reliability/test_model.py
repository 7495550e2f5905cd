import random
import re

from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule, run_state_machine_as_test

from reference import OPPOSITE, ReferenceTarnel, solved_board
from support import SAME_UNICODE, effective_moves, is_solvable, record_figure, undo_text
from vostral import TarnelCore

LETTERS = st.sampled_from("UDLRudlr")
EXPANDING = st.sampled_from("éß\ufb02\ufb04\u0149\u0130")
# Any scalar value where the model's upper case is the module's; else the few above.
SCALAR = st.characters(exclude_categories=("Cs",)) if SAME_UNICODE else LETTERS | EXPANDING
# Letters of both cases weigh most; then other ASCII, characters whose upper case
# expands (the two ligatures end in L and so move), astral ones, anything.
CHARACTER = st.one_of(
    LETTERS,
    LETTERS,
    LETTERS,
    LETTERS,
    st.characters(max_codepoint=127),
    EXPANDING,
    st.characters(min_codepoint=0x10000) if SAME_UNICODE else EXPANDING,
    SCALAR,
)
# Long texts cross the core's batches of moves; runs of one letter pile up against an edge.
RUNS = st.lists(st.tuples(LETTERS, st.integers(1, 40)), min_size=20, max_size=200)
LONG = st.text(CHARACTER, min_size=500, max_size=4000) | RUNS.map(lambda runs: "".join(a * n for a, n in runs))
TEXT = st.text(CHARACTER, max_size=40) | st.text(SCALAR, max_size=40) | LONG
# A solution may spell each letter in any of these forms, and carry characters
# whose upper case holds no letter at all.
SPELLINGS = {"U": "Uu", "D": "Dd", "L": ["L", "l", "\ufb02", "\ufb04"], "R": "Rr"}
NOISE = [ch for ch in map(chr, range(0x20, 0xD800)) if not set(ch.upper()) & set("UDLR")] + ["\U0001f600"]
# Sides on both sides of 8 x 8: a board read copies small boards inline.
SIDES = st.sampled_from([1, 2, 3, 4, 5, 6, 8, 9, 16])


class GameMachine(RuleBasedStateMachine):
    """One game and its model: after every step they agree on everything."""

    games = steps = 0

    @initialize(mode=SIDES, walk=st.text(LETTERS, max_size=400))
    def create(self, mode, walk):
        self.game = TarnelCore(mode)
        # Back to the solved board, so that a failing example replays alike
        # whatever the scramble was, then a drawn walk away from it.
        assert self.game.move_sequence(undo_text(self.game) + "x") is True
        self.model = ReferenceTarnel.from_state(self.game.get_tarnel(), self.game.get_cmds_str())
        self.path = []  # the moves from the solved board to the current one
        self.play(walk, keyword=False)
        GameMachine.games += 1

    def walk(self, letters):
        for letter in letters:
            if self.path and self.path[-1] == OPPOSITE[letter]:
                self.path.pop()
            else:
                self.path.append(letter)

    def play(self, text, keyword):
        board = self.model.get_tarnel()
        result = self.game.move_sequence(sequence=text) if keyword else self.game.move_sequence(text)
        assert result is self.model.move_sequence(text)
        if result:
            self.path = []
        else:
            self.walk(effective_moves(board, self.model.get_cmds_str())[0])
        return result

    @rule(ch=CHARACTER, keyword=st.booleans())
    def move_tile(self, ch, keyword):
        result = self.game.move_tile(direction=ch) if keyword else self.game.move_tile(ch)
        assert result == self.model.move_tile(ch)
        self.walk(result or "")

    @rule(text=TEXT, keyword=st.booleans())
    def move_sequence(self, text, keyword):
        self.play(text, keyword)

    @rule(seed=st.integers(0, 2**32), keyword=st.booleans())
    def solve(self, seed, keyword):
        """Undoing every move since the solved board, in mixed spellings with noise, solves it."""
        rng = random.Random(seed)
        noise = rng.random() / 2
        text = "".join(
            (rng.choice(NOISE) if rng.random() < noise else "") + rng.choice(SPELLINGS[OPPOSITE[letter]])
            for letter in reversed(self.path)
        ) + "".join(rng.choices(NOISE, k=rng.randrange(3)))
        # With nothing to undo the board is solved already: any character finds it so.
        assert self.path or self.model.is_solved()
        assert self.play(text, keyword) is bool(text)
        assert not text or self.game.get_tarnel() == solved_board(self.game.get_mode())

    @rule(ch=st.sampled_from(NOISE))
    def probe_solved(self, ch):
        """A character that moves nothing still runs the game's own solved test."""
        self.play(ch, keyword=False)

    @rule()
    def reads_are_fresh_copies(self):
        board, log = self.game.get_tarnel(), self.game.get_cmds_str()
        board[0][0], board[-1] = -1, []
        assert self.game.get_tarnel() == self.model.get_tarnel() and log == self.model.get_cmds_str()
        assert re.fullmatch(r"\d+:\d+:\d+", self.game.duration())

    @invariant()
    def agrees_with_the_model(self):
        GameMachine.steps += 1
        board = self.game.get_tarnel()
        assert board == self.model.get_tarnel() and is_solvable(board)
        assert (self.game.get_cmds_str(), self.game.get_mode()) == (self.model.get_cmds_str(), self.model.get_mode())


def test_game_agrees_with_the_model():
    run_state_machine_as_test(GameMachine)
    record_figure("model_games", GameMachine.games)
    record_figure("model_steps", GameMachine.steps)
