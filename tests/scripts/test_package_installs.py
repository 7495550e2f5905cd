"""The scripts' package helper (ensure_debs in scripts/lib.sh), with apt and
dpkg replaced by stand-ins: installs take turns, and nothing that a script
starts after an install holds the lock, so the child can install in turn."""

import os
import pathlib
import shutil
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
# A deadlock never ends; a helper that works ends in a second or two.
HANG = 60

STAND_INS = {
    # dpkg-query -W -f=... PKG: installed once the stand-in apt-get has made its mark.
    "dpkg-query": """
        for pkg; do :; done
        [ -e "$STATE/installed/$pkg" ] && printf 'install ok installed'
        exit 0
    """,
    # Marks what it installs; one that finds another at work records an overlap.
    "apt-get": """
        mkdir "$STATE/busy" 2>/dev/null || echo "$*" >>"$STATE/overlaps"
        sleep 0.3
        seen=
        for arg; do
          [ -n "$seen" ] && case $arg in -*) ;; *) : >"$STATE/installed/$arg" ;; esac
          [ "$arg" = install ] && seen=1
        done
        rmdir "$STATE/busy" 2>/dev/null
        exit 0
    """,
    "sudo": 'exec "$@"',
}


def machine(tmp_path):
    """Stand-ins first on PATH, their state and a lock of their own."""
    bin_dir, state = tmp_path / "bin", tmp_path / "state"
    (state / "installed").mkdir(parents=True)
    bin_dir.mkdir()
    for name, body in STAND_INS.items():
        (bin_dir / name).write_text("#!/bin/sh\n" + body)
        (bin_dir / name).chmod(0o755)
    return {
        **os.environ,
        "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
        "STATE": str(state),
        "VOSTRAL_APT_LOCK": str(tmp_path / "apt.lock"),
    }, state


def bash(script, env, lib=ROOT / "scripts" / "lib.sh"):
    return subprocess.Popen(
        ["bash", "-euc", f"source {lib}\n{script}"],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )


def finished(process):
    try:
        output, _ = process.communicate(timeout=HANG)
    except subprocess.TimeoutExpired:
        process.kill()
        output, _ = process.communicate()
        raise AssertionError(f"no end after {HANG} s: a lock waits for itself\n{output}") from None
    assert process.returncode == 0, output
    return output


def test_a_child_started_after_an_install_holds_no_lock_and_installs_in_turn(tmp_path):
    env, state = machine(tmp_path)
    script = """
        ensure_debs pkg-parent
        for fd in /proc/$$/fd/*; do
          [ "$(readlink "$fd")" != "$VOSTRAL_APT_LOCK" ] || echo "the shell still holds the lock on $fd"
        done
        bash -euc "source $ROOT/scripts/lib.sh; ensure_debs pkg-child"
    """
    output = finished(bash(script, env))
    assert "still holds the lock" not in output
    assert sorted(path.name for path in (state / "installed").iterdir()) == ["pkg-child", "pkg-parent"]


def test_installs_from_two_checkouts_at_once_take_turns(tmp_path):
    env, state = machine(tmp_path)
    other_checkout = tmp_path / "other" / "scripts"
    other_checkout.mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "lib.sh", other_checkout / "lib.sh")
    first = bash("ensure_debs pkg-one shared", env)
    second = bash("ensure_debs pkg-two shared", env, lib=other_checkout / "lib.sh")
    finished(first)
    finished(second)
    assert not (state / "overlaps").exists(), (state / "overlaps").read_text()
    assert sorted(path.name for path in (state / "installed").iterdir()) == ["pkg-one", "pkg-two", "shared"]
