"""corvena.dask.read_bufr on a LocalCluster of worker processes: the rows of
corvena.read_bufr, one partition per file (or group), the schema known
before anything is computed."""

import os

import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import corvena
import corvena.dask
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
