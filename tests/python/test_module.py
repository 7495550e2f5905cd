import gc
import importlib
import inspect
import sys
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
        assert (TarnelCore.__module__, TarnelCore.__name__, TarnelCore.__qualname__) == (
            "builtins", "TarnelCore", "TarnelCore")
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
        with pytest.raises(TypeError, match="cannot create weak reference to 'builtins.TarnelCore' object"):
            weakref.ref(game)
        assert TarnelCore.__dictoffset__ == 0 and TarnelCore.__weakrefoffset__ == 0
        # Instances refer to no Python objects: the cycle collector never sees them.
        assert not gc.is_tracked(game)
        assert game.get_mode() == 2
