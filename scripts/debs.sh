#!/usr/bin/env bash
# Installs those of the Debian packages named that are missing (for nox sessions).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ensure_debs "$@"
