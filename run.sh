#!/usr/bin/env bash
# The two commands of the README, for a fresh machine: installs make if it is
# missing, then runs `make test` or `make demo` (which install the rest).
#   ./run.sh test     build and run every test (release, then sanitizers)
#   ./run.sh demo     run the gateway against the sample engine
set -euo pipefail
cd "$(dirname "$0")"
case "${1:-}" in
  test | demo) ;;
  *) echo "usage: $0 test|demo" >&2; exit 2 ;;
esac
command -v make >/dev/null 2>&1 || scripts/install-deps.sh make
exec make "$1"
