#!/usr/bin/env bash
# Build and test kelvo on the machine's CPython 3.11, then on CPython 3.14 in a Debian forky tree.
# Usage: tools/ci.sh [host|forky|all]      (default all; forky runs tools/forky-tree)
set -euo pipefail
cd "$(dirname "$0")/.."

run_host() {
    echo "== CPython $(python3 -c 'import sys; print(sys.version.split()[0])') (host)"
    python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
        -Ccmake.define.KELVO_WERROR=ON '.[test]'
    python3 -P -m pytest -q
}

# Runs inside the forky tree (the checkout mounted at /src).
run_in_tree() {
    echo "== CPython $(python3 -c 'import sys; print(sys.version.split()[0])') (Debian forky)"
    local pipflags=(--quiet --disable-pip-version-check --root-user-action=ignore
                    --break-system-packages --no-build-isolation --no-index)
    # the test requirements come from Debian's packages
    python3 -m pip install "${pipflags[@]}" --no-deps -Ccmake.define.KELVO_WERROR=ON .
    python3 -P -m pytest -q

    echo "== free-threaded code paths: compile with Py_GIL_DISABLED against the 3.14 headers"
    local include numpy_include
    include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    numpy_include=$(python3 -c 'import numpy; print(numpy.get_include())')
    for source in kelvo/baw_core/*.cpp; do
        g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED=1 \
            -DNPY_TARGET_VERSION=NPY_1_25_API_VERSION -DNPY_NO_DEPRECATED_API=NPY_1_25_API_VERSION \
            -I"$include" -isystem "$numpy_include" -Ikelvo "$source"
    done

    echo "== CPython 3.14 debug build: reference and block counts"
    # Debian's SciPy names its build configuration by ABI; the debug ABI reads the release one.
    local scipy_dir
    scipy_dir=$(python3 -c 'import os, scipy; print(os.path.dirname(scipy.__file__))')
    for config in "$scipy_dir"/__config__cpython-314-*__.py; do
        ln -sf "$(basename "$config")" "${config/cpython-314-/cpython-314d-}"
    done
    # A separate target, so that the release install above stays in place.
    local debug_site=/tmp/kelvo-debug-site
    rm -rf "$debug_site"
    python3.14-dbg -m pip install "${pipflags[@]}" --no-deps --target "$debug_site" .
    PYTHONPATH="$debug_site" python3.14-dbg -P -m pytest -q -p no:cacheprovider \
        tests/test_leaks.py tests/test_binding.py tests/test_startup.py tests/test_fuzz.py \
        tests/test_threads.py

    echo "== AddressSanitizer and UndefinedBehaviorSanitizer: the whole suite"
    local sanitized_site=/tmp/kelvo-sanitized-site logs=/tmp/kelvo-sanitizer-logs
    rm -rf "$sanitized_site" "$logs"
    mkdir -p "$logs"
    python3 -m pip install "${pipflags[@]}" --no-deps --target "$sanitized_site" \
        -Ccmake.define.KELVO_SANITIZE=address,undefined -Ccmake.define.KELVO_WERROR=ON .
    # The interpreter is not instrumented, so the runtimes are preloaded; CPython frees little at
    # exit, so leak reports are off (reference and block counts cover leaks).
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="detect_leaks=0:log_path=$logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$logs/ubsan" \
    PYTHONPATH="$sanitized_site" python3 -P -m pytest -q -p no:cacheprovider
    if compgen -G "$logs/*" >/dev/null; then
        cat "$logs"/*
        echo "sanitizer reports: $(ls "$logs" | wc -l)" >&2
        return 1
    fi
    echo "sanitizer reports: 0"

    echo "== valgrind memcheck"
    PYTHONMALLOC=malloc valgrind -q --error-exitcode=97 \
        --suppressions=/usr/lib/valgrind/python3.supp python3 -P tools/memcheck.py
}

case "${1:-all}" in
    host) run_host ;;
    in-tree) run_in_tree ;;
    forky) tools/forky-tree tools/ci.sh in-tree ;;
    all) run_host; tools/forky-tree tools/ci.sh in-tree ;;
    *) echo "usage: $0 [host|forky|all]" >&2; exit 2 ;;
esac
