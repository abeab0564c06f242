#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole pytest suite under them. The interpreter itself is not
# instrumented, so the sanitizer runtime is preloaded; leak detection is off
# because the interpreter keeps its own objects alive at exit (leaks are
# checked by the leak tests instead).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-asan}
"$PYTHON" -m venv "$VENV"
"$VENV/bin/pip" install -q pytest
CORVENA_SANITIZE=ON CORVENA_WERROR=ON "$VENV/bin/pip" install -q -C build-dir="build/$(basename "$VENV")" .
ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export CORVENA_SANITIZED=1
# The DataFrame and Dask tests add no native code of their own; they run
# ecCodes (through pdbufr) and worker processes, which the preloaded
# sanitizers would judge instead of this library.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests --ignore=tests/test_frame.py --ignore=tests/test_dask.py "$@"
