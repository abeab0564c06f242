#!/usr/bin/env bash
# Sets up a virtual environment with corvena, ecCodes (PyPI) and pybufrkit,
# then runs the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv-bench}
python3 -m venv "$VENV"
# pybufrkit reads with bitstring.BitStream, which bitstring 5 no longer has.
"$VENV/bin/pip" install -q eccodes pybufrkit "bitstring<5"
"$VENV/bin/pip" install -q .
"$VENV/bin/python" bench/bench.py "$@"
