"""A user's program, type-checked against the stub by test_stub.py and never run.
Every line marked `# E: <code>` must be reported with that code; nothing else may be."""

from typing_extensions import assert_type

import vostral
from vostral import TarnelCore


class Side:
    def __index__(self) -> int:
        return 3


game = TarnelCore(4)
assert_type(TarnelCore(mode=Side()), TarnelCore)
assert_type(vostral.TarnelCore(True), TarnelCore)
assert_type(game.move_tile("U"), str | None)
assert_type(game.move_tile(direction="U"), str | None)
assert_type(game.move_sequence(sequence="ulDR"), bool)
assert_type(game.get_tarnel(), list[list[int]])
assert_type(game.duration(), str)
assert_type(game.get_cmds_str(), str)
assert_type(game.get_mode(), int)

TarnelCore("4")  # E: arg-type
TarnelCore(4.0)  # E: arg-type
game.move_tile(5)  # E: arg-type
game.move_sequence(["U", "D"])  # E: arg-type


class Sub(TarnelCore): ...  # E: misc
