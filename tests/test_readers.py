"""read_bufr(reader="synop"/"temp") beside pdbufr's readers of those names,
on the shared real files and their edition 3 copies."""

import math
import os
import shutil
import subprocess
import sys
import warnings

import pytest

import corvena
from conftest import MESSAGES as DATA

DWD = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
SYNOP = [DWD, "synop_multi_subset_uncompressed.bufr", "synop_wigos.bufr", "ISMD01_OKPR.bufr"]
TEMP = ["IUSK73_AMMC_040000.bufr", "IUSK73_AMMC_182300.bufr", "uegabe.bufr"]
MISSING_INT = 2147483647

pytestmark = pytest.mark.skipif(not os.path.isdir(DATA), reason="the shared data files are not here")


def _norm(v):
    """A cell as both frames can be compared: missing values (NaN, None,
    ecCodes' missing integer) as None, numbers rounded, text without its
    trailing blanks."""
    import pandas as pd

    if v is None or v is pd.NA or v is pd.NaT or (isinstance(v, float) and math.isnan(v)):
        return None
    if isinstance(v, str):
        return v.rstrip() or None
    if hasattr(v, "year"):
        return pd.Timestamp(v)
    if abs(float(v)) == MISSING_INT:
        return None
    return round(float(v), 6)


def _empty(frame, column):
    return all(_norm(v) is None for v in frame[column])


def same_as_pdbufr(path, **kwargs):
    """corvena's frame against pdbufr's: the same rows, and the same values
    in every column either gives values in. A column that is all missing may
    be on one side only (pdbufr adds one without a period for a parameter
    it does not match); a unit is compared where its value is not missing."""
    pdbufr = pytest.importorskip("pdbufr")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pdbufr's own deprecation warnings
        expected = pdbufr.read_bufr(path, **kwargs)
    got = corvena.read_bufr(path, **kwargs)
    assert len(got) == len(expected)
    mine = [c for c in got.columns if not _empty(got, c)]
    theirs = [c for c in expected.columns if not _empty(expected, c)]
    assert mine == theirs
    for column in theirs:
        a, b = list(expected[column]), list(got[column])
        if column.endswith("_units"):
            held = [_norm(v) is not None for v in got[column[: -len("_units")]]]
            a = [x for x, h in zip(a, held) if h]
            b = [x for x, h in zip(b, held) if h]
        assert [_norm(v) for v in b] == [_norm(v) for v in a], column
    return got


@pytest.fixture(scope="module")
def edition3(tmp_path_factory):
    """Edition 3 copies of the files, made by ecCodes' bufr_set."""
    tool = shutil.which("bufr_set") or os.path.join(os.path.dirname(sys.executable), "bufr_set")
    if not os.path.exists(tool):
        pytest.skip("ecCodes' bufr_set is not installed")
    out = tmp_path_factory.mktemp("edition3")
    for name in SYNOP + TEMP:
        subprocess.run([tool, "-s", "edition=3", os.path.join(DATA, name), str(out / name)], check=True,
                       capture_output=True)
    return out


# Files with no difference from pdbufr but the documented ones.
PLAIN_SYNOP = ["synop_multi_subset_uncompressed.bufr", "ISMD01_OKPR.bufr"]


@pytest.mark.parametrize("edition", [4, 3])
@pytest.mark.parametrize("name", PLAIN_SYNOP + TEMP)
def test_default_columns(name, edition, request):
    pytest.importorskip("pandas")
    folder = DATA if edition == 4 else request.getfixturevalue("edition3")
    reader = "temp" if name in TEMP else "synop"
    same_as_pdbufr(os.path.join(str(folder), name), reader=reader)


@pytest.mark.parametrize("name, kwargs", [
    ("ISMD01_OKPR.bufr", dict(columns="station")),
    ("ISMD01_OKPR.bufr", dict(columns="location")),
    ("ISMD01_OKPR.bufr", dict(columns=["geometry", "mslp"])),
    ("ISMD01_OKPR.bufr", dict(columns=["station", "t2m", "td2m"], level_columns=True, units_columns=True)),
    ("ISMD01_OKPR.bufr", dict(columns=["t2m", "wind10m", "max_wgust", "visibility", "precipitation"],
                              units={"t2m": "C", "max_wgust_speed": "knot", "visibility": "km"},
                              units_columns=True)),
    ("ISMD01_OKPR.bufr", dict(columns=["station", "t2m"],
                              filters={"t2m": slice(273, None), "stationNumber": [423, 487, 518, 603]})),
    ("ISMD01_OKPR.bufr", dict(columns="station", stnid_keys="stationOrSiteName")),
    ("synop_multi_subset_uncompressed.bufr", dict(columns=["station", "wind10m", "precipitation", "max_t2m"],
                                                  units_columns=True, units_system="pdbufr")),
    (DWD, dict(columns=["stnid", "t2m"], filters={"heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform": 10.0})),
    (DWD, dict(columns=["stnid", "t2m"], filters={"airTemperature": slice(280, 285)})),
    (DWD, dict(columns=["stnid", "t2m", "wind10m"], filters={"t2m": slice(280, 285)}, level_columns=True)),
    (DWD, dict(columns=["visibility", "mslp", "max_wgust_speed"], filters={"count": range(1, 4)})),
    (DWD, dict(columns=["station", "past_weather", "cloud_cover", "snow_depth"])),
    ("uegabe.bufr", dict(reader="temp", filters={"t": slice(250, 280)})),
    ("uegabe.bufr", dict(reader="temp", columns="station", filters={"stnid": "10618"})),
    ("uegabe.bufr", dict(reader="temp", columns=["location", "upper"], units={"t": "C"}, units_columns=True,
                         geopotential="zh")),
    ("IUSK73_AMMC_182300.bufr", dict(reader="temp", filters={"pressure": slice(90000, None)}, geopotential="both")),
    ("IUSK73_AMMC_040000.bufr", dict(reader="temp", columns=["upper"], geopotential="raw")),
])
def test_queries(name, kwargs):
    pytest.importorskip("pandas")
    kwargs.setdefault("reader", "synop")
    if kwargs.get("units"):
        pytest.importorskip("pint")
    same_as_pdbufr(os.path.join(DATA, name), **kwargs)


def test_synop_frame():
    """What the rows hold, in the shape pdbufr gives them."""
    pytest.importorskip("pandas")
    df = corvena.read_bufr(os.path.join(DATA, "ISMD01_OKPR.bufr"), reader="synop", level_columns=True)
    assert list(df.columns[:8]) == ["stnid", "lat", "lon", "elevation", "time", "t2m", "t2m_level", "rh2m"]
    first = df.iloc[0]
    assert (first.stnid, first.t2m, first.t2m_level, first.max_wgust_speed_360min) == ("11423", 270.85, 1.95, 12.0)
    assert str(df["time"].dtype) == "datetime64[us]" and str(df["rh2m"].dtype) == "Int64"


@pytest.mark.parametrize("name, kwargs, column, value", [
    # A gust speed reported without its direction (DWD's national
    # template) is read; pdbufr's max_wgust wants both.
    (DWD, dict(columns=["stnid", "max_wgust"], filters={"count": 4}), "max_wgust_speed_10min", 3.3),
    # relativeHumidity twice at one sensor height, the second missing: the
    # reported value stays.
    ("synop_wigos.bufr", dict(columns="rh2m"), "rh2m", 93),
    # Filters on computed keys choose stations.
    (DWD, dict(columns="station", filters={"WMO_station_id": 10037}), "stnid", "10037"),
    ("synop_wigos.bufr", dict(columns="station", filters={"WIGOS_station_id": (0, 705, 0, "1932")}), "stnid",
     "0-705-0-1932"),
    # A missing text is no station id: the next key gives it.
    ("IUSK73_AMMC_182300.bufr", dict(reader="temp", columns="station",
                                     stnid_keys=["shipOrMobileLandStationIdentifier", "WMO_station_id"]),
     "stnid", "94461"),
    # A geopotential computed from the height has the geopotential's unit.
    ("uegabe.bufr", dict(reader="temp", units_columns=True), "z_units", "m2 s-2"),
])
def test_differences_from_pdbufr(name, kwargs, column, value):
    pytest.importorskip("pandas")
    kwargs.setdefault("reader", "synop")
    df = corvena.read_bufr(os.path.join(DATA, name), **kwargs)
    assert df[column].iloc[0] == value


def test_temp_geopotential():
    pytest.importorskip("pandas")
    path = os.path.join(DATA, "uegabe.bufr")
    both = corvena.read_bufr(path, reader="temp", columns="upper", geopotential="both")
    assert both.z.iloc[0] == pytest.approx(163 * 9.80665) and both.zh.iloc[0] == 163
    raw = corvena.read_bufr(path, reader="temp", columns="upper", geopotential="raw")
    assert raw.z.isna().all() and [None if v is None or v != v else v for v in raw.zh[:3]] == [163, None, 823]


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(reader="synop", columns="t"), ValueError, "no parameter or group of the synop reader"),
    (dict(reader="temp", columns=["station", "t"]), ValueError, "as the group 'upper'"),
    (dict(reader="synop", geopotential="z"), TypeError, "geopotential does not apply"),
    (dict(reader="temp", level_columns=True), TypeError, "level_columns does not apply"),
    (dict(reader="generic", columns="airTemperature", units_columns=True), TypeError, "units_columns"),
    (dict(reader="synop", dropna=True), TypeError, "dropna"),
    (dict(reader="flat", dropna=True), TypeError, "dropna does not apply to reader='flat'"),
    (dict(reader="temp", geopotential="zz"), ValueError, "geopotential: one of"),
    (dict(reader="synop", units_system="si"), ValueError, "units_system"),
    (dict(reader="synop", units={"wind10m": "km/h"}), ValueError, "wind10m_speed, wind10m_dir"),
    (dict(reader="synop", units={"t2": "C"}), ValueError, "no parameter with units"),
    (dict(reader="synop", units={"t2m": "hPa"}), ValueError, "cannot convert"),
    (dict(reader="synop", filters={"airTemperatur": 280}), KeyError, "airTemperature"),
    (dict(reader="synop", stnid_keys=[]), ValueError, "stnid_keys"),
])
def test_wrong_arguments(kwargs, error, words):
    pytest.importorskip("pandas")
    if kwargs.get("units", {}).get("t2m"):
        pytest.importorskip("pint")
    with pytest.raises(error, match=words):
        corvena.read_bufr(os.path.join(DATA, "ISMD01_OKPR.bufr"), **kwargs)


def test_units_need_pint(monkeypatch):
    pytest.importorskip("pandas")
    monkeypatch.setitem(sys.modules, "pint", None)
    path = os.path.join(DATA, "ISMD01_OKPR.bufr")
    with pytest.raises(ImportError, match=r"corvena\[units\]"):
        corvena.read_bufr(path, reader="synop", columns="t2m", units={"t2m": "C"})
    # Without a conversion to make, pint is not needed.
    assert len(corvena.read_bufr(path, reader="synop", columns="t2m", units_system="pdbufr")) == 28


@pytest.mark.parametrize("name, reader", [("contrived.bufr", "synop"), ("ISND02_LLBD.bufr", "temp"),
                                          ("uegabe.bufr", "synop")])
def test_no_report_of_the_kind(name, reader):
    """Files without reports of the reader's kind give no rows, with the
    columns asked for, and a warning that says why."""
    pytest.importorskip("pandas")
    with pytest.warns(UserWarning, match="reads messages of data category .* none of the 1 message read"):
        df = corvena.read_bufr(os.path.join(DATA, name), reader=reader, columns="station")
    assert len(df) == 0 and list(df.columns) == ["stnid", "lat", "lon", "elevation", "time"]
