import operator
import sys

import pytest

from reference import ReferenceTarnel
from support import Index, raise_
from vostral import TarnelCore

NEW, TILE, SEQUENCE = "TarnelCore.__new__() ", "TarnelCore.move_tile() ", "TarnelCore.move_sequence() "
NO_ARGUMENT_METHODS = ["get_tarnel", "duration", "get_cmds_str", "get_mode"]
# A keyword name without a UTF-8 form is shown with one U+FFFD per ill-formed byte.
SURROGATE_KEYWORD, SURROGATE_SHOWN = "\udc80", "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"


class IndexedInt(int):
    """Read as an int: its own __index__ must never run."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass was called")


class Holder:
    class Inner:
        pass


class TestConstruction:
    @pytest.mark.parametrize(("argument", "side"), [(4, 4), (True, 1), (Index(3), 3), (IndexedInt(2), 2)])
    def test_mode_conversion(self, argument, side):
        game = TarnelCore(argument)
        assert game.get_mode() == side and type(game.get_mode()) is int
        assert len(game.get_tarnel()) == side
        assert TarnelCore(mode=argument).get_mode() == side

    @pytest.mark.parametrize("argument", [-1, 2**64, Index(-1), Index(2**64), IndexedInt(-5)])
    def test_out_of_range_is_overflow_error_without_prefix(self, argument):
        with pytest.raises(OverflowError) as caught:
            TarnelCore(argument)
        assert type(caught.value) is OverflowError and "argument" not in str(caught.value)

    @pytest.mark.parametrize(
        ("argument", "message"),
        [
            ("4", "'str' object cannot be interpreted as an integer"),
            (4.0, "'float' object cannot be interpreted as an integer"),
            # 3.15 words this one "Index.__index__() must return an int, not str".
            (Index("3"), "__index__ returned non-int (type str)"),
        ],
    )
    def test_non_integer_is_type_error_with_prefix(self, argument, message):
        # The text after the prefix is the interpreter's own, as its index() words it.
        with pytest.raises(TypeError) as interpreter:
            operator.index(argument)
        assert str(interpreter.value) == message or sys.version_info >= (3, 15)
        with pytest.raises(TypeError) as caught:
            TarnelCore(argument)
        assert str(caught.value) == "argument 'mode': " + str(interpreter.value)
        assert caught.value.__cause__ is None and caught.value.__suppress_context__ is True

    def test_wrapped_type_error_keeps_the_cause(self):
        cause = KeyError("why")

        class CausedIndex:
            def __index__(self):
                raise TypeError("not today") from cause

        with pytest.raises(TypeError, match=r"^argument 'mode': not today$") as caught:
            TarnelCore(CausedIndex())
        assert caught.value.__cause__ is cause and caught.value.__suppress_context__ is True

    @pytest.mark.parametrize("error", [ValueError("no size"), type("OwnTypeError", (TypeError,), {})("mine")])
    def test_other_errors_from_index_pass_unchanged(self, error):
        with pytest.raises(type(error)) as caught:
            TarnelCore(Index(lambda: raise_(error)))
        assert caught.value is error


# (call on the game g, exception class, exact message or None for the interpreter's own)
FAILING_CALLS = [
    ("TarnelCore()", TypeError, NEW + "missing 1 required positional argument: 'mode'"),
    ("TarnelCore(4, 5)", TypeError, NEW + "takes 1 positional arguments but 2 were given"),
    ("TarnelCore(4, 5, size=1)", TypeError, NEW + "takes 1 positional arguments but 2 were given"),
    ("TarnelCore(4, mode=5)", TypeError, NEW + "got multiple values for argument 'mode'"),
    ("TarnelCore(Mode=4)", TypeError, NEW + "got an unexpected keyword argument 'Mode'"),
    ("TarnelCore(mode=4, colour=1, size=2)", TypeError, NEW + "got an unexpected keyword argument 'colour'"),
    ("TarnelCore(4, size=1, mode=5)", TypeError, NEW + "got an unexpected keyword argument 'size'"),
    ("TarnelCore(4, mode=5, size=1)", TypeError, NEW + "got multiple values for argument 'mode'"),
    ("TarnelCore(**{SURROGATE_KEYWORD: 4})", TypeError, NEW + SURROGATE_SHOWN),
    ("g.move_tile()", TypeError, TILE + "missing 1 required positional argument: 'direction'"),
    ("g.move_tile('U', 'D', direction='L')", TypeError, TILE + "takes 1 positional arguments but 2 were given"),
    ("g.move_tile('U', direction='D')", TypeError, TILE + "got multiple values for argument 'direction'"),
    ("g.move_tile(Direction='U')", TypeError, TILE + "got an unexpected keyword argument 'Direction'"),
    ("g.move_tile(**{SURROGATE_KEYWORD: 'U'})", TypeError, TILE + SURROGATE_SHOWN),
    ("g.move_sequence()", TypeError, SEQUENCE + "missing 1 required positional argument: 'sequence'"),
    ("g.move_sequence('U', 'D')", TypeError, SEQUENCE + "takes 1 positional arguments but 2 were given"),
    ("g.move_sequence('U', sequence='D')", TypeError, SEQUENCE + "got multiple values for argument 'sequence'"),
    ("g.move_sequence(direction='U')", TypeError, SEQUENCE + "got an unexpected keyword argument 'direction'"),
    ("g.move_tile(5)", TypeError, "argument 'direction': 'int' object cannot be converted to 'PyString'"),
    (
        "g.move_tile(Holder.Inner())",
        TypeError,
        "argument 'direction': 'Holder.Inner' object cannot be converted to 'PyString'",
    ),
    ("g.move_sequence(None)", TypeError, "argument 'sequence': 'NoneType' object cannot be converted to 'PyString'"),
    ("g.move_tile('')", ValueError, "expected a string of length 1"),
    ("g.move_tile('UD')", ValueError, "expected a string of length 1"),
    ("g.move_tile('\\ud800')", UnicodeEncodeError, None),
    ("g.move_sequence('UD\\ud800')", UnicodeEncodeError, None),
]


class TestArgumentBinding:
    @pytest.mark.parametrize(("call", "error", "message"), FAILING_CALLS, ids=[c[0] for c in FAILING_CALLS])
    def test_failing_call_reports_and_changes_nothing(self, call, error, message):
        game = TarnelCore(3)
        board, log = game.get_tarnel(), game.get_cmds_str()
        with pytest.raises(error) as caught:
            eval(call, globals(), {"g": game})
        assert type(caught.value) is error
        assert message is None or str(caught.value) == message
        assert game.get_tarnel() == board and game.get_cmds_str() == log

    @pytest.mark.parametrize(("method", "argument"), [("move_tile", "L"), ("move_sequence", "LLR")])
    def test_keyword_form_equals_positional_form(self, method, argument):
        game = TarnelCore(3)
        model = ReferenceTarnel.from_state(game.get_tarnel(), game.get_cmds_str())
        keyword = {"move_tile": "direction", "move_sequence": "sequence"}[method]
        assert getattr(game, method)(**{keyword: argument}) == getattr(model, method)(argument)
        assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())

    @pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
    def test_no_argument_methods_refuse_arguments(self, name):
        game = TarnelCore(2)
        with pytest.raises(TypeError, match=rf"^TarnelCore\.{name}\(\) takes no arguments \(1 given\)$"):
            getattr(game, name)(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            getattr(game, name)(x=1)

    @pytest.mark.parametrize("name", NO_ARGUMENT_METHODS + ["move_tile", "move_sequence"])
    def test_foreign_receiver_is_refused(self, name):
        # Python's method descriptor refuses the receiver before the method runs.
        with pytest.raises(TypeError, match=f"^descriptor '{name}' for 'builtins.TarnelCore' objects doesn't apply"):
            getattr(TarnelCore, name)(5, *(["U"] if name.startswith("move") else []))


class TestHostileObjects:
    def test_str_subclass_is_read_by_its_contents(self):
        class Lying(str):
            __hash__ = str.__hash__
            __str__ = upper = lambda self: "D"

            def __len__(self):
                return 1

            def __eq__(self, other):
                return True

        game = TarnelCore(3)
        model = ReferenceTarnel.from_state(game.get_tarnel())
        assert game.move_tile(Lying("U")) == model.move_tile("U")
        assert game.move_sequence(Lying("ul")) == model.move_sequence("ul")
        assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())
        with pytest.raises(ValueError, match=r"^expected a string of length 1$"):
            game.move_tile(Lying("UD"))
        # A moved tile hands back its letter as a plain str, never the subclass.
        letter = next(letter for letter in "UDLR" if ReferenceTarnel.from_state(game.get_tarnel()).move_tile(letter))
        moved = game.move_tile(Lying(letter))
        assert type(moved) is str and str.__eq__(moved, letter)

    def test_unprintable_type_error_from_index(self, python_subprocess):
        code = """
            import vostral
            from support import Index, Unprintable, raise_
            try:
                vostral.TarnelCore(Index(lambda: raise_(TypeError(Unprintable()))))
            except TypeError as error:
                print(type(error).__name__, str(error))
        """
        returncode, out, err = python_subprocess(code)
        assert returncode == 0, err
        assert out == "TypeError argument 'mode': <unprintable TypeError object>\n"
        # The failure of str() is reported as unraisable, naming the object it concerned.
        assert "Exception ignored in: TypeError(<support.Unprintable object at " in err
        assert err.rstrip().endswith("RuntimeError: no words for this")
