"""Decoding speed of corvena's array, object and read paths against ecCodes
(and pybufrkit), file by file, and encoding speed on two files.

    python bench/bench.py [--quick] [--files NAME ...] [--no-pybufrkit] [--no-encoding] [--json OUT]
    python bench/bench.py --merge A.json B.json ...

One process times one ecCodes build, whichever its Python imports, with
corvena timed in the same process. ``bash bench/run.sh`` runs it once under
PyPI's ecCodes and once under Debian's (two processes: one library each),
each writing its results with ``--json``, and prints the merged table with
``--merge``. Run alone, it prints the table of its own build.

Per file the messages are split and their tables loaded beforehand, and
every message is decoded once before timing. Paths, in three groups:

- arrays:  ``corvena.arrays.decode_many(messages, tables, threads=1)`` and
           ``threads=2``, against ecCodes' ``codes_new_from_message``,
           ``unpack`` and the ``numericValues`` array, per message;
- objects: ``Message.items()``, ``Message.subsets()`` and
           ``Message.decoded_values()`` of every message of
           ``corvena.read(data, tables=tables)`` over the file's bytes (one
           ``corvena.Tables`` for the whole process; the scan and making
           each Message are timed with them), against ecCodes'
           ``codes_new_from_message``, ``unpack`` and the ``numericValues``
           array turned into one Python float per value with ``tolist()``:
           the least that gives one Python object per value out of ecCodes
           (names, units or meanings, which ``items()`` also gives, would cost
           it more). The floor is ``numpy.ndarray.tolist()`` of as many
           float64 as there are items: what any one-object-per-value result
           costs at least;
- read:    a fresh ``corvena.read(path)`` over every message of the file,
           ``m.arrays().values`` of each (tables as ``corvena.read`` chooses
           them, loaded once per process), against ecCodes' loop: ``open``,
           ``codes_bufr_new_from_file`` until None, ``unpack``,
           ``numericValues``, ``codes_release``. On the smallest files this is
           mostly the cost of a call.

With pybufrkit importable (and no ``--no-pybufrkit``), ``Decoder.process``
of the messages its own tables decode is timed against ``decoded_values()``
of the same messages, after every other path (3 rounds at most; not on files
whose object paths are left out). bench/run.sh times pybufrkit, and the memory kept per item, in
the first process only: neither depends on ecCodes.

Encoding (files of ENCODED: the HIRS and the German SYNOP file; after
every decoding path) times every message of the file encoded again from
values in memory, decoding left out on both sides: corvena's
``corvena.encode(m, m.unexpanded_descriptors, m.arrays(),
compressed=m.compressed_data)``, with the arrays made beforehand, and, on
files of at most LIST_ITEMS items, the same from lists of values per
subset (``[[it.value for it in sub] for sub in m.subsets()]``), what a
message built by hand is given; against ecCodes' per message: a handle from
the BUFR4 sample, the section 1 keys, numberOfSubsets, observedData and
compressedData, the input replication factors and data present bitmap,
unexpandedDescriptors, then every data key of ecCodes' own decoding of the
message with the ``codes_set_*`` of its type (an array of one value per
subset where ecCodes gives one, ``#n#`` ranks through the subsets of
uncompressed data), ``pack`` and ``codes_get_message``. The keys and values
are gathered beforehand. Once, untimed, ecCodes decodes each of its messages
again; one whose numbers (numericValues) or texts differ from the original's,
or that either side cannot encode, is left out of both sides, and the notes
say so, and how many messages of each come out byte for byte as the
original.

Within a group the paths are timed round after round, interleaved, so that a
slow moment of the machine hits every path alike; the figures are medians
over the rounds. Rounds per group and file follow its cost: a first round
(not counted) times each path once; a path that took less than 2 ms is then
called as many times as make 2 ms per measurement, and there are as many
rounds as fit in about 3 s (5 to 51; 3 when a round takes more than 10 s, and
a first round longer than 3 s counts as the first of them). Results are held
until the clock stops, so freeing them is not timed; the cyclic collector
collects fully before each round. ``--quick`` aims at
0.5 s (3 to 11 rounds) and leaves out the object paths of files of more than
5 million items (the HIRS file, 17.5 million items, takes 15 s or more a
round on them).

The table gives per file and path corvena's median in ms and, per build,
ecCodes' median and x = ecCodes' median / corvena's; then the ratios at a
glance, every path where corvena is the slower, the sums over all files and
the memory kept per item by the object and array results.
"""

import argparse
import gc
import glob
import json
import logging
import math
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "messages"))

# (row label, corvena's path, the peer it is compared with)
ROWS = [
    ("arrays 1 thr", "arrays1", "ecCodes arrays"),
    ("arrays 2 thr", "arrays2", "ecCodes arrays"),
    ("items", "items", "ecCodes objects"),
    ("subsets", "subsets", "ecCodes objects"),
    ("decoded_values", "values", "ecCodes objects"),
    ("floor (tolist)", "floor", None),
    ("read", "read", "ecCodes read"),
]
GLANCE = [("arr1", "arrays1"), ("arr2", "arrays2"), ("items", "items"), ("subs", "subsets"), ("vals", "values"),
          ("read", "read")]


# ---------------------------------------------------------------- measuring

def timed(fn, number):
    """Seconds per call of `fn`, called `number` times; the results are
    freed once the clock has stopped."""
    kept = []
    t = time.perf_counter()
    for _ in range(number):
        kept.append(fn())
    t = time.perf_counter() - t
    del kept
    return t / number


class Pace:
    """How many rounds, and calls per measurement, a group gets."""

    def __init__(self, target, least_rounds, most_rounds, fixed=None):
        self.target = target  # seconds of rounds per group and file
        self.least_rounds = least_rounds
        self.most_rounds = most_rounds
        self.fixed = fixed  # rounds given on the command line
        self.least_call = 0.002  # seconds per measurement at least


def measure(runners, pace, most_rounds=None):
    """Interleaved rounds of `runners` (name -> callable): per name the
    median and min (seconds per call), the rounds and calls per round."""
    gc.collect()
    first = {k: timed(fn, 1) for k, fn in runners.items()}
    number = {k: max(1, math.ceil(pace.least_call / max(t, 1e-9))) for k, t in first.items()}
    round_time = sum(number[k] * first[k] for k in runners)
    if pace.fixed:
        rounds = pace.fixed
    else:
        least = 3 if round_time > 10 else pace.least_rounds
        rounds = max(least, min(pace.most_rounds, int(pace.target / round_time)))
    if most_rounds:
        rounds = min(rounds, most_rounds)
    times = {k: [] for k in runners}
    if sum(first.values()) > pace.target and not pace.fixed:
        for k in runners:  # a round this long: the first counts
            times[k].append(first[k])
    while len(times[next(iter(runners))]) < rounds:
        gc.collect()  # once a round: a full collection walks every object the process holds
        for k, fn in runners.items():
            times[k].append(timed(fn, number[k]))
    return {k: {"median": statistics.median(v), "min": min(v), "rounds": len(v), "calls": number[k]}
            for k, v in times.items()}


def eccodes_build(label):
    """(label, version) of the ecCodes the bindings load, or None."""
    try:
        import eccodes
    except ImportError:
        return None
    if label is None:
        label = "Debian" if eccodes.__file__.startswith("/usr/lib/python3/") else "PyPI"
    return label, eccodes.codes_get_api_version()


def eccodes_failures(messages):
    """How many of `messages` ecCodes cannot unpack."""
    import eccodes

    failed = 0
    for msg in messages:
        try:
            h = eccodes.codes_new_from_message(msg)
        except Exception:  # noqa: BLE001 - any failure counts
            failed += 1
            continue
        try:
            eccodes.codes_set(h, "unpack", 1)
            eccodes.codes_get_array(h, "numericValues")
        except Exception:  # noqa: BLE001
            failed += 1
        finally:
            eccodes.codes_release(h)
    return failed


def eccodes_arrays(messages, as_objects=False):
    """ecCodes' unpack and numericValues per message; with `as_objects`,
    the values also made Python floats (tolist)."""
    import eccodes

    def run():
        out = []
        for msg in messages:
            h = eccodes.codes_new_from_message(msg)
            try:
                eccodes.codes_set(h, "unpack", 1)
                values = eccodes.codes_get_array(h, "numericValues")
                out.append(values.tolist() if as_objects else values)
            finally:
                eccodes.codes_release(h)
        return out

    return run


def eccodes_objects(messages):
    return eccodes_arrays(messages, as_objects=True)


def eccodes_read(path):
    import eccodes

    def run():
        out = []
        with open(path, "rb") as f:
            while True:
                h = eccodes.codes_bufr_new_from_file(f)
                if h is None:
                    break
                try:
                    eccodes.codes_set(h, "unpack", 1)
                    out.append(eccodes.codes_get_array(h, "numericValues"))
                finally:
                    eccodes.codes_release(h)
        return out

    return run


def pybufrkit_runner(decoder, messages):
    """(run, the messages pybufrkit's `decoder` decodes)."""
    ok = []
    for msg in messages:
        try:
            decoder.process(msg)
        except Exception:  # noqa: BLE001 - any failure leaves the message out
            continue
        ok.append(msg)
    return (lambda: [decoder.process(msg) for msg in ok]), ok


def pybufrkit_pass(plans, corvena, tables, pace, object_limit, tag):
    """pybufrkit against decoded_values(), file by file, after every other
    timing: the objects that pybufrkit leaves behind would make each
    collection of the cyclic collector, and so the paths timed after it,
    slower."""
    try:
        from pybufrkit.decoder import Decoder
    except ImportError:
        return
    # pybufrkit logs a warning for every local table it falls back from
    logging.disable(logging.WARNING)
    try:
        decoder = Decoder()
        for number, (name, path, entry, data, good) in enumerate(plans, 1):
            if not good or (object_limit and entry["items"] > object_limit):
                continue
            t0 = time.perf_counter()
            theirs, ok = pybufrkit_runner(decoder, [g[1] for g in good])
            if ok:
                kept = set(ok)
                indices = {g[0] for g in good if g[1] in kept}

                def ours():
                    return [m.decoded_values() for m in corvena.read(data, tables=tables, errors="skip")
                            if m.index in indices]

                entry["paths"].update(measure({"pybufrkit values": ours, "pybufrkit": theirs}, pace, most_rounds=3))
            entry["pybufrkit_ok"] = len(ok)
            print(tag + "pybufrkit %d/%d %s: %.1f s" % (number, len(plans), name, time.perf_counter() - t0),
                  file=sys.stderr)
    finally:
        logging.disable(logging.NOTSET)


# ---------------------------------------------------------------- encoding

# The files whose messages are encoded again (by name in the shared folder).
ENCODED = (
    "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
    "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr",
)
# Lists of values per subset are made for files of this many items at most.
LIST_ITEMS = 5_000_000

ECCODES_HEADER = ("edition", "masterTableNumber", "bufrHeaderCentre", "bufrHeaderSubCentre", "updateSequenceNumber",
                  "dataCategory", "internationalDataSubCategory", "dataSubCategory", "masterTablesVersionNumber",
                  "localTablesVersionNumber", "typicalYear", "typicalMonth", "typicalDay", "typicalHour",
                  "typicalMinute", "typicalSecond", "numberOfSubsets", "observedData", "compressedData")
ECCODES_FACTORS = ("delayedDescriptorReplicationFactor", "shortDelayedDescriptorReplicationFactor",
                   "extendedDelayedDescriptorReplicationFactor")
# Keys of the data section that ecCodes derives, or that are given before
# unexpandedDescriptors (factors, the bitmap).
ECCODES_DERIVED = set(ECCODES_HEADER + ECCODES_FACTORS) | {
    "typicalDate", "typicalTime", "unexpandedDescriptors", "subsetNumber", "operator", "dataPresentIndicator"}


def eccodes_plan(msg):
    """What ecCodes' encoding of `msg` is given, from ecCodes' own decoding:
    (header keys, the input keys set before unexpandedDescriptors, the
    descriptors, (setter, key, value) of every data key). Numbers go in as
    ecCodes gives them (arrays of one value per subset, or one value); a
    missing text is set missing."""
    import eccodes as ec

    h = ec.codes_new_from_message(msg)
    try:
        ec.codes_set(h, "unpack", 1)
        header = [(k, ec.codes_get_long(h, k)) for k in ECCODES_HEADER if ec.codes_is_defined(h, k)]
        inputs = [("input" + k[0].upper() + k[1:], ec.codes_get_array(h, k))
                  for k in ECCODES_FACTORS + ("dataPresentIndicator",) if ec.codes_is_defined(h, k)]
        descriptors = ec.codes_get_array(h, "unexpandedDescriptors")
        data = []
        it = ec.codes_bufr_keys_iterator_new(h)
        try:
            while ec.codes_bufr_keys_iterator_next(it):
                key = ec.codes_bufr_keys_iterator_get_name(it)
                if key.rsplit("#", 1)[-1] in ECCODES_DERIVED:
                    continue
                text = ec.codes_get_native_type(h, key) is str
                size = ec.codes_get_size(h, key)
                if size > 1:
                    values = ec.codes_get_string_array(h, key) if text else ec.codes_get_array(h, key)
                    setter = ec.codes_set_string_array if text else (
                        ec.codes_set_double_array if values.dtype.kind == "f" else ec.codes_set_long_array)
                    data.append((setter, key, values))
                elif text and ec.codes_is_missing(h, key):
                    data.append((ec.codes_set_missing, key, None))
                elif text:  # as it is, spaces included
                    data.append((ec.codes_set_string, key, ec.codes_get_string_array(h, key)[0]))
                else:
                    value = ec.codes_get(h, key)
                    data.append((ec.codes_set_double if isinstance(value, float) else ec.codes_set_long, key, value))
        finally:
            ec.codes_bufr_keys_iterator_delete(it)
        return header, inputs, descriptors, data
    finally:
        ec.codes_release(h)


def eccodes_encode(plans):
    """ecCodes' encoding of every plan (eccodes_plan): a handle from the
    BUFR4 sample, the header, the input keys, the descriptors, every data
    key, pack."""
    import eccodes as ec

    def run():
        out = []
        for header, inputs, descriptors, data in plans:
            h = ec.codes_bufr_new_from_samples("BUFR4")
            try:
                for key, value in header:
                    ec.codes_set_long(h, key, value)
                for key, values in inputs:
                    ec.codes_set_long_array(h, key, values)
                ec.codes_set_long_array(h, "unexpandedDescriptors", descriptors)
                for setter, key, value in data:
                    if value is None:
                        setter(h, key)
                    else:
                        setter(h, key, value)
                ec.codes_set(h, "pack", 1)
                out.append(ec.codes_get_message(h))
            finally:
                ec.codes_release(h)
        return out

    return run


def eccodes_same(original, encoded, plan):
    """Whether ecCodes decodes `encoded` to the values of `original`: every
    number (numericValues) and every text key of the plan."""
    import eccodes as ec
    import numpy as np

    got = []
    for msg in (original, encoded):
        h = ec.codes_new_from_message(msg)
        try:
            ec.codes_set(h, "unpack", 1)
            texts = [(setter is not ec.codes_set_string_array and ec.codes_is_missing(h, k),
                      ec.codes_get_string_array(h, k)) for setter, k, _ in plan[3]
                     if setter in (ec.codes_set_string, ec.codes_set_string_array, ec.codes_set_missing)]
            got.append((ec.codes_get_array(h, "numericValues"), texts))
        finally:
            ec.codes_release(h)
    (a, ta), (b, tb) = got
    return a.shape == b.shape and np.array_equal(a, b) and ta == tb


def corvena_difference(corvena, original, encoded):
    """How the values corvena decodes from `encoded` differ from those of
    `original`: None, "missing texts" (a missing text that came back as
    an empty one) or "values"."""
    a, b = ([it.value for it in next(iter(corvena.read(msg))).items()] for msg in (original, encoded))
    if len(a) != len(b):
        return "values"
    kinds = {"missing texts" if x is None and isinstance(y, str) and not y.strip("\0 ") else "values"
             for x, y in zip(a, b) if x != y}
    return "values" if "values" in kinds else kinds.pop() if kinds else None


def encoding_pass(plans, corvena, tables, build, pace, tag):
    """corvena's encoder against ecCodes', per file of ENCODED: every message
    the file holds encoded again from values in memory, after every decoding
    path (what they leave behind would be collected during the decoding
    timings)."""
    for number, (name, path, entry, data, good) in enumerate(plans, 1):
        if os.path.basename(name) not in ENCODED or not good:
            continue
        t0 = time.perf_counter()
        notes = entry["encoding_notes"] = []
        indices = {g[0] for g in good}
        messages = [m for m in corvena.read(data, tables=tables, errors="skip") if m.index in indices]
        arrays = {m.index: m.arrays() for m in messages}
        kept, same = [], 0
        for m in messages:  # what either side cannot encode is left out of both
            try:
                out = corvena.encode(m, m.unexpanded_descriptors, arrays[m.index], compressed=m.compressed_data)
            except ValueError as exc:
                notes.append("corvena cannot encode message %d: %s" % (m.index, exc))
                continue
            same += out == m.data
            kept.append(m)
        theirs = []
        if build is not None:
            failed, differ, same_theirs = 0, 0, 0
            ok, seen, first_failure = [], {}, None
            for m in kept:
                try:
                    plan = eccodes_plan(m.data)
                    out = eccodes_encode([plan])()[0]
                except Exception as exc:  # noqa: BLE001 - any failure leaves the message out
                    failed += 1
                    first_failure = first_failure or "%s: %s" % (type(exc).__name__, exc)
                    continue
                if not eccodes_same(m.data, out, plan):
                    differ += 1
                    continue
                if out == m.data:
                    same_theirs += 1
                else:
                    kind = corvena_difference(corvena, m.data, out)
                    seen[kind] = seen.get(kind, 0) + 1
                ok.append(m)
                theirs.append(plan)
            if failed:
                notes.append("ecCodes %s cannot encode %d of %d messages (%s): left out" % (
                    build[1], failed, len(kept), first_failure))
            if differ:
                notes.append("ecCodes %s encodes %d of %d messages to other values: left out" % (
                    build[1], differ, len(kept)))
            kept = ok
            notes.append("ecCodes' messages equal the original bytes: %d of %d" % (same_theirs, len(kept)))
            if seen.get("missing texts"):
                notes.append("ecCodes writes a missing text as zero octets (ecCodes reads them as missing, corvena"
                             " as an empty text): the only difference in %d messages" % seen["missing texts"])
            if seen.get("values") or seen.get(None):
                notes.append("ecCodes' messages of other bytes that corvena decodes to other values: %d,"
                             " to the same values: %d" % (seen.get("values", 0), seen.get(None, 0)))
        notes.insert(0, "corvena's messages equal the original bytes: %d of %d" % (same, len(messages)))
        entry["encoded"] = len(kept)
        if not kept:
            continue
        items = sum(len(arrays[m.index]) for m in kept)
        runners = {"encode arrays": lambda: [
            corvena.encode(m, m.unexpanded_descriptors, arrays[m.index], compressed=m.compressed_data)
            for m in kept]}
        if items <= LIST_ITEMS:
            lists = {m.index: [[it.value for it in sub] for sub in m.subsets()] for m in kept}
            runners["encode lists"] = lambda: [
                corvena.encode(m, m.unexpanded_descriptors, lists[m.index], compressed=m.compressed_data)
                for m in kept]
        if theirs:
            runners["ecCodes encode"] = eccodes_encode(theirs)
        entry["paths"].update(measure(runners, pace))
        print(tag + "encoding %d/%d %s: %.1f s" % (number, len(plans), name, time.perf_counter() - t0),
              file=sys.stderr)
        sys.stderr.flush()


def memory_per_item(plan):
    """Resident growth per item while every object result is kept, and the
    bytes per item of the array results, by kind of message."""
    import _corvena
    from corvena.arrays import decode_many

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

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
    return {"items": count, "objects": objects,
            "compressed": per_kind[True][0] / per_kind[True][1] if per_kind.get(True, (0, 0))[1] else None,
            "uncompressed": per_kind[False][0] / per_kind[False][1] if per_kind.get(False, (0, 0))[1] else None}


def memory_total():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) * 1024
    return 0


def plan_file(corvena, tables, path, build, entry):
    """The bytes of the file and (index, bytes, TableSet, items) of each
    message corvena decodes, each decoded once here; notes what fails."""
    with open(path, "rb") as f:
        data = f.read()
    every = list(corvena.read(data, tables=tables, errors="skip"))
    good = []
    for m in every:
        try:
            good.append((m.index, m.data, m.tables, len(m.arrays())))
        except corvena.ReadError:
            pass
    failed = eccodes_failures([m.data for m in every]) if build else None
    entry.update(bytes=len(data), msgs=len(every), decoded=len(good), items=sum(g[3] for g in good),
                 eccodes_failed=failed)
    if len(good) < len(every):
        entry["notes"].append("corvena decodes %d of %d messages" % (len(good), len(every)))
    if failed:
        entry["notes"].append("ecCodes %s cannot unpack %d of %d messages" % (build[1], failed, len(every)))
    return data, good


def run(args):
    import numpy as np

    import corvena
    from corvena.arrays import decode_many

    started = time.time()
    build = eccodes_build(args.label)
    if build is None:
        print("ecCodes cannot be imported here: corvena is timed alone", file=sys.stderr)
    pace = Pace(0.5, 3, 11, args.repeats) if args.quick else Pace(3.0, 5, 51, args.repeats)
    object_limit = args.object_items_limit if args.object_items_limit is not None else (5_000_000 if args.quick else 0)
    use_pybufrkit = not args.no_pybufrkit
    result = {
        "label": build[0] if build else "no ecCodes",
        "eccodes": build[1] if build else None,
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "cores": os.cpu_count(),
        "memory": memory_total(),
        "load": os.getloadavg(),
        "quick": args.quick,
        "files": {},
    }
    tag = "[%s] " % result["label"]
    names = args.files or sorted(os.path.basename(p) for p in glob.glob(os.path.join(MESSAGES, "*.bufr")))
    tables = corvena.Tables()
    plans = []
    for name in names:  # messages split, tables loaded, everything decoded once
        path = name if os.path.dirname(name) else os.path.join(MESSAGES, name)
        entry = result["files"][os.path.basename(name)] = {"paths": {}, "notes": []}
        data, good = plan_file(corvena, tables, path, build, entry)
        plans.append((name, path, entry, data, good))
    everything = [(g[1], g[2]) for p in plans for g in p[4]]
    if everything and not args.no_memory:  # before the timing has left freed memory about
        result["memory_per_item"] = memory_per_item(everything)

    for number, (name, path, entry, data, good) in enumerate(plans, 1):
        t0 = time.perf_counter()
        if not good:
            print(tag + "%d/%d %s: nothing to time" % (number, len(plans), name), file=sys.stderr)
            continue
        items = entry["items"]
        msgs = [g[1] for g in good]
        tabs = [g[2] for g in good]
        with_eccodes = build is not None and eccodes_failures(msgs) == 0
        paths = entry["paths"]

        runners = {
            "arrays1": lambda: decode_many(msgs, tabs, threads=1),
            "arrays2": lambda: decode_many(msgs, tabs, threads=2),
        }
        if with_eccodes:
            runners["ecCodes arrays"] = eccodes_arrays(msgs)
        paths.update(measure(runners, pace))

        def each(method, indices):
            return lambda: [method(m) for m in corvena.read(data, tables=tables, errors="skip") if m.index in indices]

        objects = not (object_limit and items > object_limit)
        if objects:
            indices = {g[0] for g in good}
            runners = {
                "items": each(lambda m: m.items(), indices),
                "subsets": each(lambda m: m.subsets(), indices),
                "values": each(lambda m: m.decoded_values(), indices),
                "floor": np.arange(items, dtype=np.float64).tolist,
            }
            if with_eccodes:
                runners["ecCodes objects"] = eccodes_objects(msgs)
            paths.update(measure(runners, pace))
        else:
            entry["notes"].append("object paths left out (%d items)" % items)

        if len(good) == entry["msgs"]:
            runners = {"read": lambda: [m.arrays().values for m in corvena.read(path)]}
            if build is not None and not entry["eccodes_failed"]:
                runners["ecCodes read"] = eccodes_read(path)
            paths.update(measure(runners, pace))
        else:
            entry["notes"].append("read path left out: corvena does not decode every message")

        print(tag + "%d/%d %s: %.1f s" % (number, len(plans), name, time.perf_counter() - t0), file=sys.stderr)
        sys.stderr.flush()
    if not args.no_encoding:
        encoding_pass(plans, corvena, tables, build, pace, tag)
    if use_pybufrkit:
        pybufrkit_pass(plans, corvena, tables, pace, object_limit, tag)
    result["elapsed"] = time.time() - started
    result["load_end"] = os.getloadavg()
    return result


# ---------------------------------------------------------------- printing

def ms(seconds):
    if seconds is None:
        return "-"
    v = seconds * 1e3
    if v >= 1000:
        return "%.0f" % v
    if v >= 100:
        return "%.1f" % v
    if v >= 10:
        return "%.2f" % v
    return "%.3f" % v


def times(x):
    if x is None:
        return "-"
    if x >= 100:
        return "%.0f" % x
    if x >= 10:
        return "%.1f" % x
    return "%.2f" % x


def short(name, width):
    return name if len(name) <= width else name[:width - 3] + "..."


def median_of(build, name, path):
    found = build["files"].get(name, {}).get("paths", {}).get(path)
    return found["median"] if found else None


def ratio(a, b):
    return a / b if a is not None and b else None


def other_cell(build, name, path):
    """The last column of a row for one build: the speed-up of the second
    thread, or the time over the floor."""
    if path == "arrays2":
        r = ratio(median_of(build, name, "arrays1"), median_of(build, name, "arrays2"))
        return None if r is None else "%.2f" % r
    if path in ("items", "subsets", "values"):
        r = ratio(median_of(build, name, path), median_of(build, name, "floor"))
        return None if r is None else times(r)
    return None


def report(builds, out=sys.stdout):
    def say(line=""):
        print(line.rstrip(), file=out)

    first = builds[0]
    say("# %s; %d cores, %.0f GiB; corvena timed in each process" % (
        first["date"], first["cores"], first["memory"] / 2 ** 30))
    for b in builds:
        say("# %s process: ecCodes %s, Python %s, numpy %s; %.0f s%s; load average (1 min) %.2f at start, %.2f at end"
            % (b["label"], b["eccodes"] or "-", b["python"], b["numpy"], b["elapsed"],
               ", --quick" if b["quick"] else "", b["load"][0], b["load_end"][0]))
    say("# times: medians in ms over interleaved rounds (rounds per group in each file's line);"
        " x = ecCodes' median / corvena's, in the same process")
    say("# ecCodes: arrays = unpack + numericValues; objects = the same + tolist(); read = its file loop."
        " last column: 2 thr / 1 thr speed-up, or time / floor")
    names = []
    for b in builds:
        names.extend(n for n in b["files"] if n not in names)

    group = " %9s %9s %7s %6s"
    head = "  %-16s" + group * len(builds)
    say()
    say(("  %-16s" % "") + "".join(" %-33s" % ("%s process, ecCodes %s" % (b["label"], b["eccodes"] or "-"))
                                 for b in builds))
    say(head % (("path",) + sum((("corvena", "ecCodes", "x", "other") for _ in builds), ())))
    for name in names:
        entries = [b["files"].get(name) for b in builds]
        e = next(x for x in entries if x)
        rounds = []
        for b, x in zip(builds, entries):
            if x and x["paths"]:
                per = [str(x["paths"][p]["rounds"]) if p in x["paths"] else "-"
                       for p in ("arrays1", "items", "read", "pybufrkit")]
                rounds.append("%s %s" % (b["label"], "/".join(per)))
        say()
        say("%s: %d bytes, %d message%s, %d items; rounds arrays/objects/read/pybufrkit: %s" % (
            name, e["bytes"], e["msgs"], "" if e["msgs"] == 1 else "s", e["items"], ", ".join(rounds) or "-"))
        notes = {}
        for b, x in zip(builds, entries):
            for note in (x or {}).get("notes", []):
                notes.setdefault(note, []).append(b["label"])
        for note, labels in notes.items():
            say("  %s: %s" % (", ".join(labels), note))
        if not any(x and x["paths"] for x in entries):
            continue
        for label, path, peer in ROWS:
            cells = []
            for b in builds:
                ours = median_of(b, name, path)
                theirs = median_of(b, name, peer) if peer else None
                cells += [ms(ours), ms(theirs) if peer else "", times(ratio(theirs, ours)) if peer else "",
                          other_cell(b, name, path) or ""]
            if any(c not in ("", "-") for c in cells):
                say(head % ((label,) + tuple(cells)))
        for b in builds:
            ours = median_of(b, name, "pybufrkit values")
            theirs = median_of(b, name, "pybufrkit")
            if ours and theirs:
                x = b["files"][name]
                say("  pybufrkit (%s process): %s ms for %d of %d messages, %s times decoded_values() (%s ms)" % (
                    b["label"], ms(theirs), x.get("pybufrkit_ok", 0), x["decoded"], times(theirs / ours), ms(ours)))

    say()
    say("# all files: sums of the medians over the files where both were timed")
    say(head % (("path",) + sum((("corvena", "ecCodes", "x", "") for _ in builds), ())))
    for label, path, peer in ROWS:
        if not peer:
            continue
        cells = []
        for b in builds:
            pairs = [(median_of(b, n, path), median_of(b, n, peer)) for n in b["files"]]
            pairs = [(a, c) for a, c in pairs if a is not None and c is not None]
            if pairs:
                a, c = sum(p[0] for p in pairs), sum(p[1] for p in pairs)
                cells += [ms(a), ms(c), times(c / a), ""]
            else:
                cells += ["-", "-", "-", ""]
        say(head % ((label,) + tuple(cells)))

    say()
    say("# x at a glance (ecCodes' median / corvena's)")
    glance = "%-34s" + (" " + " %5s" * len(GLANCE)) * len(builds)
    say(("%-34s" % "") + "".join("  %-35s" % ("%s %s" % (b["label"], b["eccodes"] or "-")) for b in builds))
    say(glance % (("file",) + tuple(k for _ in builds for k, _ in GLANCE)))
    for name in names:
        cells = []
        for b in builds:
            for _, path in GLANCE:
                peer = next(p for _, q, p in ROWS if q == path)
                cells.append(times(ratio(median_of(b, name, peer), median_of(b, name, path))))
        if any(c != "-" for c in cells):
            say(glance % ((short(name, 34),) + tuple(cells)))

    say()
    say("# where corvena is the slower (x < 1 in any build), per path: file and x for %s" % (
        " / ".join(b["label"] for b in builds)))
    anywhere = False
    for label, path, peer in ROWS:
        if not peer:
            continue
        found = []
        for name in names:
            xs = [ratio(median_of(b, name, peer), median_of(b, name, path)) for b in builds]
            if any(x is not None and x < 1 for x in xs):
                found.append((min(x for x in xs if x is not None), name, xs))
        if not found:
            continue
        anywhere = True
        line = "  %s, %d file%s:" % (label, len(found), "" if len(found) == 1 else "s")
        for i, (_, name, xs) in enumerate(sorted(found)):
            cell = " %s %s%s" % (short(name, 40), "/".join(times(x) for x in xs), "," if i + 1 < len(found) else "")
            if len(line) + len(cell) > 118:
                say(line)
                line = "     "
            line += cell
        say(line)
    if not anywhere:
        say("  none")

    encoded = [n for n in names if any("encoding_notes" in b["files"].get(n, {}) for b in builds)]
    if encoded:
        say()
        say("# encoding: every message of the file encoded again from values in memory; decoding timed on neither"
            " side. x = ecCodes' median / corvena's")
        say("# corvena: encode(m, m.unexpanded_descriptors, values, compressed=m.compressed_data), values m.arrays()"
            " (arrays) or lists of values per subset (lists)")
        say("# ecCodes: a handle from the BUFR4 sample; header keys, input replication factors and bitmap,"
            " unexpandedDescriptors, every data key's values (codes_set_*), pack, codes_get_message")
        say(head % (("path",) + sum((("corvena", "ecCodes", "x", "") for _ in builds), ())))
        for name in encoded:
            entries = [b["files"].get(name) or {} for b in builds]
            say()
            say("%s: messages encoded %s; rounds %s" % (name, ", ".join(
                "%s %s/%d" % (b["label"], x.get("encoded", "-"), x.get("msgs", 0)) for b, x in zip(builds, entries)),
                ", ".join("%s %s" % (b["label"], x["paths"]["encode arrays"]["rounds"])
                          for b, x in zip(builds, entries) if "encode arrays" in x.get("paths", {}))))
            notes = {}
            for b, x in zip(builds, entries):
                for note in x.get("encoding_notes", []):
                    notes.setdefault(note, []).append(b["label"])
            for note, labels in notes.items():
                say("  %s: %s" % (", ".join(labels), note))
            for path in ("encode arrays", "encode lists"):
                cells = []
                for b in builds:
                    ours, theirs = median_of(b, name, path), median_of(b, name, "ecCodes encode")
                    cells += [ms(ours), ms(theirs), times(ratio(theirs, ours)), ""]
                if any(c not in ("", "-") for c in cells[::4]):
                    say(head % ((path[7:],) + tuple(cells)))

    for b in builds:
        m = b.get("memory_per_item")
        if m:
            say()
            say("memory kept per item over %d items (%s process): objects %.1f bytes (DecodedValue and list slot);"
                " arrays %s bytes for compressed messages, %s for uncompressed ones" % (
                    m["items"], b["label"], m["objects"],
                    "%.1f" % m["compressed"] if m["compressed"] is not None else "-",
                    "%.1f" % m["uncompressed"] if m["uncompressed"] is not None else "-"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds; no object paths on files of more than 5 million items")
    parser.add_argument("--repeats", type=int, default=None, help="this many rounds for every group and file")
    parser.add_argument("--files", nargs="*", default=None, help="names in the shared folder, or paths")
    parser.add_argument("--object-items-limit", type=int, default=None,
                        help="leave out the object paths of files of more items (0: none left out)")
    parser.add_argument("--no-pybufrkit", action="store_true")
    parser.add_argument("--no-encoding", action="store_true", help="do not time encoding")
    parser.add_argument("--no-memory", action="store_true", help="do not measure the memory kept per item")
    parser.add_argument("--label", default=None, help="the name of this ecCodes build (default: PyPI or Debian)")
    parser.add_argument("--json", metavar="OUT", help="write the results to OUT instead of printing the table")
    parser.add_argument("--merge", nargs="+", metavar="JSON", help="print the table of results written with --json")
    args = parser.parse_args()
    if args.merge:
        builds = []
        for path in args.merge:
            with open(path) as f:
                builds.append(json.load(f))
        report(builds)
        return
    result = run(args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f)
    else:
        report([result])


if __name__ == "__main__":
    main()
