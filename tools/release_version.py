"""Prints the project's version, as pyproject.toml's [project] table gives it.

With a Git ref (the hosted CI passes the one it was started for), a release
tag (refs/tags/v...) must name that same version, v0.1.0 for 0.1.0: a release
whose tag and packages disagree stops here, before anything is published.
Other refs (branches, pull requests, other tags) only print the version.

Usage: python tools/release_version.py [REF]   (CPython 3.11 or later: tomllib)
  REF   refs/tags/v0.1.0, refs/heads/main, refs/pull/7/merge, ...
Exit status 1, with one line saying why, when a release tag differs.
"""

import pathlib
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main(argv):
    with open(ROOT / "pyproject.toml", "rb") as file:
        version = tomllib.load(file)["project"]["version"]
    ref = argv[1] if len(argv) > 1 else ""
    tag = ref.removeprefix("refs/tags/")
    if ref.startswith("refs/tags/v") and tag != f"v{version}":
        print(f"error: the tag {tag} is not v{version}, the version in pyproject.toml", file=sys.stderr)
        return 1
    print(version)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
