#!/usr/bin/env bash
# Times corvena against both ecCodes builds, PyPI's newest and Debian's
# python3-eccodes, and prints one merged table. Each build is timed in a
# process of its own (one ecCodes library per process), with corvena timed
# in the same process; arguments go to both (bench/bench.py --help; e.g.
# --quick). Encoding (the HIRS and German SYNOP files) is timed in each
# process too; --no-encoding leaves it out.
#
# Environments: .venv-bench is made from python3 with eccodes and pybufrkit
# from PyPI; .venv-bench-debian from Debian's /usr/bin/python3 with its
# system packages, which hold python3-eccodes (apt-get install
# python3-eccodes). An environment is only made when it is missing;
# VENV_PYPI and VENV_DEBIAN name other ones. corvena is built and installed
# into each unless CORVENA_NO_INSTALL=1, which times the corvena the
# environment imports as it is (PYTHONPATH may point at another).
# ECCODES=pypi or ECCODES=debian times that build only. The results of each
# process are kept in RESULTS_DIR when it is set (pypi.json, debian.json):
# python bench/bench.py --merge DIR/pypi.json DIR/debian.json prints the table
# again.
set -euo pipefail
# numpy's OpenBLAS threads, which nothing here uses, woke and took a tenth
# of the two cores while the decoding threads ran.
export OPENBLAS_NUM_THREADS=${OPENBLAS_NUM_THREADS:-1}
cd "$(dirname "$0")/.."
VENV_PYPI=${VENV_PYPI:-.venv-bench}
VENV_DEBIAN=${VENV_DEBIAN:-.venv-bench-debian}
case "${ECCODES:-both}" in
    both) BUILDS="pypi debian" ;;
    pypi | debian) BUILDS=$ECCODES ;;
    *) echo "ECCODES must be pypi, debian or both" >&2; exit 2 ;;
esac

setup() {  # setup pypi|debian VENV
    if [ ! -x "$2/bin/python" ]; then
        if [ "$1" = debian ]; then
            /usr/bin/python3 -m venv --system-site-packages "$2"
            "$2/bin/pip" install -q --upgrade pip
        else
            python3 -m venv "$2"
            "$2/bin/pip" install -q --upgrade pip
            # pybufrkit reads with bitstring.BitStream, which bitstring 5 no longer has.
            "$2/bin/pip" install -q eccodes pybufrkit "bitstring<5"
        fi
    fi
    if [ "${CORVENA_NO_INSTALL:-0}" != 1 ]; then
        "$2/bin/pip" install -q -C build-dir="build/$(basename "$2")" .
    fi
}

if [ -n "${RESULTS_DIR:-}" ]; then
    mkdir -p "$RESULTS_DIR"
    OUT=$RESULTS_DIR
else
    OUT=$(mktemp -d)
    trap 'rm -rf "$OUT"' EXIT
fi
RESULTS=()
for build in $BUILDS; do
    if [ "$build" = debian ]; then
        venv=$VENV_DEBIAN label=Debian
    else
        venv=$VENV_PYPI label=PyPI
    fi
    setup "$build" "$venv"
    extra=()
    if [ ${#RESULTS[@]} -gt 0 ]; then
        # pybufrkit and the memory per item do not depend on ecCodes: once is enough
        extra=(--no-pybufrkit --no-memory)
    fi
    "$venv/bin/python" bench/bench.py --label "$label" --json "$OUT/$build.json" "${extra[@]}" "$@"
    RESULTS+=("$OUT/$build.json")
    last=$venv
done
"$last/bin/python" bench/bench.py --merge "${RESULTS[@]}"
