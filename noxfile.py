"""The project's test stages, one nox session each.

    .venv/bin/nox                 the quick tier: lint, then the quick session
    .venv/bin/nox -t full         every stage, what CI runs (bash scripts/test.sh --full)
    .venv/bin/nox -s demo         the demonstration
    .venv/bin/nox -l              the sessions and what each checks

`bash scripts/test.sh` and `bash scripts/demo.sh` make .venv (uv and nox, as
locks/tools.lock pins them) first. Every environment is made by uv and holds
exactly what a lock names (`uv pip sync`); the locks in locks/ are compiled
from the dependency groups of pyproject.toml (`nox -s lock`). The stages that
only a shell does well (a root of Debian unstable, Wine, the cross toolchain)
are scripts that their session runs.
"""

import os
import pathlib
import shutil
import subprocess
import sys

import nox

ROOT = pathlib.Path(__file__).resolve().parent
DEV_LOCK = "locks/dev.lock"
DIST_LOCK = "locks/dist.lock"
LINT_LOCK = "locks/lint.lock"
WHEELS_LOCK = "locks/wheels.lock"
FREETHREADED_LOCK = "locks/freethreaded.lock"
# Lock file: (its dependency group in pyproject.toml, the oldest interpreter it
# serves, extra uv pip compile options). Every lock is universal and hashed but
# the Windows stage's: its pip fetches wheels for Windows on this machine, where
# the markers of a universal lock would leave out the Windows-only packages, and
# installs them from a folder of wheels, together with the module's wheel.
LOCKS = {
    "locks/tools.lock": ("tools", "3.10", []),
    DEV_LOCK: ("dev", "3.10", []),
    DIST_LOCK: ("dist", "3.10", []),
    LINT_LOCK: ("lint", "3.10", []),
    WHEELS_LOCK: ("wheels", "3.12", []),  # cibuildwheel needs 3.11 or later
    "locks/zig.lock": ("zig", "3.10", []),
    FREETHREADED_LOCK: ("freethreaded", "3.13", []),
    # The hosted CI's wheel tests (before-test in pyproject.toml).
    "locks/test.lock": ("test", "3.10", []),
    "locks/test-freethreaded.lock": ("test-freethreaded", "3.13", []),
    "locks/windows-test.lock": ("windows-test", "3.10", ["--python-platform", "x86_64-pc-windows-msvc"]),
}
UNIVERSAL = ["--universal", "--generate-hashes"]


def _tools_python():
    """The CPython that builds and tests by default, chosen as scripts/lib.sh
    chooses it ($PYTHON, else the oldest CPython 3.10+ that pyenv holds, else
    python3), which exports its answer as PYTHON. When nox is run by hand
    without it: the interpreter .venv, and so nox itself, was made from."""
    return os.environ.get("PYTHON") or str(
        pathlib.Path(sys.base_prefix, "bin", f"python{sys.version_info[0]}.{sys.version_info[1]}")
    )


OLDEST = _tools_python()
OTHERS = ["3.11", "3.12", "3.13"]
EVERY = ["3.10", *OTHERS]
CXX_TEST_DEBS = ["g++", "libgtest-dev", "faketime", "ccache"]

nox.needs_version = ">=2026.10.20"
nox.options.default_venv_backend = "uv"
nox.options.reuse_venv = "yes"
# A promised interpreter that is missing fails its session, naming it.
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["quick", "lint"]
# The full tier runs two sessions at a time (-j 2): none shares a build tree,
# an environment or a cache that cannot be shared with another.
nox.options.allow_parallel = True


def _pyenv_bins():
    """The newest pyenv CPython of each minor version, by its own bin directory:
    pyenv's shims refuse a version that is not selected."""
    root = os.environ.get("PYENV_ROOT") or str(pathlib.Path.home() / ".pyenv")
    if shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=False).stdout.strip() or root
    newest = {}
    for version in pathlib.Path(root, "versions").glob("3.*"):
        parts = version.name.split(".")
        if len(parts) == 3 and all(part.isdigit() for part in parts) and (version / "bin").is_dir():
            key = tuple(map(int, parts))
            if key > newest.get(key[:2], (0,)):
                newest[key[:2]] = key
    return [str(pathlib.Path(root, "versions", ".".join(map(str, key)), "bin")) for key in newest.values()]


# The scripts that sessions run call uv, which sits beside nox in .venv.
os.environ["PATH"] = os.pathsep.join(
    [*_pyenv_bins(), str(pathlib.Path(sys.executable).parent), os.environ.get("PATH", "")]
)
# Interpreters come from this machine only: a missing one is an error, not a download.
os.environ.setdefault("UV_PYTHON_DOWNLOADS", "never")
# Every CMake build compiles through ccache, which also serves fresh clones:
# paths under the checkout are hashed relative to it.
# The absolute form of the fault reports' path map differs from clone to clone
# and changes nothing where the relative one applies, so it is not hashed; nor
# is the build directory (debug information may then name another clone's).
if shutil.which("ccache"):
    os.environ.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    os.environ.setdefault("CCACHE_BASEDIR", str(ROOT))
    os.environ.setdefault("CCACHE_IGNOREOPTIONS", "-fmacro-prefix-map=*")
    os.environ.setdefault("CCACHE_NOHASHDIR", "1")


def debs(session, *packages):
    """Installs the Debian packages that are missing; when it cannot, the
    session ends with the helper's own one-line reason."""
    done = subprocess.run(["bash", "scripts/debs.sh", *packages], cwd=ROOT, capture_output=True, text=True, check=False)
    if done.returncode:
        sys.stderr.write(done.stdout + done.stderr)
        reason = [line for line in done.stderr.splitlines() if line.strip()] or [f"exit status {done.returncode}"]
        session.error(f"Debian packages {' '.join(packages)}: {reason[-1].removeprefix('error: ')}")
    if done.stdout.strip():
        session.log(f"installed the Debian packages that were missing of: {' '.join(packages)}")


def sync(session, lock=DEV_LOCK):
    """The session's environment, exactly as the lock has it."""
    session.run_install("uv", "pip", "sync", "--quiet", lock)


def _tag(session, python):
    """cp310 and the like, for the interpreter."""
    code = "import sys; print('cp%d%d' % sys.version_info[:2])"
    return session.run(str(python), "-c", code, silent=True, external=True).strip()


def pip_groups(*groups):
    """Dependency groups of pyproject.toml as pip takes them (pip 25.1 or later)."""
    return [word for group in groups for word in ("--group", f"pyproject.toml:{group}")]


def config(*settings):
    """Build settings as uv and pip take them: -C a=b -C c=d."""
    return [word for setting in settings for word in ("-C", setting)]


def install_module(session, *settings, env=None):
    """A real (not editable) build and install of the module, warnings as errors:
    into the session's own environment, or into the one `env` names."""
    session.run_install(
        *["uv", "pip", "install", "--quiet", "--no-deps", "--no-build-isolation", "--reinstall-package", "vostral"],
        *config("cmake.define.VOSTRAL_WERROR=ON", *settings),
        ".",
        **({"env": env, "external": True} if env is not None else {}),
    )


def dev_environment(session):
    """The everyday environment, .nox/dev, for the quick tier and the demo: the
    dev lock and an editable install of the module that rebuilds itself, when
    imported, in build/editable-cpXY (a debug build, warnings as errors, with
    the C++ tests). Returns (its interpreter, environment for session.run,
    build directory)."""
    python = _which(session, OLDEST)
    venv = ROOT / ".nox" / "dev"
    wanted = session.run(python, "-c", "import sys; print(sys.version)", silent=True, external=True)
    have = None
    if (venv / "bin" / "python").exists():
        have = subprocess.run(
            [venv / "bin" / "python", "-c", "import sys; print(sys.version)"],
            capture_output=True,
            text=True,
            check=False,
        ).stdout
    if have != wanted:
        session.run("uv", "venv", "--quiet", "--clear", "--python", python, str(venv), external=True)
    env = {"VIRTUAL_ENV": str(venv), "PATH": os.pathsep.join([str(venv / "bin"), os.environ["PATH"]])}
    build = f"build/editable-{_tag(session, venv / 'bin' / 'python')}"
    # The build runs without isolation, with the lock's backend, CMake and
    # Ninja: they must be there before the module is built, and the rebuilds at
    # import use the same ones.
    if not list(venv.glob("lib/python*/site-packages/scikit_build_core")):
        session.run("uv", "pip", "sync", "--quiet", DEV_LOCK, env=env, external=True)
    # uv reinstalls an editable only when its metadata changes; a build tree
    # that is gone (rm -rf build) must be made again, or every import fails.
    fresh = []
    if not (ROOT / build / "CMakeCache.txt").exists():
        session.log(f"building vostral into {build} (a debug build with the C++ tests: a minute or two the first time)")
        fresh = ["--reinstall-package", "vostral"]
    editable = pathlib.Path(session.create_tmp(), "editable.txt")
    editable.write_text(f"-e {ROOT}\n")
    session.run(
        *["uv", "pip", "sync", "--quiet", "--no-build-isolation"],
        *fresh,
        *config(
            "editable.rebuild=true",
            "editable.verbose=false",
            f"build-dir={build}",
            "build.targets=all",
            "cmake.build-type=Debug",
            "cmake.define.VOSTRAL_WERROR=ON",
            "cmake.define.VOSTRAL_BUILD_TESTS=ON",
        ),
        DEV_LOCK,
        str(editable),
        env=env,
        external=True,
    )
    return str(venv / "bin" / "python"), env, build


def _which(session, python):
    """The interpreter's path; a missing one ends the session, naming it."""
    found = shutil.which(python if os.sep in python else f"python{python}")
    if not found:
        session.error(f"CPython {python} not found: set PYTHON to a CPython 3.10 or later, or install one")
    return found


@nox.session(venv_backend="none", tags=["quick", "full"])
def quick(session):
    """The everyday tier: the editable debug build (rebuilt as the sources
    changed), its C++ tests, and the Python suite and the README's examples
    against it (quick profile)."""
    debs(session, *CXX_TEST_DEBS)
    python, env, build = dev_environment(session)
    bin_dir = pathlib.Path(python).parent
    session.run(bin_dir / "cmake", "--build", build, env=env, external=True)
    session.run(
        bin_dir / "ctest",
        "--test-dir",
        build,
        "--exclude-regex",
        "^pytest$",
        "--parallel",
        "2",
        "--output-on-failure",
        env=env,
        external=True,
    )
    session.run(
        python,
        "-m",
        "pytest",
        "tests/python",
        "tests/scripts",
        # The README's examples, run as the doctests they are written as.
        "README.md",
        "--doctest-glob=README.md",
        "-p",
        "no:cacheprovider",
        *session.posargs,
        env={**env, "VOSTRAL_TEST_PROFILE": "quick"},
        external=True,
    )


@nox.session(venv_backend="none")
def demo(session):
    """A tour of the API, scripted games and the solver, on the editable build."""
    debs(session, *CXX_TEST_DEBS)
    python, env, _ = dev_environment(session)
    run = lambda *args: session.run(python, *args, env=env, external=True)  # noqa: E731
    session.log("a tour of the API")
    run("examples/demo.py")
    session.log("scripted games")
    run("examples/play.py", "--demo")
    session.log("the solver: 3x3 optimally, then larger boards constructively")
    run("examples/solve.py", "--mode", "3", "--games", "3", "--optimal")
    for side in ("5", "10", "20"):
        run("examples/solve.py", "--mode", side)


@nox.session(python=OLDEST, requires=["quick"], tags=["quick", "full"])
def lint(session):
    """ruff, clang-format and clang-tidy (over the quick session's compile database),
    validate-pyproject, and zizmor and check-jsonschema over the hosted CI's workflows."""
    sync(session, LINT_LOCK)
    session.run("validate-pyproject", "pyproject.toml")
    build = f"build/editable-{_tag(session, _which(session, OLDEST))}"
    session.run("python", "tools/lint.py", "--build-dir", build, *session.posargs)
    # The workflows run only on the Git host, so they are checked here before
    # they first run there: offline, since no audit may depend on reaching
    # GitHub; pedantic, since a release workflow holds publishing rights.
    workflows = sorted(str(path.relative_to(ROOT)) for path in (ROOT / ".github" / "workflows").glob("*.yml"))
    session.run("zizmor", "--offline", "--persona", "pedantic", "--no-progress", *workflows)
    session.run("check-jsonschema", "--builtin-schema", "vendor.github-workflows", *workflows)


def zig_stage(session, script):
    """A cross-building stage's script, in an environment with the dev lock."""
    sync(session)
    # zig keeps a cache of its own; the wrappers it is called through are no compiler ccache knows.
    session.run("bash", script, env={"CMAKE_CXX_COMPILER_LAUNCHER": "", "CMAKE_C_COMPILER_LAUNCHER": ""}, external=True)


# The longest stage first, so that the others run beside it.
@nox.session(python="3.10", tags=["full"])
def windows(session):
    """Windows: C++ tests under Wine; two zig-built wheels, each installed and tested in
    Windows CPython 3.10-3.13 under Wine (scripts/windows.sh)."""
    zig_stage(session, "scripts/windows.sh")


@nox.session(python="3.10", tags=["full"])
def macos(session):
    """macOS as near as this machine gets: the module built with zig's Clang and
    libc++ and the Python suite against it (quick profile); core, runtime,
    module and C++ tests built for x86_64 macOS 10.15 and arm64 macOS 11.0,
    and the Mach-O files checked (scripts/macos.sh)."""
    zig_stage(session, "scripts/macos.sh")


@nox.session(python=OLDEST, tags=["full"])
def aarch64(session):
    """64-bit ARM under qemu-user: core, runtime, module and C++ tests cross-built
    with Debian's cross GCC, the C++ tests run under emulation, and the Python
    suite (quick profile) run in a Debian arm64 root by its own CPython
    (scripts/aarch64.sh)."""
    sync(session)
    session.run("bash", "scripts/aarch64.sh", external=True)


@nox.session(python="3.10", tags=["full"])
def musl(session):
    """musl: the C++ tests as static programs built with zig for x86_64 and
    aarch64, run here and under qemu-aarch64; the kernels' Advanced SIMD
    instructions read back from the aarch64 program and from the kernels
    compiled for aarch64 Windows and macOS (scripts/musl.sh)."""
    zig_stage(session, "scripts/musl.sh")


@nox.session(venv_backend="none", tags=["full"])
@nox.parametrize("debian", ["12", "13"])
def cleanroom(session, debian):
    """A newcomer's machine: a stock Debian root (python3, python3-venv, git and
    ca-certificates alone), a fresh clone of HEAD, and the README's two commands
    run there as written (scripts/cleanroom.sh)."""
    session.run("bash", "scripts/cleanroom.sh", debian, external=True)


def cmake_suite(session, preset, build, profile, *options):
    """Configures and builds a preset, runs its C++ tests, then the Python suite
    against its module through CTest, whose output is shown whole."""
    session.run(
        "cmake",
        "--preset",
        preset,
        "-B",
        build,
        f"-DPython_EXECUTABLE={session.virtualenv.location}/bin/python",
        *options,
        silent=True,
    )
    session.run("cmake", "--build", build, "--parallel", "2")
    env = {"VOSTRAL_TEST_PROFILE": profile}
    session.run(
        "ctest", "--test-dir", build, "--exclude-regex", "^pytest$", "--parallel", "2", "--output-on-failure", env=env
    )
    session.run("ctest", "--test-dir", build, "--tests-regex", "^pytest$", "--verbose", env=env)


@nox.session(python=OLDEST, tags=["full"])
def asan(session):
    """The address and undefined-behaviour sanitizers: C++ tests and the Python suite (full profile)."""
    debs(session, *CXX_TEST_DEBS)
    sync(session)
    cmake_suite(session, "asan", "build/asan", "full")


@nox.session(python=OLDEST, tags=["full"])
def installed(session):
    """`pip install .` (not editable): the Python suite and the stub check (full profile)."""
    debs(session, "g++", "faketime", "ccache")
    sync(session)
    install_module(session)
    session.run(
        "python",
        "-m",
        "pytest",
        "tests/python",
        "tests/typing",
        "-p",
        "no:cacheprovider",
        env={"VOSTRAL_TEST_PROFILE": "full"},
    )


@nox.session(python=OLDEST, tags=["full"])
def reliability(session):
    """Model, fuzzing, fault isolation, allocation failures, memcheck (scripts/reliability.sh; `-- --long`)."""
    debs(session, *CXX_TEST_DEBS, "valgrind")
    sync(session)
    install_module(session)
    session.run("bash", "scripts/reliability.sh", *session.posargs, env={"VOSTRAL_TEST_PROFILE": "full"}, external=True)


@nox.session(python=OTHERS, tags=["full"])
def versions(session):
    """The module built for each later CPython, and the Python suite against it (quick profile)."""
    debs(session, "g++", "faketime", "ccache")
    sync(session)
    install_module(session)
    session.run(
        "python", "-m", "pytest", "tests/python", "-p", "no:cacheprovider", "-q", env={"VOSTRAL_TEST_PROFILE": "quick"}
    )


@nox.session(python="3.10", tags=["full"])
def wheel(session):
    """The sdist, and from it one stable-ABI wheel (cp310-abi3) built with the oldest
    CPython, into build/wheels; each checked by twine and the wheel by check-wheel-contents."""
    debs(session, "g++", "ccache")
    sync(session, DIST_LOCK)
    out = ROOT / "build" / "wheels"
    for old in [*out.glob("vostral-*-linux_*.whl"), *out.glob("vostral-*.tar.gz")]:
        old.unlink()
    frontend = ["python", "-m", "build", "--no-isolation", "--outdir", str(out)]
    session.run(*frontend, "--sdist", ".")
    [sdist] = out.glob("vostral-*.tar.gz")
    # The wheel is built from the unpacked sdist, as pip builds one from PyPI: a
    # file the sdist leaves out fails here. The tree sits at a fixed place in
    # the checkout, so that ccache serves the next run.
    unpacked = ROOT / "build" / "sdist"
    shutil.rmtree(unpacked, ignore_errors=True)
    unpacked.mkdir(parents=True)
    session.run("tar", "-xzf", str(sdist), "-C", str(unpacked), external=True)
    [source] = unpacked.iterdir()
    session.run(*frontend, "--wheel", *config("wheel.py-api=cp310", "cmake.define.VOSTRAL_WERROR=ON"), str(source))
    check_distributions(session, sdist, {pathlib.Path(abi3_wheel()): "vostral.abi3.so"})


def check_distributions(session, sdist, wheels):
    """The sdist and each wheel (path: its module's file name) as PyPI would
    take them (twine check --strict: the metadata, and the README as the
    project's page renders it), and each wheel's files (check-wheel-contents).
    A finding ends the session, naming the file and the finding."""
    for path in [sdist, *wheels]:
        checks = [["twine", "--no-color", "check", "--strict", str(path)]]
        if path in wheels:
            # Exactly the module and the stub-only package beside it at the top
            # level. Naming them replaces the warning about more than one
            # top-level entry, which a module with its stubs always draws.
            checks.append(["check-wheel-contents", f"--toplevel={wheels[path]},vostral-stubs", str(path)])
        for tool, *arguments in checks:
            command = [str(pathlib.Path(session.bin, tool)), *arguments]
            done = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, check=False)
            if done.returncode:
                finding = " | ".join(line.strip() for line in (done.stdout + done.stderr).splitlines() if line.strip())
                session.error(f"{tool} refuses {path.name}: {finding}")
        session.log(f"{path.name}: {' and '.join(check[0] for check in checks)} find nothing")


def abi3_wheel():
    found = sorted((ROOT / "build" / "wheels").glob("vostral-*-cp310-abi3-linux_*.whl"))
    if not found:
        raise nox.command.CommandFailed("no stable-ABI wheel in build/wheels: run the wheel session")
    return str(found[-1])


@nox.session(python=EVERY, requires=["wheel"], tags=["full"])
def wheel_test(session):
    """The stable-ABI wheel installed on each CPython, and the Python suite against it (quick profile)."""
    debs(session, "faketime")
    sync(session)
    session.run_install("uv", "pip", "install", "--quiet", "--no-deps", "--reinstall-package", "vostral", abi3_wheel())
    # The module that answers must be the wheel's one binary.
    session.run("python", "-c", "import vostral; assert vostral.__file__.endswith('.abi3.so'), vostral.__file__")
    session.run(
        "python", "-m", "pytest", "tests/python", "-p", "no:cacheprovider", "-q", env={"VOSTRAL_TEST_PROFILE": "quick"}
    )


@nox.session(python="3.12", requires=["wheel"], tags=["full"])
def wheel_audit(session):
    """auditwheel's verdict on the stable-ABI wheel, and the hosted CI's build identifiers."""
    sync(session, WHEELS_LOCK)
    session.run("auditwheel", "show", abi3_wheel())
    # Not the suites' conftest: this check needs neither the module nor its test tools.
    session.run("python", "-m", "pytest", "tests/packaging", "--noconftest", "-p", "no:cacheprovider", "-q")


@nox.session(python="3.10", requires=["wheel"], tags=["full"])
def unstable(session):
    """CPython 3.14 and 3.15 in a root of Debian unstable: the module built there, the stable-ABI
    wheel, and on 3.15 the wheel for the stable ABI of both builds (cp315-abi3.abi3t), built there."""
    sync(session)
    session.run("bash", "scripts/unstable.sh", abi3_wheel(), external=True)


@nox.session(python=OLDEST, tags=["full"])
def debug(session):
    """A debug CPython (Debian's python3.X-dbg for the machine's python3): the module
    built with Py_DEBUG (checked: it counts references), the Python suite under
    -X dev, and every call path's reference and block totals flat (test_leaks.py)."""
    minor = subprocess.run(
        ["/usr/bin/python3", "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
        capture_output=True,
        text=True,
        check=False,
    ).stdout.strip()
    if not minor:
        session.error("no /usr/bin/python3: the debug stage uses Debian's debug build of it")
    debs(session, f"python{minor}-dbg", f"python{minor}-dev", "g++", "faketime", "ccache")
    sync(session)
    python, build = f"/usr/bin/python{minor}d", ROOT / "build" / "debug-interpreter"
    session.run(python, "-c", "import sys; assert hasattr(sys, 'gettotalrefcount'), 'not a debug build'", external=True)
    # Debian's debug headers are the release ones: Py_DEBUG must be defined by the build.
    configure = ["cmake", "--preset", "dev", "-B", str(build), f"-DPython_EXECUTABLE={python}"]
    session.run(*configure, "-DVOSTRAL_BUILD_TESTS=OFF", "-DCMAKE_CXX_FLAGS=-DPy_DEBUG", silent=True)
    session.run("cmake", "--build", str(build), "--target", "vostral", "--parallel", "2")
    [module] = build.glob("vostral.cpython-*d-*.so")
    symbols = session.run("nm", "-D", "--undefined-only", str(module), silent=True, external=True)
    if "RefTotal" not in symbols:
        session.error(f"{module.name} does not count references: built without Py_DEBUG")
    # The suite's tools for that interpreter, as pyproject.toml pins them.
    site = build / "site"
    pip = ["python", "-m", "pip", "install", "-q", "--target", str(site), "--upgrade", "--only-binary=:all:"]
    session.run(*pip, "--python-version", minor, *pip_groups("test", "examples"))
    session.run(
        *[python, "-X", "dev", "-m", "pytest", "tests/python", "-p", "no:cacheprovider", "-q"],
        env={"PYTHONPATH": os.pathsep.join([str(build), str(site)]), "VOSTRAL_TEST_PROFILE": "quick"},
        external=True,
    )


@nox.session(python=OLDEST, tags=["full"])
def clang(session):
    """The debug build with Clang 16, warnings as errors: C++ tests and the Python suite (quick profile).
    (Debian 12's default clang-14 cannot compile libstdc++'s <source_location>.)"""
    debs(session, "clang-16", *CXX_TEST_DEBS)
    sync(session)
    cmake_suite(session, "dev", "build/clang", "quick", "-DCMAKE_CXX_COMPILER=clang++-16")


@nox.session(python=OLDEST, tags=["full"])
def scalar(session):
    """The portable passes that processors without SSE2 or Advanced SIMD run, on x86:
    the debug build without the vector kernels and with char unsigned (as ARM has
    it), its C++ tests and the Python suite (quick profile)."""
    debs(session, *CXX_TEST_DEBS)
    sync(session)
    options = ["-DVOSTRAL_SCALAR_KERNELS=ON", "-DCMAKE_CXX_FLAGS=-funsigned-char"]
    cmake_suite(session, "dev", "build/scalar", "quick", *options)
    # That the option took: the kernels' SSE2 comparisons, minima and masks are gone
    # (an unoptimised build vectorises nothing by itself).
    kernels = ("move_batch.cpp", "upper_case.cpp")
    objects = [str(o) for o in (ROOT / "build" / "scalar").rglob("*.cpp.o") if o.stem in kernels]
    listing = session.run("objdump", "-d", *objects, silent=True, external=True)
    if len(objects) != 2 or any(op in listing for op in ("pmaddwd", "pminsw", "pcmpeqd", "pcmpgtb", "pmovmskb")):
        session.error(f"the scalar build still holds an SSE2 kernel: {' '.join(objects)}")


def freethreaded_environment(session, flavour, version="3.13"):
    """.nox/freethreaded-FLAVOUR (-3.15-FLAVOUR for 3.15): a virtual environment
    of the free-threaded CPython that scripts/freethreaded_python.sh builds from
    Debian's source (once, into /var/tmp/vostral-freethreaded[-3.15]; `plain`
    or `tsan`), with the free-threaded lock. Returns (its interpreter,
    environment for session.run)."""
    session.log(f"free-threaded CPython {version} ({flavour}): built on first use, a few minutes")
    built = session.run("bash", "scripts/freethreaded_python.sh", flavour, version, silent=True, external=True)
    interpreter = built.strip().splitlines()[-1]
    venv = ROOT / ".nox" / (f"freethreaded-{flavour}" if version == "3.13" else f"freethreaded-{version}-{flavour}")
    session.run("uv", "venv", "--quiet", "--clear", "--python", interpreter, str(venv), external=True)
    env = {"VIRTUAL_ENV": str(venv), "PATH": os.pathsep.join([str(venv / "bin"), os.environ["PATH"]])}
    session.run("uv", "pip", "sync", "--quiet", FREETHREADED_LOCK, env=env, external=True)
    return str(venv / "bin" / "python"), env


@nox.session(venv_backend="none", tags=["full"])
def freethreaded(session):
    """Free-threaded CPython 3.13t: the module imports without bringing the GIL
    back, and the Python suite passes, the threads on one game included (quick profile)."""
    debs(session, "g++", "faketime", "ccache")
    python, env = freethreaded_environment(session, "plain")
    install_module(session, env=env)
    check = "import sys, vostral; assert not sys._is_gil_enabled(), 'the GIL came back'"
    session.run(python, "-W", "error", "-c", check, env=env, external=True)
    session.run(
        *[python, "-m", "pytest", "tests/python", "-p", "no:cacheprovider", "-q"],
        env={**env, "VOSTRAL_TEST_PROFILE": "quick"},
        external=True,
    )


# Not in the full tier: the source of Debian unstable's python3.15 must be
# reachable, which this project's machine's mirror is not.
@nox.session(venv_backend="none")
def abi3t(session):
    """The wheel for the stable ABI of both builds (cp315-abi3.abi3t), built as the hosted CI
    builds it, by a free-threaded CPython 3.15 (built from Debian unstable's source, once): it
    imports there without bringing the GIL back, and the Python suite passes (quick profile).
    The same wheel on CPython 3.15 with the GIL: the unstable session."""
    debs(session, "g++", "faketime", "ccache")
    python, env = freethreaded_environment(session, "plain", "3.15")
    # The build backend, CMake and Ninja as the dev lock pins them.
    pins = [
        line.split()[0]
        for line in (ROOT / DEV_LOCK).read_text().splitlines()
        if line.startswith(("scikit-build-core==", "cmake==", "ninja==", "packaging==", "pathspec==", "pip=="))
    ]
    session.run("uv", "pip", "install", "--quiet", "--no-deps", *pins, env=env, external=True)
    out = ROOT / "build" / "wheels-abi3t"
    shutil.rmtree(out, ignore_errors=True)
    session.run(
        *[python, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps", "-w", str(out)],
        *config("wheel.py-api=cp315.cp315t", "cmake.define.VOSTRAL_WERROR=ON", "build-dir=build/abi3t-freethreaded"),
        ".",
        env=env,
        external=True,
    )
    [built] = out.glob("vostral-*-cp315-abi3.abi3t-*.whl")
    session.run(
        "uv", "pip", "install", "--quiet", "--no-deps", "--reinstall-package", "vostral", built, env=env, external=True
    )
    check = (
        "import sys, vostral; assert vostral.__file__.endswith('.abi3t.so'), vostral.__file__; "
        "assert not sys._is_gil_enabled(), 'the GIL came back'"
    )
    session.run(python, "-W", "error", "-c", check, env=env, external=True)
    session.run(
        *[python, "-m", "pytest", "tests/python", "-p", "no:cacheprovider", "-q"],
        env={**env, "VOSTRAL_TEST_PROFILE": "quick"},
        external=True,
    )


@nox.session(venv_backend="none", tags=["full"])
def tsan(session):
    """ThreadSanitizer: the thread tests on free-threaded 3.13t built with
    -fsanitize=thread, against the module built the same way (Clang 16); any
    report fails, but for the races CPython itself lists as its own."""
    debs(session, "clang-16", "faketime", "ccache")
    python, env = freethreaded_environment(session, "tsan")
    install_module(
        session,
        "build-dir=build/tsan",
        "cmake.build-type=Debug",
        "cmake.define.CMAKE_CXX_COMPILER=clang++-16",
        "cmake.define.CMAKE_CXX_FLAGS=-fsanitize=thread -O1",
        "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread",
        env=env,
    )
    # The module must really be instrumented, or a clean run proves nothing.
    module = session.run(python, "-c", "import vostral; print(vostral.__file__)", env=env, silent=True, external=True)
    symbols = session.run("nm", "-D", module.strip(), silent=True, external=True)
    if "__tsan_func_entry" not in symbols:
        session.error(f"{module.strip()} is not built with ThreadSanitizer")
    suppressions = pathlib.Path(python).resolve().parents[1] / "tsan-suppressions.txt"
    options = f"suppressions={suppressions} halt_on_error=1 exitcode=66 second_deadlock_stack=1"
    session.run(
        *[python, "-m", "pytest", "tests/python/test_threads.py", "-p", "no:cacheprovider", "-q"],
        env={**env, "VOSTRAL_TEST_PROFILE": "quick", "TSAN_OPTIONS": options},
        external=True,
    )


@nox.session(python=OLDEST)
def bench(session):
    """The benchmarks (scripts/bench.sh; arguments after -- go to benchmarks/bench.py)."""
    debs(session, "g++", "valgrind", "ccache")
    sync(session)
    session.run("bash", "scripts/bench.sh", *session.posargs, external=True)


@nox.session(venv_backend="none")
def bench_threads(session):
    """Scaling over 1 and 2 threads, and move_tile against its floor, on free-threaded 3.13t
    (benchmarks/threads.py, with the release build and the floor module in build/bench-ft)."""
    debs(session, "g++", "ccache")
    python, env = freethreaded_environment(session, "plain")
    build = "build/bench-ft"
    configure = ["cmake", "--preset", "release", "-B", build, "-DVOSTRAL_BUILD_BENCHMARKS=ON"]
    session.run(*configure, "-DVOSTRAL_BUILD_TESTS=OFF", f"-DPython_EXECUTABLE={python}", env=env, external=True)
    session.run("cmake", "--build", build, env=env, external=True)
    bench_env = {**env, "PYTHONPATH": str(ROOT / build)}
    session.run(python, "benchmarks/threads.py", *session.posargs, env=bench_env, external=True)


@nox.session(venv_backend="none")
def lock(session):
    """Compiles every lock in locks/ from its dependency group in pyproject.toml."""
    for lock_file, (group, python, options) in LOCKS.items():
        session.run(
            *["uv", "pip", "compile", "--quiet", "--python-version", python],
            *(options or UNIVERSAL),
            *["--group", f"pyproject.toml:{group}", "-o", lock_file],
            external=True,
        )
