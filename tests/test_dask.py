"""corvena.dask.read_bufr on a LocalCluster of worker processes: the rows of
corvena.read_bufr, one partition per file (or group, or part of a large
file), the schema known before anything is computed."""

import os
import pathlib
import warnings

import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import corvena
import corvena.dask
from bufr_build import Bits, message
from conftest import MESSAGES

FILES = [
    "ISMD01_OKPR.bufr",
    "IUSK73_AMMC_182300.bufr",
    "uegabe.bufr",
    "aircraft_mrar_compressed.bufr",
    "synop_multi_subset_uncompressed.bufr",
]
COLUMNS = ["stationOrSiteName", "latitude", "data_datetime", "pressure", "airTemperature"]
HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def paths():
    return [os.path.join(MESSAGES, f) for f in FILES]


def _same(lazy, eager):
    got = lazy.compute().reset_index(drop=True)
    assert list(got.columns) == list(eager.columns)
    assert len(got) == len(eager)
    for name in eager.columns:
        a, b = got[name], eager[name]
        if b.dtype.kind in "fM":
            pd.testing.assert_series_equal(a, b, check_dtype=False, check_names=False)
        else:
            assert [None if pd.isna(v) else v for v in a] == [None if pd.isna(v) else v for v in b], name


@pytest.mark.parametrize(
    "filters,options,per_partition",
    [
        ({}, {"required_columns": False}, 1),
        ({HEIGHT: 2.0}, {"required_columns": ["airTemperature"]}, 2),
        ({"pressure": lambda p: p >= 50000}, {}, 5),
    ],
)
def test_same_rows_as_read_bufr(client, paths, filters, options, per_partition):
    lazy = corvena.dask.read_bufr(paths, COLUMNS, filters, files_per_partition=per_partition, **options)
    assert lazy.npartitions == -(-len(paths) // per_partition)
    _same(lazy, corvena.read_bufr(paths, COLUMNS, filters, **options))


def test_meta_given_reads_nothing_and_glob(client, tmp_path, paths):
    # Files that do not exist yet: with meta given, building the graph reads none.
    later = [str(tmp_path / ("f%d.bufr" % i)) for i in range(len(paths))]
    meta = corvena.read_bufr(paths[0], COLUMNS, required_columns=False).iloc[:0]
    lazy = corvena.dask.read_bufr(later, COLUMNS, required_columns=False, meta=meta, files_per_partition=1)
    assert list(lazy.columns) == COLUMNS and lazy.npartitions == len(paths)
    for src, dst in zip(paths, later):
        with open(src, "rb") as a, open(dst, "wb") as b:
            b.write(a.read())
    _same(lazy, corvena.read_bufr(paths, COLUMNS, required_columns=False))
    # Small files are grouped by default: these few make one partition.
    by_glob = corvena.dask.read_bufr(str(tmp_path / "f*.bufr"), COLUMNS, required_columns=False)
    assert by_glob.npartitions == 1
    _same(by_glob, corvena.read_bufr(sorted(later), COLUMNS, required_columns=False))


def test_partition_without_rows_keeps_the_schema(client, paths):
    # Only the TEMP files hold pressure levels below 200 hPa: the other
    # partitions are empty but must agree with the meta.
    lazy = corvena.dask.read_bufr(paths, COLUMNS, {"pressure": slice(None, 20000)}, required_columns=["pressure"], files_per_partition=1)
    parts = [lazy.get_partition(i).compute() for i in range(lazy.npartitions)]
    assert any(len(p) == 0 for p in parts) and any(len(p) > 0 for p in parts)
    assert all(list(p.dtypes) == list(parts[0].dtypes) for p in parts)


def test_no_file_matches():
    with pytest.raises(FileNotFoundError):
        corvena.dask.read_bufr("/nonexistent/dir/*.bufr", COLUMNS)


@pytest.fixture(scope="module")
def large(tmp_path_factory, paths):
    """A file of 600 kB: the files above over and over, between messages
    that carry a whole other message in section 2 (a reader that looked for
    "BUFR" would find it)."""
    inner = pathlib.Path(paths[1]).read_bytes()
    host = message([1001, 1002, 12101], Bits().put(10, 7).put(384, 10).put(28315, 16), section2=inner)
    unit = b"".join(pathlib.Path(p).read_bytes() + host for p in paths)
    path = tmp_path_factory.mktemp("large") / "large.bufr"
    path.write_bytes(unit * (600_000 // len(unit) + 1))
    return str(path)


LARGE_COLUMNS = COLUMNS + ["WMO_station_id", "count"]


@pytest.mark.parametrize(
    "per_part,parts,filters,options,rows",
    [
        (40_000, 15, {}, {"required_columns": False}, 5000),
        ("100kB", 6, {HEIGHT: 2.0}, {"required_columns": ["airTemperature"]}, 300),
        (7_000, 60, {"count": slice(100, None)}, {"required_columns": ["latitude"]}, 300),
    ],
)
def test_a_large_file_is_divided_at_messages(client, large, per_part, parts, filters, options, rows):
    lazy = corvena.dask.read_bufr(large, LARGE_COLUMNS, filters, bytes_per_partition=per_part, **options)
    assert lazy.npartitions >= parts
    got = lazy.compute().reset_index(drop=True)
    # The types and values of one partition for the file, and the rows of
    # reading it whole (the indices of "count" are those of the file).
    whole = corvena.dask.read_bufr(large, LARGE_COLUMNS, filters, files_per_partition=1, **options)
    assert whole.npartitions == 1
    pd.testing.assert_frame_equal(got, whole.compute().reset_index(drop=True))
    eager = corvena.read_bufr(large, LARGE_COLUMNS, filters, **options)
    pd.testing.assert_frame_equal(got, eager, check_dtype=False)
    assert len(eager) > rows


def _damaged_at_half(tmp_path, paths, damage, shift):
    """A file whose middle (rounded down), where a division in two cuts it,
    is `shift` bytes into a damaged message: zeros around the messages put
    it there (the scan passes over them)."""
    before = b"".join(pathlib.Path(p).read_bytes() for p in paths[:3])
    bad = damage(next(corvena.read(paths[1])).data)
    after = bad + b"".join(pathlib.Path(p).read_bytes() for p in paths[3:])
    x = max(len(before), len(after))
    data = before + bytes(x - len(before)) + after + bytes(x + 2 * shift - len(after))
    path = tmp_path / "damaged.bufr"
    path.write_bytes(data)
    return str(path), len(data) - 1


@pytest.mark.parametrize("shift", [0, 1])
@pytest.mark.parametrize(
    "damage",
    [
        lambda m: m[: len(m) // 2],  # truncated
        lambda m: m[:4] + b"\xff\xff\xff" + m[7:],  # claiming 16 MB: runs past the part and the file
        lambda m: m[:-4] + b"7778",  # end marker missing
    ],
    ids=["truncated", "claiming 16 MB", "no end marker"],
)
def test_damage_where_a_file_is_divided(client, tmp_path, paths, damage, shift):
    # Divided in two at the damaged message, or right after it: each
    # policy sees what reading the file whole sees, with its indices.
    path, per_part = _damaged_at_half(tmp_path, paths, damage, shift)
    meta = corvena.read_bufr(path, COLUMNS, required_columns=False, errors="skip").iloc[:0]

    def lazy(errors):
        frame = corvena.dask.read_bufr(path, COLUMNS, required_columns=False, errors=errors, meta=meta,
                                       bytes_per_partition=per_part)
        assert frame.npartitions == 2
        return frame

    seen, eager_seen = [], []
    got = lazy(seen.append).compute(scheduler="sync").reset_index(drop=True)
    eager = corvena.read_bufr(path, COLUMNS, required_columns=False, errors=eager_seen.append)
    pd.testing.assert_frame_equal(got, eager, check_dtype=False)
    assert [str(e) for e in seen] == [str(e) for e in eager_seen] and len(seen) == 1
    assert str(seen[0]).startswith("%s: message 6: " % path)
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        lazy("warn").compute(scheduler="sync")
    assert [str(w.message) for w in warned if w.category is corvena.ReadWarning] == [str(seen[0])]
    with pytest.raises(corvena.ReadError) as caught:
        lazy("raise").compute()
    assert str(caught.value) == str(seen[0])


def test_a_file_changed_once_divided_is_an_error(client, tmp_path, paths):
    path, per_part = _damaged_at_half(tmp_path, paths, lambda m: m, 0)
    lazy = corvena.dask.read_bufr(path, COLUMNS, required_columns=False, bytes_per_partition=per_part)
    data = pathlib.Path(path).read_bytes()
    pathlib.Path(path).write_bytes(data[:1] + data[2:])  # a byte less before the first message
    with pytest.raises(corvena.ReadError, match=r": message 6: no message starts at offset \d+ any more.*has changed"):
        lazy.compute()


@pytest.mark.parametrize(
    "options,error",
    [
        ({"bytes_per_partition": 0}, "at least 1"),
        ({"bytes_per_partition": True}, "at least 1"),
        ({"bytes_per_partition": "1MB", "files_per_partition": 1}, "not both"),
    ],
)
def test_partition_sizes_checked(paths, options, error):
    with pytest.raises(ValueError, match=error):
        corvena.dask.read_bufr(paths, COLUMNS, **options)
