"""Decoding speed and memory against ecCodes and pybufrkit, in one process.

    python bench/bench.py [--repeats N] [--files NAME ...]

Needs the ecCodes Python bindings (PyPI eccodes) and pybufrkit installed
beside corvena; bench/run.sh sets up such an environment. Prints, per file,
the median time of each decoder over the repeats, items per second and the
ratios, then the memory per DecodedValue kept alive and the table load time.
"""

import argparse
import gc
import glob
import os
import statistics
import sys
import time

import _corvena
from corvena import message_slices

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "messages"))
DEFINITIONS = "/usr/share/eccodes/definitions"

DEFAULT_FILES = [
    "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr",  # uncompressed, 44 messages
    "synop_multi_subset_uncompressed.bufr",
    "wave_uncompressed.bufr",
    "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",  # HIRS, compressed
    "aaen_55.bufr",  # AMSU-A, compressed
    "aben_55.bufr",  # AMSU-B, compressed
    "mhen_55.bufr",  # MHS, compressed
    "compress_3.bufr",
]


def split_messages(data):
    return list(message_slices(data))


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def table_key(m):
    return (m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
            m.originating_centre, m.originating_subcentre)


def bench_corvena(messages):
    tables = {}
    for msg in messages:
        m = _corvena.parse_bytes(msg)
        key = table_key(m)
        if key not in tables:
            tables[key] = _corvena.TableSet.from_definitions(DEFINITIONS, m)
    plan = [(msg, tables[table_key(_corvena.parse_bytes(msg))]) for msg in messages]

    def run():
        n = 0
        for msg, t in plan:
            n += len(_corvena.decode_values_with_tables(msg, t))
        return n

    return run, plan


def _eccodes_file(eccodes):
    """ecCodes on every message of the file: new handle, unpack, the numeric
    values, release."""
    n = 0
    with open(_eccodes_file.path, "rb") as f:
        while True:
            h = eccodes.codes_bufr_new_from_file(f)
            if h is None:
                break
            try:
                eccodes.codes_set(h, "unpack", 1)
                n += len(eccodes.codes_get_array(h, "numericValues"))
            finally:
                eccodes.codes_release(h)
    return n


def pybufrkit_decodable(messages):
    """The messages that pybufrkit's own tables can decode."""
    from pybufrkit.decoder import Decoder

    decoder = Decoder()
    ok = []
    for msg in messages:
        try:
            decoder.process(msg)
        except Exception:  # noqa: BLE001 - any failure leaves the message out
            continue
        ok.append(msg)
    return ok


def bench_pybufrkit(messages):
    from pybufrkit.decoder import Decoder

    decoder = Decoder()

    def run():
        for msg in messages:
            decoder.process(msg)

    return run


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_item(plan):
    """Growth of the resident set while every result is kept alive, per
    item: the objects, the list slots, the shared names and any text."""
    gc.collect()
    # One decode first, so that the tables and the module's buffers are in.
    _corvena.decode_values_with_tables(*plan[0])
    base = resident_bytes()
    kept = [_corvena.decode_values_with_tables(msg, t) for msg, t in plan]
    used = resident_bytes() - base
    count = sum(len(k) for k in kept)
    del kept
    return used / count, count


def table_load(repeats):
    d = os.path.join(DEFINITIONS, "bufr", "tables", "0", "wmo", "38")
    files = [os.path.join(d, "element.table"), os.path.join(d, "sequence.def")]
    files += sorted(glob.glob(os.path.join(d, "codetables", "*.table")))

    def read_bytes():
        for p in files:
            with open(p, "rb") as f:
                f.read()

    load = median_time(lambda: _corvena.TableSet.from_eccodes(d), repeats)
    read = median_time(read_bytes, repeats)
    return load, read, len(files)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--files", nargs="*", default=DEFAULT_FILES)
    parser.add_argument("--no-pybufrkit", action="store_true")
    args = parser.parse_args()

    try:
        import eccodes  # noqa: F401
        have_eccodes = True
    except ImportError:
        have_eccodes = False
    try:
        import pybufrkit  # noqa: F401
        have_pybufrkit = not args.no_pybufrkit
    except ImportError:
        have_pybufrkit = False

    print("%-44s %5s %9s %10s %10s %10s %8s %8s %12s" % (
        "file", "msgs", "items", "corvena s", "ecCodes s", "pybufrkit", "x ecC", "x pbk", "items/s"))
    for name in args.files:
        path = os.path.join(MESSAGES, name)
        with open(path, "rb") as f:
            raw = f.read()
        messages = split_messages(raw)
        run, plan = bench_corvena(messages)
        items = run()
        ours = median_time(run, args.repeats)
        ecc = pbk = float("nan")
        if have_eccodes:
            import eccodes
            _eccodes_file.path = path
            ecc = median_time(lambda: _eccodes_file(eccodes), args.repeats)
        pbk_ratio = float("nan")
        note = ""
        if have_pybufrkit:
            decodable = pybufrkit_decodable(messages)
            if decodable:
                pbk = median_time(bench_pybufrkit(decodable), max(1, min(args.repeats, 3)))
                same_run, _ = bench_corvena(decodable)
                pbk_ratio = pbk / median_time(same_run, args.repeats)
            if len(decodable) != len(messages):
                note = "  (pybufrkit: %d of %d messages)" % (len(decodable), len(messages))
        print("%-44s %5d %9d %10.4f %10.4f %10.4f %8.1f %8.1f %12.0f%s" % (
            name[:44], len(messages), items, ours, ecc, pbk, ecc / ours, pbk_ratio, items / ours, note))

    per_item, count = memory_per_item(bench_corvena([m for n in args.files
                                                     for m in split_messages(open(os.path.join(MESSAGES, n), "rb").read())])[1])
    print()
    print("memory per DecodedValue kept alive: %.1f bytes (over %d items, list slots included)" % (per_item, count))
    load, read, nfiles = table_load(max(args.repeats, 5))
    print("TableSet.from_eccodes(wmo/38): %.4f s; reading its %d files' bytes: %.4f s; ratio %.1f" % (
        load, nfiles, read, load / read))


if __name__ == "__main__":
    main()
