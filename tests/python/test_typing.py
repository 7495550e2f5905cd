"""The type information shipped as the stub-only package `vostral-stubs`.

The stub is checked two ways: against the real module (names, parameter names
and kinds, which the interpreter reports from the module's text signatures),
and through mypy, run on small client scripts against the installed package,
as a user's type checker would see it.
"""

import ast
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import vostral
from vostral import TarnelCore

REPO = pathlib.Path(__file__).resolve().parents[2]
CHECKOUT_STUB = REPO / "stubs" / "vostral-stubs" / "__init__.pyi"
# The wheel puts the stub package beside the module, in the same site-packages.
INSTALLED_STUB = pathlib.Path(vostral.__file__).resolve().parent / "vostral-stubs" / "__init__.pyi"
INSTALLED = INSTALLED_STUB.is_file()
NOT_INSTALLED_REASON = (
    f"vostral is imported from {pathlib.Path(vostral.__file__).parent}, which holds no "
    "vostral-stubs: the suite runs against a build tree, not an installed wheel"
)


def stub_under_test():
    """The stub that belongs to the module under test: the installed one beside
    an installed module, else the checkout's (a build tree carries none)."""
    if INSTALLED:
        return INSTALLED_STUB
    if CHECKOUT_STUB.is_file():
        return CHECKOUT_STUB
    pytest.skip("no vostral-stubs beside the module and none in a checkout")


def parse_stub():
    path = stub_under_test()
    return path, ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def stub_class(tree):
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "TarnelCore"]
    assert len(classes) == 1
    return classes[0]


def stub_methods(cls):
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(function):
    """(name, kind) of every parameter after the first (self or cls)."""
    args = function.args
    assert args.vararg is None and args.kwarg is None and not args.kwonlyargs
    assert not args.defaults and not args.kw_defaults
    positional_only = [(a.arg, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    either = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    return (positional_only + either)[1:]


def runtime_parameters(signature):
    parameters = list(signature.parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in parameters)
    return [(p.name, p.kind) for p in parameters]


class TestStubMatchesModule:
    def test_module_level_names(self):
        _, tree = parse_stub()
        exported = None
        defined = set()
        for node in tree.body:
            if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]:
                exported = ast.literal_eval(node.value)
            elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                defined.add(node.name)
            elif isinstance(node, (ast.Assign, ast.AnnAssign)):
                pytest.fail(f"unexpected module-level assignment at line {node.lineno}")
        assert exported == vostral.__all__
        assert defined == {name for name in vars(vostral) if not name.startswith("__")}

    def test_class_is_final(self):
        _, tree = parse_stub()
        decorators = [ast.unparse(d) for d in stub_class(tree).decorator_list]
        assert decorators == ["final"]
        imported = {
            alias.name for node in tree.body if isinstance(node, ast.ImportFrom) and node.module == "typing"
            for alias in node.names
        }
        assert {"final", "SupportsIndex"} <= imported

    def test_methods_are_the_public_ones(self):
        _, tree = parse_stub()
        methods = stub_methods(stub_class(tree))
        public = {name for name in vars(TarnelCore) if not name.startswith("_")}
        assert set(methods) == public | {"__new__"}

    def test_constructor_parameters(self):
        _, tree = parse_stub()
        new = stub_methods(stub_class(tree))["__new__"]
        assert new.args.args[0].arg == "cls"
        # The class's text signature, "(mode)", is what inspect reports.
        assert stub_parameters(new) == runtime_parameters(inspect.signature(TarnelCore))
        assert stub_parameters(new) == [("mode", inspect.Parameter.POSITIONAL_OR_KEYWORD)]

    @pytest.mark.parametrize("name", sorted(name for name in vars(TarnelCore) if not name.startswith("_")))
    def test_method_parameters(self, name):
        _, tree = parse_stub()
        method = stub_methods(stub_class(tree))[name]
        assert method.args.args[0].arg == "self"
        runtime = runtime_parameters(inspect.signature(getattr(TarnelCore, name)))
        assert runtime[0] == ("self", inspect.Parameter.POSITIONAL_ONLY)
        assert stub_parameters(method) == runtime[1:]

    def test_annotations(self):
        _, tree = parse_stub()
        methods = stub_methods(stub_class(tree))
        shapes = {
            name: ([ast.unparse(a.annotation) for a in method.args.args[1:]], ast.unparse(method.returns))
            for name, method in methods.items()
        }
        assert shapes == {
            "__new__": (["SupportsIndex"], "TarnelCore"),
            "move_tile": (["str"], "str | None"),
            "move_sequence": (["str"], "bool"),
            "get_tarnel": ([], "list[list[int]]"),
            "duration": ([], "str"),
            "get_cmds_str": ([], "str"),
            "get_mode": ([], "int"),
        }
        assert all(ast.get_docstring(method) for method in methods.values())

    @pytest.mark.skipif(not INSTALLED, reason=NOT_INSTALLED_REASON)
    def test_stub_package_is_found_on_the_path(self):
        # A directory without __init__.py: the import system sees a namespace
        # portion, which is how tools that follow sys.path locate it.
        found = importlib.util.find_spec("vostral-stubs")
        assert found is not None
        assert str(INSTALLED_STUB.parent) in [str(pathlib.Path(p).resolve()) for p in found.submodule_search_locations]

    @pytest.mark.skipif(not INSTALLED, reason=NOT_INSTALLED_REASON)
    def test_installed_stub_is_the_checkout_one(self):
        if not CHECKOUT_STUB.is_file():
            pytest.skip("the suite runs outside a checkout")
        assert INSTALLED_STUB.read_bytes() == CHECKOUT_STUB.read_bytes()


GOOD_CLIENT = '''
    from typing_extensions import assert_type

    import vostral
    from vostral import TarnelCore


    class Side:
        def __index__(self) -> int:
            return 3


    def play(game: TarnelCore, letters: str) -> list[str]:
        moved: list[str] = []
        for letter in letters:
            result = game.move_tile(letter)
            assert_type(result, str | None)
            if result is not None:
                assert_type(result, str)
                moved.append(result.lower())
        return moved


    game = TarnelCore(4)
    assert_type(game, TarnelCore)
    assert_type(TarnelCore(mode=4), TarnelCore)
    assert_type(TarnelCore(Side()), TarnelCore)
    assert_type(vostral.TarnelCore(True), TarnelCore)
    assert_type(game.move_tile(direction="U"), str | None)
    assert_type(game.move_sequence("ulDR"), bool)
    assert_type(game.move_sequence(sequence="UD"), bool)
    board = game.get_tarnel()
    assert_type(board, list[list[int]])
    tiles: int = sum(sum(row) for row in board)
    assert_type(game.duration(), str)
    assert_type(game.get_cmds_str(), str)
    assert_type(game.get_mode(), int)
    side: int = game.get_mode() * game.get_mode()
    print(play(game, "UDLR"), tiles, side, vostral.__all__)
'''

# Every line that must be reported is marked with the error code mypy gives it.
BAD_CLIENT = '''
    import vostral
    from vostral import TarnelCore

    game = TarnelCore(4)
    game.move_tile(5)  # E: arg-type
    game.get_mode().upper()  # E: attr-defined
    class Sub(TarnelCore): ...  # E: misc
    TarnelCore()  # E: call-arg
    TarnelCore("4")  # E: arg-type
    TarnelCore(4.0)  # E: arg-type
    TarnelCore(side=4)  # E: call-arg
    game.move_tile("U").upper()  # E: union-attr
    game.move_tile(letter="U")  # E: call-arg
    game.move_tile("U", "D")  # E: call-arg
    game.move_sequence(["U", "D"])  # E: arg-type
    solved: str = game.move_sequence("UD")  # E: assignment
    game.get_tarnel()[0][0].upper()  # E: attr-defined
    game.get_tarnel("U")  # E: call-arg
    game.duration() + 1  # E: operator
    game.get_cmds_str().bit_length()  # E: attr-defined
    game.board  # E: attr-defined
    vostral.PanicException  # E: attr-defined
'''

NOTE_LINE = re.compile(r"^bad\.py:\d+: note: ")
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<message>.*?)  \[(?P<code>[a-z-]+)\]$")


def run_mypy(directory, *arguments):
    # Run where no project configuration can apply, with the interpreter under
    # test naming the site-packages in which the stubs must be found.
    env = {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--python-version", "3.10",
         "--cache-dir", str(directory / ".mypy_cache"), "--show-error-codes", "--no-error-summary",
         "--no-color-output", "--no-pretty", *arguments],
        cwd=directory, env=env, capture_output=True, text=True, timeout=300, check=False,
    )
    return completed.returncode, completed.stdout + completed.stderr


def write_script(directory, name, text):
    path = directory / name
    path.write_text(textwrap.dedent(text).lstrip("\n"), encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def mypy_available():
    pytest.importorskip("mypy", reason="mypy is not installed (requirements-dev.txt has it)")


@pytest.mark.skipif(not INSTALLED, reason=NOT_INSTALLED_REASON)
@pytest.mark.usefixtures("mypy_available")
class TestMypyOnInstalledPackage:
    def test_correct_use_passes_strict_checking(self, tmp_path):
        write_script(tmp_path, "good.py", GOOD_CLIENT)
        status, output = run_mypy(tmp_path, "--strict", "--warn-unreachable", "good.py")
        assert (status, output) == (0, "")

    def test_misuse_is_reported_line_by_line(self, tmp_path):
        script = write_script(tmp_path, "bad.py", BAD_CLIENT)
        expected = {
            (number, match.group(1))
            for number, line in enumerate(script.read_text(encoding="utf-8").splitlines(), start=1)
            if (match := re.search(r"# E: ([a-z-]+)$", line))
        }
        status, output = run_mypy(tmp_path, "bad.py")
        assert status == 1, output
        reported = set()
        messages = {}
        for line in output.splitlines():
            if NOTE_LINE.match(line):
                continue
            match = ERROR_LINE.match(line)
            assert match and match["file"] == "bad.py", f"unexpected mypy output: {line!r}"
            reported.add((int(match["line"]), match["code"]))
            messages.setdefault(int(match["line"]), []).append(match["message"])
        assert reported == expected, output
        # A few messages in full, so the right rule was hit for the right reason.
        def reported_for(statement):
            number = next(n for n, line in enumerate(script.read_text(encoding="utf-8").splitlines(), start=1)
                          if line.startswith(statement))
            return " | ".join(messages[number])

        assert ('Argument 1 to "move_tile" of "TarnelCore" has incompatible type "int"; expected "str"'
                in reported_for("game.move_tile(5)"))
        assert '"int" has no attribute "upper"' in reported_for("game.get_mode().upper()")
        assert 'Cannot inherit from final class "TarnelCore"' in reported_for("class Sub(TarnelCore)")
        assert 'Missing positional argument "mode"' in reported_for("TarnelCore()")
        assert '"SupportsIndex"' in reported_for('TarnelCore("4")')
        assert '"SupportsIndex"' in reported_for("TarnelCore(4.0)")
        assert 'Item "None" of "str | None" has no attribute "upper"' in reported_for('game.move_tile("U").upper()')
        assert 'Module has no attribute "PanicException"' in reported_for("vostral.PanicException")

    def test_stub_itself_is_clean_under_strict_checking(self, tmp_path):
        # A copy under the module's own name: mypy checks a site-packages file
        # only for what its importers use, never in full.
        (tmp_path / "vostral.pyi").write_bytes(INSTALLED_STUB.read_bytes())
        status, output = run_mypy(tmp_path, "--strict", "vostral.pyi")
        assert (status, output) == (0, "")
