#!/usr/bin/env bash
# Builds the extension with warnings as errors and runs the whole test suite.
# Installs what the tests need: the ecCodes definitions root, the ecCodes
# tools and Python bindings (the cross-check oracle and the encoder of the
# generated messages), GoogleTest, and the Python packages of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -d /usr/share/eccodes/definitions ] || need_apt+=(libeccodes-data)
command -v bufr_dump >/dev/null || need_apt+=(libeccodes-tools)
/usr/bin/python3 -c "import eccodes" 2>/dev/null || need_apt+=(python3-eccodes)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-test}
"$PYTHON" -m venv "$VENV"
"$VENV/bin/pip" install -q --upgrade pip
# pandas, Dask and pyarrow for the DataFrame tests; pdbufr (with PyPI
# eccodes) as their oracle; pint for the readers' unit conversions;
# geopandas for the GeoDataFrame of a geometry column; fsspec for reading
# URLs.
"$VENV/bin/pip" install -q pytest pandas "dask[dataframe]" distributed pyarrow pdbufr pint geopandas fsspec
# CMake from PyPI for the C++ units: a system's own may be older than the
# project needs (Debian 12 has 3.25).
"$VENV/bin/pip" install -q "cmake>=3.26"
# A build folder per environment, so that builds for two interpreters or
# with other flags never share a CMake cache.
CORVENA_WERROR=ON "$VENV/bin/pip" install -q -C build-dir="build/$(basename "$VENV")" .

# C++ units of the core.
"$VENV/bin/cmake" -S tests/cpp -B "build/cpp-$(basename "$VENV")" -DCMAKE_BUILD_TYPE=Release -DCORVENA_WERROR=ON \
    -DPython_EXECUTABLE="$("$VENV/bin/python" -c "import sys; print(sys.executable)")" >/dev/null
"$VENV/bin/cmake" --build "build/cpp-$(basename "$VENV")" -j 2 >/dev/null
"$VENV/bin/ctest" --test-dir "build/cpp-$(basename "$VENV")" --output-on-failure

# The suite runs from the tests folder against the installed package.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
