"""Runs the project's linters and formatter checks; fails on any finding.

  - ruff check and ruff format --check over the Python files (pyproject.toml
    says which);
  - clang-format --dry-run -Werror over the C++ files that git tracks
    (.clang-format-ignore leaves out the generated ones);
  - clang-tidy (.clang-tidy) over the translation units of a compile
    database that are the project's own, two at a time.

The tools are the ones installed beside this interpreter, so a virtual
environment synced with locks/lint.lock provides them at their pinned versions:

  python tools/lint.py --build-dir build/dev

The compile database comes from configuring a preset (cmake --preset dev, which
writes build/dev/compile_commands.json); only the files it compiles are checked
by clang-tidy, so sources for other platforms are not. --changed-since REF
checks only the translation units changed since REF with clang-tidy, or all of
them when a header or a clang-tidy configuration changed. --fix lets ruff and
clang-format rewrite what they can instead of only reporting it.

Exit status: 0 clean, 1 findings, 2 a tool or the compile database missing.
"""

import argparse
import concurrent.futures
import json
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CXX_PATTERNS = ("*.cpp", "*.hpp", "*.h", "*.inc")
# A change to one of these can change what clang-tidy says about any
# translation unit.
HEADER_SUFFIXES = {".hpp", ".h", ".inc"}
TIDY_CONFIG = ".clang-tidy"
STEPS = ("ruff", "ruff-format", "clang-format", "clang-tidy")


class Missing(Exception):
    """A tool or an input the run needs is not there."""


def tool(name):
    """The tool installed beside the running interpreter (not whatever is on PATH)."""
    # A venv's interpreter may be a symlink: its own directory is the venv's bin.
    folder = pathlib.Path(sys.executable).parent
    for candidate in (folder / name, folder / f"{name}.exe"):
        if candidate.is_file():
            return str(candidate)
    raise Missing(f"{name} is not installed beside {sys.executable}: pip install -r locks/lint.lock")


def git_files(*arguments):
    out = subprocess.run(["git", *arguments], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    return [line for line in out.split("\0" if "-z" in arguments else "\n") if line]


def plural(count, noun):
    return f"{count} {noun}{'' if count == 1 else 's'}"


def run(command, **kwargs):
    """(exit status, stdout and stderr together) of a command run from the root."""
    done = subprocess.run(
        command, cwd=ROOT, capture_output=True, encoding="utf-8", errors="replace", check=False, **kwargs
    )
    return done.returncode, done.stdout + done.stderr


def ruff_check(fix):
    return run([tool("ruff"), "check", *(["--fix"] if fix else []), "."])


def ruff_format(fix):
    return run([tool("ruff"), "format", *([] if fix else ["--check"]), "."])


def clang_format(fix):
    files = git_files("ls-files", "-z", "--", *CXX_PATTERNS)
    if not files:
        return 0, ""  # clang-format would read its standard input
    return run([tool("clang-format"), *(["-i"] if fix else ["--dry-run", "-Werror"]), *files])


def translation_units(build_dir):
    """The project's own files that the compile database compiles, once each."""
    database = build_dir / "compile_commands.json"
    if not database.is_file():
        raise Missing(f"no {database}: configure first, e.g. cmake --preset dev")
    tracked = {(ROOT / name).resolve() for name in git_files("ls-files", "-z", "--", "*.cpp")}
    units = []
    for entry in json.loads(database.read_text(encoding="utf-8")):
        path = pathlib.Path(entry["directory"], entry["file"]).resolve()
        # Sources that are not the project's (GoogleTest built from source) stay out.
        if path in tracked and path not in units:
            units.append(path)
    return units


def changed_since(ref):
    """Paths (relative to the root) that differ from `ref`, uncommitted changes and new files included."""
    return set(git_files("diff", "--name-only", "-z", ref, "--")) | set(
        git_files("ls-files", "-z", "--others", "--exclude-standard")
    )


def select_units(units, changed):
    """The units among `changed`, or all of them if a header or a clang-tidy configuration is among it."""
    paths = [pathlib.PurePath(name) for name in changed]
    if any(path.suffix in HEADER_SUFFIXES or path.name == TIDY_CONFIG for path in paths):
        return units
    wanted = {(ROOT / name).resolve() for name in changed}
    return [unit for unit in units if unit in wanted]


def clang_tidy(build_dir, units, jobs):
    clang_tidy_path = tool("clang-tidy")

    def one(unit):
        return run([clang_tidy_path, "-p", str(build_dir), "--quiet", str(unit)])

    status, findings = 0, []
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for unit, (code, out) in zip(units, pool.map(one, units), strict=True):
            # Warnings are errors (.clang-tidy), so any finding fails the unit.
            if code != 0 or "warning:" in out or "error:" in out:
                status = 1
                findings.append(f"--- {unit.relative_to(ROOT)}\n{out.rstrip()}")
    return status, "\n".join(findings)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--build-dir",
        type=pathlib.Path,
        default=ROOT / "build" / "dev",
        help="where compile_commands.json is (default: build/dev)",
    )
    parser.add_argument(
        "--changed-since", metavar="REF", help="clang-tidy only the translation units changed since this git ref"
    )
    parser.add_argument("--jobs", type=int, default=2, help="clang-tidy processes at once (default: 2)")
    parser.add_argument("--only", choices=STEPS, action="append", help="run only this step (may be repeated)")
    parser.add_argument("--skip", choices=STEPS, action="append", default=[], help="leave out this step")
    parser.add_argument("--fix", action="store_true", help="let ruff and clang-format rewrite the files")
    parser.add_argument("files", nargs="*", help="clang-tidy only these of the translation units (pre-commit)")
    args = parser.parse_args(argv)
    steps = [step for step in (args.only or STEPS) if step not in args.skip]
    build_dir = args.build_dir if args.build_dir.is_absolute() else pathlib.Path.cwd() / args.build_dir

    failed = []
    started = time.monotonic()
    try:
        for step in steps:
            begun = time.monotonic()
            if step == "ruff":
                status, out = ruff_check(args.fix)
            elif step == "ruff-format":
                status, out = ruff_format(args.fix)
            elif step == "clang-format":
                status, out = clang_format(args.fix)
            else:
                units = translation_units(build_dir)
                if args.files:
                    units = select_units(units, set(args.files))
                if args.changed_since:
                    units = select_units(units, changed_since(args.changed_since))
                status, out = clang_tidy(build_dir, units, args.jobs)
                step = f"clang-tidy ({plural(len(units), 'translation unit')})"
            outcome = "ok" if status == 0 else "FAILED"
            print(f"== {step}: {outcome} in {time.monotonic() - begun:.1f} s", flush=True)
            if status != 0:
                failed.append(step)
                if out.strip():
                    print(out.rstrip(), flush=True)
    except Missing as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    total = time.monotonic() - started
    if failed:
        print(
            f"lint: {len(failed)} of {plural(len(steps), 'step')} found problems ({', '.join(failed)}) in {total:.1f} s"
        )
        return 1
    print(f"lint: {plural(len(steps), 'step')} clean in {total:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
