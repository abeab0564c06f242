"""Files by URL through fsspec (memory:// and file://): the messages, rows
and errors of the same files by path, errors naming the URL."""

import importlib.util
import os
import pathlib
import re
import sys

import pytest

import corvena
from conftest import MESSAGES

FILES = ["ISMD01_OKPR.bufr", "IUSK73_AMMC_182300.bufr", "aircraft_mrar_compressed.bufr"]
COLUMNS = ["stationOrSiteName", "latitude", "data_datetime", "pressure", "airTemperature", "count"]


@pytest.fixture(params=["memory", "file"])
def place(request, tmp_path):
    """A folder holding the files and a truncated copy of the first, by path
    and by URL (the truncated one is "cut.bfr", outside the *.bufr glob)."""
    fsspec = pytest.importorskip("fsspec")
    for name in FILES:
        (tmp_path / name).write_bytes(pathlib.Path(MESSAGES, name).read_bytes())
    first = (tmp_path / FILES[0]).read_bytes()
    (tmp_path / "cut.bfr").write_bytes(first[:-500])
    if request.param == "file":
        yield str(tmp_path), "file://" + str(tmp_path)
        return
    memory = fsspec.filesystem("memory")
    root = "/corvena-test/%s" % tmp_path.name
    for path in tmp_path.iterdir():
        memory.pipe(root + "/" + path.name, path.read_bytes())
    yield str(tmp_path), "memory://" + root
    memory.rm(root, recursive=True)


def test_read_by_url(place):
    local, url = place
    for name in FILES:
        by_path = [(m.index, m.data) for m in corvena.read(os.path.join(local, name))]
        messages = list(corvena.read(url + "/" + name))
        assert [(m.index, m.data) for m in messages] == by_path
        assert {m.source for m in messages} == {url + "/" + name}
    seen = []
    assert len(list(corvena.read(url + "/cut.bfr", errors=seen.append))) == 3
    expected = []
    list(corvena.read(os.path.join(local, "cut.bfr"), errors=expected.append))
    assert [str(e) for e in seen] == [str(e).replace(local, url) for e in expected]
    assert str(seen[0]).startswith(url + "/cut.bfr: message 3: ")
    with pytest.raises(FileNotFoundError, match=re.escape(url + "/missing.bufr")):
        corvena.read(url + "/missing.bufr")


def test_read_bufr_by_url(place):
    pd = pytest.importorskip("pandas")
    local, url = place
    by_path = corvena.read_bufr([os.path.join(local, n) for n in sorted(FILES)], COLUMNS, required_columns=False)
    for source in (url + "/*.bufr", [url + "/" + n for n in sorted(FILES)]):
        pd.testing.assert_frame_equal(corvena.read_bufr(source, COLUMNS, required_columns=False), by_path)
    with pytest.raises(FileNotFoundError, match="no file matches.*" + re.escape(url)):
        corvena.read_bufr(url + "/*.grib", COLUMNS)
    with pytest.raises(corvena.ReadError, match=re.escape(url + "/cut.bfr: message 3: ")):
        corvena.read_bufr(url + "/cut.bfr", COLUMNS)


def test_dask_by_url(place):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("dask.dataframe")
    import corvena.dask

    local, url = place
    by_path = corvena.read_bufr([os.path.join(local, n) for n in sorted(FILES)], COLUMNS, required_columns=False)
    # The memory filesystem is the process's own: the scheduler runs here.
    # The aircraft file (21 kB) is divided in two, the others grouped.
    lazy = corvena.dask.read_bufr(url + "/*.bufr", COLUMNS, required_columns=False, bytes_per_partition=12_000)
    assert lazy.npartitions == 3
    got = lazy.compute(scheduler="sync").reset_index(drop=True)
    pd.testing.assert_frame_equal(got, by_path, check_dtype=False)
    with pytest.raises(FileNotFoundError, match=re.escape(url)):
        corvena.dask.read_bufr(url + "/*.grib", COLUMNS)


def test_urls_need_fsspec(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(ImportError, match=r"reading memory://x\.bufr needs fsspec.*pip install 'corvena\[fsspec\]'"):
        corvena.read("memory://x.bufr")
    # Paths are read without it, as are names that only look like URLs.
    path = os.path.join(MESSAGES, FILES[0])
    assert len(list(corvena.read(path))) == 4
    with pytest.raises(FileNotFoundError):
        corvena.read("x://y.bufr")
    if importlib.util.find_spec("pandas"):
        assert len(corvena.read_bufr(path, "latitude")) == 28
