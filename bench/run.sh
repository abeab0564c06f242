#!/usr/bin/env bash
# Sets up a virtual environment with corvena, ecCodes and pybufrkit, then
# runs the benchmark. ecCodes comes from PyPI; with ECCODES=debian the
# environment is made from Debian's python3 and takes Debian's ecCodes
# bindings (python3-eccodes) instead.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${ECCODES:-pypi}" = debian ]; then
    VENV=${VENV:-.venv-bench-debian}
    /usr/bin/python3 -m venv --system-site-packages "$VENV"
    "$VENV/bin/pip" install -q --upgrade pip
    "$VENV/bin/pip" install -q pybufrkit "bitstring<5"
else
    VENV=${VENV:-.venv-bench}
    python3 -m venv "$VENV"
    "$VENV/bin/pip" install -q --upgrade pip
    # pybufrkit reads with bitstring.BitStream, which bitstring 5 no longer has.
    "$VENV/bin/pip" install -q eccodes pybufrkit "bitstring<5"
fi
"$VENV/bin/pip" install -q -C build-dir="build/$(basename "$VENV")" .
"$VENV/bin/python" bench/bench.py "$@"
