"""Decoding speed and memory against ecCodes and pybufrkit, in one process.

    python bench/bench.py [--repeats N] [--files NAME ...] [--no-pybufrkit]

For each file (all shared files by default) it times, interleaved round by
round so that a slow moment of the machine hits every decoder alike:

- objects:  _corvena.decode_values_with_tables, one DecodedValue per item
- arrays:   corvena.arrays.decode_many, threads=1 and threads=2
- ecCodes:  codes_new_from_message, unpack, numericValues (the PyPI or
            Debian bindings), per message
- pybufrkit: Decoder.process, on the messages its own tables decode
- floor:    numpy.ndarray.tolist() of as many float64 values as there are
            items: the least that any one-object-per-value result costs

It prints min and median per decoder and the ratios (ecCodes time / ours,
from the medians), then the memory kept per item by each path. Needs the
ecCodes bindings and pybufrkit beside corvena; bench/run.sh sets that up.
"""

import argparse
import gc
import glob
import os
import statistics
import sys
import time

import numpy as np

import _corvena
from corvena import _ext
from corvena.arrays import decode_many

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "messages"))
DEFINITIONS = "/usr/share/eccodes/definitions"


def split(data):
    return [data[s:s + n] for s, n, error in _ext.scan(data, 0) if error is None]


def table_key(m):
    return (m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
            m.originating_centre, m.originating_subcentre)


def decodable_plan(messages, cache):
    """(message, tables) for the messages this library decodes."""
    plan = []
    for msg in messages:
        m = _corvena.parse_bytes(msg)
        key = table_key(m)
        if key not in cache:
            cache[key] = _corvena.TableSet.from_definitions(DEFINITIONS, m)
        try:
            _corvena.decode_values_with_tables(msg, cache[key])
        except ValueError:
            continue
        plan.append((msg, cache[key]))
    return plan


def eccodes_runner(messages):
    import eccodes

    def run():
        n = 0
        for msg in messages:
            h = eccodes.codes_new_from_message(msg)
            try:
                eccodes.codes_set(h, "unpack", 1)
                n += len(eccodes.codes_get_array(h, "numericValues"))
            finally:
                eccodes.codes_release(h)
        return n

    try:
        run()
    except Exception:  # noqa: BLE001 - ecCodes cannot decode this file
        return None
    return run


def pybufrkit_runner(messages):
    from pybufrkit.decoder import Decoder

    decoder = Decoder()
    ok = []
    for msg in messages:
        try:
            decoder.process(msg)
        except Exception:  # noqa: BLE001 - any failure leaves the message out
            continue
        ok.append(msg)

    def run():
        for msg in ok:
            decoder.process(msg)

    return run, ok


def timed(fn):
    gc.collect()
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_item(plan):
    """Resident growth per item while every object result is kept, and the
    bytes per item of the array results."""
    gc.collect()
    _corvena.decode_values_with_tables(*plan[0])
    base = resident()
    kept = [_corvena.decode_values_with_tables(msg, t) for msg, t in plan]
    count = sum(len(k) for k in kept)
    objects = (resident() - base) / count
    del kept
    gc.collect()
    arrays = decode_many([m for m, _ in plan], [t for _, t in plan])
    per_kind = {}
    for a in arrays:
        size, n = per_kind.get(a.compressed, (0, 0))
        per_kind[a.compressed] = (size + a.nbytes, n + len(a))
    numeric = {k: size / max(n, 1) for k, (size, n) in per_kind.items()}
    return objects, numeric, count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--files", nargs="*", default=None)
    parser.add_argument("--no-pybufrkit", action="store_true")
    args = parser.parse_args()
    files = args.files or sorted(os.path.basename(p) for p in glob.glob(os.path.join(MESSAGES, "*.bufr")))
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

    print("# %s, %d cores, Python %s, numpy %s" % (time.strftime("%Y-%m-%d"), os.cpu_count(),
                                                   sys.version.split()[0], np.__version__))
    print("# times in ms, median of %d interleaved rounds (min in brackets); x = ecCodes median / ours" % args.repeats)
    head = "%-34s %6s %9s %17s %17s %17s %17s %8s %7s %7s %7s %7s %9s"
    print(head % ("file", "msgs", "items", "objects", "arrays 1 thr", "arrays 2 thr", "ecCodes", "floor",
                  "x obj", "x arr1", "x arr2", "2thr/1", "x pbk obj"))
    cache = {}
    all_plan = []
    for name in files:
        with open(os.path.join(MESSAGES, name), "rb") as f:
            messages = split(f.read())
        plan = decodable_plan(messages, cache)
        if not plan:
            print("%-34s not decoded here" % name[:34])
            continue
        all_plan.extend(plan)
        msgs = [m for m, _ in plan]
        tabs = [t for _, t in plan]
        items = sum(len(_corvena.decode_values_with_tables(m, t)) for m, t in plan)
        floor_array = np.arange(items, dtype=np.float64)
        runners = {
            "objects": lambda: [_corvena.decode_values_with_tables(m, t) for m, t in plan],
            "arrays1": lambda: decode_many(msgs, tabs, threads=1),
            "arrays2": lambda: decode_many(msgs, tabs, threads=2),
            "floor": lambda: floor_array.tolist(),
        }
        if have_eccodes:
            run = eccodes_runner(msgs)
            if run is not None:
                runners["ecCodes"] = run
        times = {k: [] for k in runners}
        for _ in range(args.repeats):
            for k, fn in runners.items():
                times[k].append(timed(fn))
        med = {k: statistics.median(v) for k, v in times.items()}
        low = {k: min(v) for k, v in times.items()}

        def cell(k):
            if k not in med:
                return "-"
            return "%8.2f [%6.2f]" % (med[k] * 1e3, low[k] * 1e3)

        def ratio(k):
            return "%7.1f" % (med["ecCodes"] / med[k]) if "ecCodes" in med else "-"

        pbk = "-"
        if have_pybufrkit:
            run, ok = pybufrkit_runner(msgs)
            if ok:
                sub = [(m, t) for m, t in plan if m in set(ok)]
                ours = min(timed(lambda: [_corvena.decode_values_with_tables(m, t) for m, t in sub])
                           for _ in range(args.repeats))
                theirs = min(timed(run) for _ in range(max(1, min(args.repeats, 3))))
                pbk = "%9.1f" % (theirs / ours) + ("" if len(ok) == len(msgs) else " (%d/%d)" % (len(ok), len(msgs)))
        print(head % (name[:34], len(msgs), items, cell("objects"), cell("arrays1"), cell("arrays2"), cell("ecCodes"),
                      "%8.2f" % (med["floor"] * 1e3), ratio("objects"), ratio("arrays1"), ratio("arrays2"),
                      "%7.2f" % (med["arrays1"] / med["arrays2"]), pbk))
        sys.stdout.flush()
    objects, numeric, count = memory_per_item(all_plan)
    print()
    print("memory kept per item over %d items: objects %.1f bytes (DecodedValue and list slot); arrays "
          "%.1f bytes for compressed messages, %.1f for uncompressed ones" % (
              count, objects, numeric.get(True, float("nan")), numeric.get(False, float("nan"))))


if __name__ == "__main__":
    main()
