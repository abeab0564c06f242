"""Times corvena.read_bufr against pdbufr on the documented examples, and
corvena.dask.read_bufr with one and with two worker processes.

    python bench/frame_bench.py                 # the examples (needs pdbufr)
    python bench/frame_bench.py --large DIR     # the large files (made by bench/frame_inputs.py DIR)
    python bench/frame_bench.py --dask 600      # Dask, 1 vs 2 workers, 600 files

Each example is timed as the best of several runs after one warm-up run
(tables loaded, caches filled), in one process; "rows-only" times the same
call on messages decoded beforehand. The Dask part copies the shared files
into a temporary directory until it holds the given number of files, starts
a distributed LocalCluster of one and one of two worker processes (one
thread each), computes the same frame on them in turns and prints the wall
times. The load average printed first tells how busy the machine was: the
speed-up of two workers needs two free cores.
"""

import argparse
import logging
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "messages"))
HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"

# name: (file, columns, filters)
EXAMPLES = {
    "synop 2 m temperature": (
        "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr",
        ["WMO_station_id", "stationNumber", "latitude", "longitude", "data_datetime", "airTemperature"],
        {HEIGHT: 2.0},
    ),
    "temp levels (IUSK73 040000)": (
        "IUSK73_AMMC_040000.bufr",
        ["WMO_station_id", "data_datetime", "pressure", "airTemperature", "dewpointTemperature"],
        {},
    ),
    "temp levels (IUSK73 182300)": (
        "IUSK73_AMMC_182300.bufr",
        ["WMO_station_id", "data_datetime", "pressure", "airTemperature", "dewpointTemperature"],
        {},
    ),
    "temp levels (uegabe)": (
        "uegabe.bufr",
        ["WMO_station_id", "data_datetime", "pressure", "airTemperature", "dewpointTemperature"],
        {},
    ),
    "amsu-a channels (aaen_55)": (
        "aaen_55.bufr",
        ["latitude", "longitude", "data_datetime", "tovsOrAtovsOrAvhrrInstrumentationChannelNumber", "brightnessTemperature"],
        {},
    ),
    "aircraft flight level and wind": (
        "aircraft_mrar_compressed.bufr",
        ["aircraftRegistrationNumberOrOtherIdentification", "latitude", "longitude", "data_datetime", "flightLevel", "windDirection", "windSpeed"],
        {},
    ),
}


CHANNEL = "tovsOrAtovsOrAvhrrInstrumentationChannelNumber"
HIRS = "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr"
# name: (file, columns, filters); a file without a directory is in --large DIR.
LARGE = {
    "15,824 one-subset SYNOP messages": (
        "synop_single.bufr", EXAMPLES["synop 2 m temperature"][1], {HEIGHT: 2.0}),
    "6,698 one-subset aircraft messages": (
        "aircraft_single.bufr", EXAMPLES["aircraft flight level and wind"][1], {}),
    "HIRS, 61 compressed messages, 3 channels": (
        os.path.join(MESSAGES, HIRS), ["latitude", "longitude", "data_datetime", CHANNEL, "brightnessTemperature"],
        {CHANNEL: [1, 8, 15]}),
    "compress_3 (first-order statistics)": (
        os.path.join(MESSAGES, "compress_3.bufr"),
        ["latitude", "longitude", "data_datetime", "pressure", "averagingKernelValue"], {}),
    "DWD SYNOP": (os.path.join(MESSAGES, EXAMPLES["synop 2 m temperature"][0]),) + EXAMPLES["synop 2 m temperature"][1:],
    "TEMP (IUSK73 040000)": (os.path.join(MESSAGES, EXAMPLES["temp levels (IUSK73 040000)"][0]),)
    + EXAMPLES["temp levels (IUSK73 040000)"][1:],
}


def large(directory, rounds):
    """Interleaved rounds: in each, every query once by corvena (the best of
    three calls) and once by pdbufr; medians over the rounds."""
    import statistics

    import corvena
    import pdbufr

    ours = {name: [] for name in LARGE}
    theirs = {name: [] for name in LARGE}
    rows = {}
    for _ in range(rounds):
        for name, (file, columns, filters) in LARGE.items():
            path = file if os.path.dirname(file) else os.path.join(directory, file)
            rows[name] = len(corvena.read_bufr(path, columns, filters))
            ours[name].append(best(lambda: corvena.read_bufr(path, columns, filters), 3))
            t = time.perf_counter()
            pdbufr.read_bufr(path, columns=columns, filters=filters)
            theirs[name].append(time.perf_counter() - t)
    print("%-42s %8s %12s %12s %7s" % ("file", "rows", "corvena ms", "pdbufr ms", "ratio"))
    for name in LARGE:
        a, b = statistics.median(ours[name]), statistics.median(theirs[name])
        print("%-42s %8d %12.1f %12.1f %7.1f" % (name, rows[name], a * 1e3, b * 1e3, b / a))
    fixed_cost()


def fixed_cost(runs=2000):
    """What a call costs beyond decoding: read_bufr of one small message
    decoded beforehand, one column; and of its file (reading, framing and
    decoding included). Medians."""
    import statistics

    import corvena

    path = os.path.join(MESSAGES, "uegabe.bufr")
    decoded = list(corvena.read(path))
    for m in decoded:
        m.decoded()
    for name, source in (("one decoded message", decoded), ("its file", path)):
        times = []
        for _ in range(runs):
            t = time.perf_counter()
            corvena.read_bufr(source, ["pressure"])
            times.append(time.perf_counter() - t)
        print("a call on %s (uegabe.bufr, 1 column): %.0f us" % (name, statistics.median(times) * 1e6))


def best(fn, runs):
    fn()
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def examples(runs):
    import corvena.frame

    try:
        import pdbufr
    except ImportError:
        pdbufr = None
        print("pdbufr cannot be imported: corvena times only")
    print("%-32s %7s %11s %11s %7s %11s %7s" % ("example", "rows", "corvena ms", "pdbufr ms", "ratio", "rows-only", "ratio"))
    for name, (file, columns, filters) in EXAMPLES.items():
        path = os.path.join(MESSAGES, file)
        rows = len(corvena.frame.read_bufr(path, columns, filters))
        ours = best(lambda: corvena.frame.read_bufr(path, columns, filters), runs)
        only = rows_only(path, columns, filters, runs)
        theirs = best(lambda: pdbufr.read_bufr(path, columns=columns, filters=filters), max(1, runs // 5)) if pdbufr else float("nan")
        print("%-32s %7d %11.2f %11.2f %7.1f %11.2f %7.1f" % (name, rows, ours * 1e3, theirs * 1e3, theirs / ours, only * 1e3, theirs / only))
    print("rows-only: the rows built from the arrays of messages decoded beforehand (what")
    print("remains once decoding hands over arrays; framing and decoding excluded)")


def rows_only(path, columns, filters, runs):
    import corvena
    import corvena.frame

    messages = list(corvena.read(path))
    for m in messages:  # decoded beforehand: read_bufr takes their results
        m.decoded()
    return best(lambda: corvena.frame.read_bufr(messages, columns, filters), runs)


# The files copied for the Dask run: station reports, profiles, aircraft and
# one satellite scan, as a day of mixed observations might hold them.
DASK_FILES = [
    "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr",
    "ISMD01_OKPR.bufr",
    "IUSK73_AMMC_040000.bufr",
    "IUSK73_AMMC_182300.bufr",
    "uegabe.bufr",
    "synop_multi_subset_uncompressed.bufr",
    "aircraft_mrar_compressed.bufr",
    "aaen_55.bufr",
]


def copies(directory, count):
    paths = []
    i = 0
    while len(paths) < count:
        src = os.path.join(MESSAGES, DASK_FILES[i % len(DASK_FILES)])
        dst = os.path.join(directory, "%04d_%s" % (i, os.path.basename(src)))
        shutil.copyfile(src, dst)
        paths.append(dst)
        i += 1
    return paths


def _spin(_):
    total = 0
    for i in range(1_500_000):
        total += i & 7
    return total


def dask_run(count, runs):
    import corvena.dask
    import corvena.frame
    from distributed import Client, LocalCluster

    columns = ["latitude", "longitude", "data_datetime", "pressure", "airTemperature"]
    with tempfile.TemporaryDirectory() as tmp:
        paths = copies(tmp, count)
        print("%d files, %.1f MB" % (len(paths), sum(os.path.getsize(p) for p in paths) / 1e6))
        clusters = {
            w: LocalCluster(n_workers=w, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR)
            for w in (1, 2)
        }
        clients = {w: Client(c, set_as_default=False) for w, c in clusters.items()}
        try:
            # A new collection each time: computing one collection again may
            # hand back the result kept from the time before. The two
            # cluster sizes take turns, so that a change in the load of the
            # machine touches both alike.
            def run(workers):
                frame = corvena.dask.read_bufr(paths, columns, required_columns=["airTemperature"])
                return clients[workers].compute(frame).result()

            def reduce(workers):  # little comes back to the client
                frame = corvena.dask.read_bufr(paths, columns, required_columns=["airTemperature"])
                return clients[workers].compute(frame.airTemperature.mean()).result()

            # The control: the same number of tasks of pure Python work, to
            # show what two workers can gain on the machine as loaded now.
            def control(workers):
                return clients[workers].gather(clients[workers].map(_spin, range(16), pure=False))

            rows = {w: len(run(w)) for w in (1, 2)}  # warm-up: imports and tables in every worker
            times = {1: [], 2: []}
            means = {1: [], 2: []}
            spins = {1: [], 2: []}
            for _ in range(runs):
                for w in (1, 2):
                    for fn, into in ((run, times), (reduce, means), (control, spins)):
                        t = time.perf_counter()
                        fn(w)
                        into[w].append(time.perf_counter() - t)
        finally:
            for c in clients.values():
                c.close()
            for c in clusters.values():
                c.close()
        for w in (1, 2):
            print("%d worker(s): best %.3f s, median %.3f s  (%d rows)" % (w, min(times[w]), sorted(times[w])[len(times[w]) // 2], rows[w]))
        print("speed-up 1 -> 2 workers: %.2fx (best), %.2fx (median)" % (
            min(times[1]) / min(times[2]), sorted(times[1])[runs // 2] / sorted(times[2])[runs // 2]))
        print("mean of airTemperature (the rows stay on the workers): 1 worker %.3f s, 2 workers %.3f s, speed-up %.2fx (best)" % (
            min(means[1]), min(means[2]), min(means[1]) / min(means[2])))
        print("control, 16 tasks of pure Python work: 1 worker %.3f s, 2 workers %.3f s, speed-up %.2fx (best)" % (
            min(spins[1]), min(spins[2]), min(spins[1]) / min(spins[2])))
        single = best(lambda: corvena.frame.read_bufr(paths, columns, required_columns=["airTemperature"]), 1)
        print("the same files in this process, without Dask: %.3f s" % single)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--dask", type=int, metavar="FILES", help="time Dask on this many files instead")
    parser.add_argument("--large", metavar="DIR", help="time the large files of DIR against pdbufr instead")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds of --large")
    args = parser.parse_args(argv)
    print(time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "-", os.cpu_count(), "cores - load average %.1f %.1f %.1f" % os.getloadavg())
    if args.large:
        large(args.large, args.rounds)
    elif args.dask:
        dask_run(args.dask, max(1, args.runs // 4))
    else:
        examples(args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
