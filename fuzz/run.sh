#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# seeded with the real messages (and, for the table target, real table files)
# and with the inputs of past findings in fuzz/regressions.
#   fuzz/run.sh [SECONDS_PER_TARGET]      default 20
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if ! command -v clang++ >/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-dev || \
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-14-dev
fi
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVENA_BUILD_EXTENSION=OFF \
    -DCORVENA_FUZZ=ON -DCORVENA_SANITIZE=ON >/dev/null
cmake --build build/fuzz -j 2 >/dev/null

shared=../shared/data
mkdir -p fuzz/corpus/framing fuzz/corpus/decode fuzz/corpus/tables fuzz/artifacts
cp -n "$shared"/messages/*.bufr fuzz/corpus/framing/ 2>/dev/null || true
cp -n "$shared"/messages/*.bufr fuzz/corpus/decode/ 2>/dev/null || true
defs=/usr/share/eccodes/definitions/bufr/tables/0/wmo/38
if [ -d "$defs" ]; then
    head -c 20000 "$defs/element.table" > fuzz/corpus/tables/element.table
    head -c 20000 "$defs/sequence.def" > fuzz/corpus/tables/sequence.def
    cp -n "$defs"/codetables/1003.table fuzz/corpus/tables/ 2>/dev/null || true
fi
for f in "$shared"/wmo-bufr4/BUFRCREX_TableB_en_01.csv "$shared"/wmo-bufr4/BUFR_TableD_en_01.csv; do
    [ -f "$f" ] && head -c 20000 "$f" > "fuzz/corpus/tables/$(basename "$f")"
done

status=0
for target in framing decode tables; do
    echo "== fuzz_$target for ${seconds}s"
    if ! ./build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix=fuzz/artifacts/ -print_final_stats=1 "fuzz/corpus/$target" "fuzz/regressions/$target" \
        2>fuzz/artifacts/$target.log; then
        status=1
        tail -40 fuzz/artifacts/$target.log
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" fuzz/artifacts/$target.log || true
done
exit $status
