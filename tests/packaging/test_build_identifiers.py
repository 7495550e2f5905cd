"""The wheels the hosted CI builds, as cibuildwheel reads them from pyproject.toml.

Every CPython from 3.10 on that the pinned cibuildwheel knows (3.10 to 3.15),
and the free-threaded builds it knows (3.14t, 3.15t); Linux glibc and musl on x86_64 and
aarch64, macOS on x86_64 and arm64, Windows on x86_64 and ARM64.
"""

import os
import pathlib
import platform as host
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
VERSIONS = [f"cp3{minor}" for minor in range(10, 16)] + ["cp314t", "cp315t"]
EXPECTED = {
    "linux": {
        f"{v}-{libc}_{arch}" for v in VERSIONS for libc in ("manylinux", "musllinux") for arch in ("x86_64", "aarch64")
    },
    "macos": {f"{v}-macosx_{arch}" for v in VERSIONS for arch in ("x86_64", "arm64")},
    "windows": {f"{v}-win_{arch}" for v in VERSIONS for arch in ("amd64", "arm64")},
}


def identifiers(platform, *options):
    # Only pyproject.toml speaks: settings from the environment are left out.
    env = {name: value for name, value in os.environ.items() if not name.startswith("CIBW_")}
    completed = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform, *options],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return completed.stdout.split()


@pytest.mark.parametrize("platform", sorted(EXPECTED))
def test_each_platform_builds_every_version_and_architecture(platform):
    listed = identifiers(platform)
    assert len(listed) == len(set(listed))
    assert set(listed) == EXPECTED[platform]


@pytest.mark.skipif(sys.platform != "linux", reason="native architectures are checked on a Linux host")
def test_hosted_runners_each_build_their_own_architecture():
    # The workflow sets CIBW_ARCHS=native, so each Linux runner builds exactly
    # its own half of the Linux list.
    arch = {"x86_64": "x86_64", "amd64": "x86_64", "aarch64": "aarch64", "arm64": "aarch64"}[host.machine().lower()]
    assert set(identifiers("linux", "--archs", "native")) == {i for i in EXPECTED["linux"] if i.endswith(arch)}
