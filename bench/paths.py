"""Times the package's own paths over the shared files, to compare two builds.

    python bench/paths.py [--repeats N]

Per path, the median over the rounds of the time to go once through the
shared files with one shared corvena.Tables (tables loaded beforehand):

- items:          corvena.read(...), then Message.items() of each message
- subsets:        the same, then Message.subsets()
- decoded_values: Message.decoded_values() of each message
- decode_many:    corvena.arrays.decode_many of every message, threads=1
- read_bufr:      corvena.read_bufr(path, columns=["latitude", "longitude"])
                  of each file

Run it under the two builds in turn (with PYTHONPATH pointing at the other
one) on a quiet machine: each path is timed afresh in every round, in turns.
"""

import argparse
import glob
import os
import statistics
import time

import corvena
from corvena.arrays import decode_many

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "messages"))
COLUMNS = ["latitude", "longitude"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--skip", default="M02-HIRS",
                        help="leave out the files whose name holds this (default: the 17-million-item HIRS file,"
                             " 15 s a round on the object paths); '' keeps every file")
    args = parser.parse_args()
    tables = corvena.Tables()
    files = [f for f in sorted(glob.glob(os.path.join(MESSAGES, "*.bufr")))
             if not args.skip or args.skip not in os.path.basename(f)]
    blobs = [open(f, "rb").read() for f in files]
    good = []  # (bytes, TableSet) of the messages that decode
    for data in blobs:
        for m in corvena.read(data, tables=tables, errors="skip"):
            try:
                m.items()
            except corvena.ReadError:
                continue
            good.append((m.data, m.tables))

    def messages():
        for data in blobs:
            for m in corvena.read(data, tables=tables, errors="skip"):
                yield m

    def each(method):
        def run():
            for m in messages():
                try:
                    method(m)
                except corvena.ReadError:
                    pass
        return run

    def frame(path):
        try:
            return corvena.read_bufr(path, columns=COLUMNS, tables=tables, errors="skip")
        except KeyError:  # a file without positions
            return None

    paths = {
        "items": each(lambda m: m.items()),
        "subsets": each(lambda m: m.subsets()),
        "decoded_values": each(lambda m: m.decoded_values()),
        "decode_many": lambda: decode_many([d for d, _ in good], [t for _, t in good], threads=1, errors="return"),
        "read_bufr": lambda: [frame(f) for f in files],
    }
    times = {k: [] for k in paths}
    for fn in paths.values():
        fn()
    for _ in range(args.repeats):
        for k, fn in paths.items():
            t0 = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t0)
    for k, v in times.items():
        print("%-15s median %8.2f ms   min %8.2f ms" % (k, 1e3 * statistics.median(v), 1e3 * min(v)))


if __name__ == "__main__":
    main()
