"""Prints the project's version, from pyproject.toml's [project] table.

With a Git ref (the hosted CI passes the one it was started for), a release
tag (refs/tags/v...) must name that same version, v0.1.0 for 0.1.0: a release
whose tag and packages disagree stops here, before anything is published.
Other refs (branches, pull requests, other tags) only print the version.

Usage: python tools/release_version.py [REF]
  REF   refs/tags/v0.1.0, refs/heads/main, refs/pull/7/merge, ...
Exit status 1, with one line saying why, when a release tag differs.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The line that CMakeLists.txt reads the version from, too: the first one of
# this form (tomllib comes only with CPython 3.11).
VERSION_LINE = re.compile(r'^version = "([^"]+)"$', re.MULTILINE)


def main(argv):
    found = VERSION_LINE.search((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    if not found:
        print("error: no version line in pyproject.toml", file=sys.stderr)
        return 1
    version = found[1]
    ref = argv[1] if len(argv) > 1 else ""
    tag = ref.removeprefix("refs/tags/")
    if ref.startswith("refs/tags/v") and tag != f"v{version}":
        print(f"error: the tag {tag} is not v{version}, the version in pyproject.toml", file=sys.stderr)
        return 1
    print(version)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
