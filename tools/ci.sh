#!/usr/bin/env bash
# Build and test kelvo on the machine's CPython 3.11, then on CPython 3.14 in a Debian forky tree.
# Usage: tools/ci.sh [host|forky|all]      (default all; forky runs tools/forky-tree)
set -euo pipefail
cd "$(dirname "$0")/.."

run_host() {
    echo "== CPython $(python3 -c 'import sys; print(sys.version.split()[0])') (host)"
    python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore '.[test]'
    python3 -P -m pytest -q
}

# Runs inside the forky tree (the checkout mounted at /src).
run_in_tree() {
    echo "== CPython $(python3 -c 'import sys; print(sys.version.split()[0])') (Debian forky)"
    local pipflags=(--quiet --disable-pip-version-check --root-user-action=ignore
                    --break-system-packages --no-build-isolation --no-index)
    python3 -m pip install "${pipflags[@]}" '.[test]'
    python3 -P -m pytest -q
}

case "${1:-all}" in
    host) run_host ;;
    in-tree) run_in_tree ;;
    forky) tools/forky-tree tools/ci.sh in-tree ;;
    all) run_host; tools/forky-tree tools/ci.sh in-tree ;;
    *) echo "usage: $0 [host|forky|all]" >&2; exit 2 ;;
esac
