import gc
import importlib
import inspect
import sys
import textwrap
import weakref

import pytest

import vostral
from vostral import TarnelCore

METHOD_SIGNATURES = {
    "move_sequence": "($self, sequence)",
    "get_tarnel": "($self)",
    "move_tile": "($self, direction)",
    "duration": "($self)",
    "get_cmds_str": "($self)",
    "get_mode": "($self)",
}


class TestImport:
    def test_import_again_returns_the_same_module(self):
        assert importlib.import_module("vostral") is vostral
        del sys.modules["vostral"]
        try:
            again = importlib.import_module("vostral")
        finally:
            sys.modules["vostral"] = vostral
        assert again is vostral and again.TarnelCore is TarnelCore
        # A second initialisation must not append to __all__ once more.
        assert vostral.__all__ == ["TarnelCore"]

    def test_module_contents(self):
        assert vostral.__all__ == ["TarnelCore"] and type(vostral.__all__) is list
        assert vostral.__doc__ == ""
        assert {name for name in vars(vostral) if not name.startswith("__")} == {"TarnelCore"}
        assert not [value for value in vars(vostral).values() if inspect.isroutine(value)]


class TestClassShape:
    def test_names_and_signature(self):
        assert TarnelCore.__module__ == "builtins" and TarnelCore.__name__ == TarnelCore.__qualname__ == "TarnelCore"
        assert TarnelCore.__text_signature__ == "(mode)"
        assert TarnelCore.__doc__ in ("", None)
        assert {name for name in vars(TarnelCore) if not name.startswith("_")} == set(METHOD_SIGNATURES)

    @pytest.mark.parametrize(("name", "signature"), METHOD_SIGNATURES.items())
    def test_method_signature_without_description(self, name, signature):
        method = getattr(TarnelCore, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None
        assert method.__qualname__ == f"TarnelCore.{name}"

    def test_subclassing_is_refused(self):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (TarnelCore,), {})

    def test_no_instance_attributes_and_no_weak_references(self):
        game = TarnelCore(2)
        with pytest.raises(AttributeError):
            game.colour = "red"
        with pytest.raises(AttributeError):
            game.get_mode = None
        with pytest.raises(TypeError, match=r"cannot create weak reference to 'builtins\.TarnelCore' object"):
            weakref.ref(game)
        assert TarnelCore.__dictoffset__ == 0 and TarnelCore.__weakrefoffset__ == 0
        # Instances refer to no Python objects: the cycle collector never sees them.
        assert not gc.is_tracked(game)
        assert game.get_mode() == 2


class TestHostileClassChanges:
    """What a caller can do to the class itself; each case runs in its own
    interpreter, since the changes cannot be fully undone."""

    # Runs every method on `game`; prints one line each: its result or its error.
    CALL_ALL_TEMPLATE = """
        import copy, gc
        from vostral import TarnelCore as T
        CALLS = {calls!r}
        def call_all(game):
            for name, args in CALLS:
                try:
                    print(name, repr(getattr(game, name)(*args))[:20])
                except Exception as error:
                    print(name, type(error).__name__, error)
        built = T(3)
    """
    CALLS = (
        ("get_mode", ()),
        ("move_sequence", ("U",)),
        ("move_tile", ("U",)),
        ("get_tarnel", ()),
        ("duration", ()),
        ("get_cmds_str", ()),
    )
    NO_GAME = "TypeError this TarnelCore holds no game: it was not created by TarnelCore.__new__"

    def run(self, python_subprocess, code):
        prelude = textwrap.dedent(self.CALL_ALL_TEMPLATE).format(calls=self.CALLS)
        returncode, out, err = python_subprocess(prelude + textwrap.dedent(code))
        assert returncode == 0, err
        return out.splitlines()

    @pytest.mark.parametrize("then_delete", [False, True], ids=["replaced", "replaced then deleted"])
    def test_object_new_gives_an_object_every_method_refuses(self, python_subprocess, then_delete):
        lines = self.run(
            python_subprocess,
            f"""
            T.__new__ = staticmethod(lambda cls, *args: object.__new__(cls))
            if {then_delete}:
                del T.__new__  # the class keeps the generic slot, which finds object.__new__
            hollow = T()
            call_all(hollow)
            del hollow
            gc.collect()
            print("built", built.get_mode(), len(built.get_cmds_str()))
        """,
        )
        assert lines == [f"{name} {self.NO_GAME}" for name, _ in self.CALLS] + ["built 3 1000"]

    def test_other_ways_to_an_instance_are_refused_or_hollow(self, python_subprocess):
        # After __new__ was replaced and put back, the interpreter's own
        # checks decide which of these it allows; none may reach a missing game.
        lines = self.run(
            python_subprocess,
            """
            original = T.__dict__["__new__"]
            T.__new__ = staticmethod(lambda cls, *args: original(cls, *args))
            attempts = [lambda: T(2), lambda: copy.copy(built), lambda: object.__new__(T),
                        lambda: (lambda f, args: f(*args))(*built.__reduce_ex__(1)[:2])]
            for restored in (False, True):
                if restored:
                    T.__new__ = original
                for attempt in attempts:
                    try:
                        made = attempt()
                    except (TypeError, RecursionError) as error:
                        print("refused", type(error).__name__)
                    else:
                        call_all(made) if made.__class__ is T else print("made", made)
            print("built", built.get_mode(), len(built.get_cmds_str()))
        """,
        )
        assert lines[-1] == "built 3 1000"
        allowed = {f"{name} {self.NO_GAME}" for name, _ in self.CALLS} | {"refused TypeError", "refused RecursionError"}
        assert set(lines[:-1]) <= allowed, lines
