#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the core instrumented for coverage
# too) and runs each for a bounded time: first every input of past findings
# in fuzz/regressions/<target> once, then fuzzing, seeded with the real
# messages (whole files for framing, one message per file for decoding),
# messages that ecCodes encodes from random templates (tests/ecc_generate.py)
# and, for the table target, real table files.
#   fuzz/run.sh [SECONDS_PER_TARGET]      default 20
#   CORVENA_FUZZ_TARGETS="decode" fuzz/run.sh 600     one target (of framing decode tables)
#
# Caps per input: CORVENA_FUZZ_TIMEOUT seconds (default 3; the slowest real
# message takes under 0.2 s here), one allocation of at most
# CORVENA_FUZZ_MALLOC_MB (128: a result of 2.8 M records; the real messages
# need 14 MB at most) and CORVENA_FUZZ_RSS_MB for the process (2048: the
# sanitizer keeps freed blocks for a while, so the process grows past what
# any one input holds). A decoding call may take more within its documented
# bounds (a result of up to 2^25 items, a first pass of 2^22 before a
# larger message is refused): fuzzing runs in a child process that starts
# again after a timeout or an out-of-memory, so such inputs are kept in
# fuzz/artifacts (<target>-timeout-*, -oom-*, and -slow-unit-* for those
# over a second) and listed, without failing the run. A crash (sanitizer
# report, failed check) fails it. The regression inputs run once each with
# caps at the documented bounds (20 s, an allocation of 2 GB: 2^25 records
# take 1.5 GB), and fail the run if one crashes or passes them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
timeout=${CORVENA_FUZZ_TIMEOUT:-3}
malloc_mb=${CORVENA_FUZZ_MALLOC_MB:-128}
rss_mb=${CORVENA_FUZZ_RSS_MB:-2048}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
apt_install() {
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@"
}
if ! command -v clang++ >/dev/null ||
    [ ! -f "$(clang++ -print-file-name="libclang_rt.fuzzer-$(uname -m).a")" ]; then
    apt_install clang libclang-rt-dev || apt_install clang libclang-rt-14-dev
fi
# The decoding target reads the ecCodes tables; the generated seeds need
# ecCodes' Python bindings.
need_apt=()
[ -d /usr/share/eccodes/definitions ] || need_apt+=(libeccodes-data)
/usr/bin/python3 -c "import eccodes" 2>/dev/null || need_apt+=(python3-eccodes)
[ ${#need_apt[@]} -eq 0 ] || apt_install "${need_apt[@]}"

# The project needs CMake 3.26; Debian 12's own is 3.25.
cmake=cmake
if ! cmake --version 2>/dev/null |
    awk 'NR == 1 {split($3, v, "."); ok = v[1] > 3 || (v[1] == 3 && v[2] >= 26)} END {exit !ok}'; then
    [ -x build/fuzz-venv/bin/cmake ] || {
        python3 -m venv build/fuzz-venv
        build/fuzz-venv/bin/pip install -q "cmake>=3.26"
    }
    cmake=build/fuzz-venv/bin/cmake
fi
CXX=clang++ "$cmake" -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVENA_BUILD_EXTENSION=OFF \
    -DCORVENA_FUZZ=ON -DCORVENA_SANITIZE=ON -DCORVENA_WERROR=ON >/dev/null
"$cmake" --build build/fuzz -j 2 >/dev/null

shared=../shared/data
corpus=fuzz/corpus
mkdir -p "$corpus/framing" "$corpus/decode" "$corpus/tables" fuzz/artifacts
# Whole files up to 256 KiB for framing; each message (up to 4 a file) on
# its own for decoding, without the bytes around it.
/usr/bin/python3 - "$shared/messages" "$corpus" <<'EOF'
import os, sys
src, corpus = sys.argv[1], sys.argv[2]
def keep(path, data):
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(data)
for name in sorted(os.listdir(src)) if os.path.isdir(src) else []:
    data = open(os.path.join(src, name), "rb").read()
    if len(data) <= 256 << 10:
        keep(os.path.join(corpus, "framing", name), data)
    pos = n = 0
    while n < 4:
        at = data.find(b"BUFR", pos)
        if at < 0 or at + 8 > len(data):
            break
        total = int.from_bytes(data[at + 4:at + 7], "big")
        if total < 8 or at + total > len(data) or data[at + total - 4:at + total] != b"7777":
            pos = at + 1
            continue
        keep(os.path.join(corpus, "decode", "%s.%d" % (name, n)), data[at:at + total])
        n += 1
        pos = at + total
EOF
# Encoded by ecCodes once per corpus folder (a few seconds).
ecc_count=120
if [ ! -f "$corpus/.ecc-1-$ecc_count" ]; then
    /usr/bin/python3 tests/ecc_generate.py --seed 1 --count "$ecc_count" 2>/dev/null | /usr/bin/python3 -c '
import json, sys
corpus = sys.argv[1]
for line in sys.stdin:
    r = json.loads(line)
    if "hex" in r:
        for target in ("framing", "decode"):
            with open("%s/%s/ecc-1-%d" % (corpus, target, r["index"]), "wb") as f:
                f.write(bytes.fromhex(r["hex"]))
' "$corpus"
    touch "$corpus/.ecc-1-$ecc_count"
fi
defs=/usr/share/eccodes/definitions/bufr/tables/0/wmo/38
if [ -d "$defs" ]; then
    head -c 20000 "$defs/element.table" > "$corpus/tables/element.table"
    head -c 20000 "$defs/sequence.def" > "$corpus/tables/sequence.def"
    cp -n "$defs"/codetables/1003.table "$corpus/tables/" 2>/dev/null || true
fi
for f in "$shared"/wmo-bufr4/BUFRCREX_TableB_en_01.csv "$shared"/wmo-bufr4/BUFR_TableD_en_01.csv; do
    if [ -f "$f" ]; then head -c 20000 "$f" > "$corpus/tables/$(basename "$f")"; fi
done

caps=(-timeout="$timeout" -malloc_limit_mb="$malloc_mb" -rss_limit_mb="$rss_mb")
status=0
for target in ${CORVENA_FUZZ_TARGETS:-framing decode tables}; do
    bin=./build/fuzz/fuzz/fuzz_$target
    log=fuzz/artifacts/$target.log
    case $target in
        framing) max_len=262144 ;;
        decode) max_len=131072 ;;
        tables) max_len=20000 ;;
    esac
    regressions=()
    if [ -d "fuzz/regressions/$target" ]; then
        mapfile -t regressions < <(find "fuzz/regressions/$target" -type f | sort)
    fi
    if [ ${#regressions[@]} -gt 0 ] &&
        ! "$bin" -timeout=20 -malloc_limit_mb=2048 -rss_limit_mb=4096 "${regressions[@]}" >"$log" 2>&1; then
        echo "== fuzz_$target: a regression input fails"
        tail -40 "$log"
        status=1
        continue
    fi
    echo "== fuzz_$target for ${seconds}s"
    seeds=("$corpus/$target")
    [ ${#regressions[@]} -eq 0 ] || seeds+=("fuzz/regressions/$target")
    touch "$log.start"
    # In fork mode the exit status is that of the last job that stopped,
    # an out-of-memory or timeout one included (kept, not failures): a
    # crash is what the final count and the kept crash inputs say.
    "$bin" -fork=1 -ignore_timeouts=1 -ignore_ooms=1 -max_total_time="$seconds" -max_len="$max_len" \
        "${caps[@]}" -report_slow_units=1 -print_final_stats=1 -print_funcs=0 \
        -artifact_prefix="fuzz/artifacts/$target-" "${seeds[@]}" >>"$log" 2>&1 || true
    final=$(grep -E "^#[0-9]+: cov:" "$log" | tail -1 || true)
    echo "$final"
    crashes=$(find fuzz/artifacts -name "$target-crash-*" -newer "$log.start" | wc -l)
    if [ -z "$final" ] || [ "$crashes" -gt 0 ] || ! echo "$final" | grep -Eq "oom/timeout/crash: [0-9]+/[0-9]+/0 "; then
        echo "== fuzz_$target: crash or no run"
        grep -E "ERROR|runtime error|deadly signal" "$log" | head -20 || true
        status=1
    fi
    find fuzz/artifacts -name "$target-*" -newer "$log.start" | sort | sed 's/^/   kept: /'
done
exit $status
