"""corvena.read_bufr: rows of observations in context, against hand-made
messages and against pdbufr on the shared files."""

import io
import math
import os
import shutil
import subprocess
import warnings
import re

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import corvena
import corvena.cli
from bufr_build import Bits, message, table_dir
from conftest import MESSAGES

# --------------------------------------------------------------------------
# A small station-and-levels message with tables of ecCodes keys.

ELEMENTS = [
    # code, key, type, unit, scale, reference, width
    (1001, "blockNumber", "long", "Numeric", 0, 0, 7),
    (1002, "stationNumber", "long", "Numeric", 0, 0, 10),
    (1015, "stationOrSiteName", "string", "CCITT IA5", 0, 0, 32),
    (4001, "year", "long", "a", 0, 0, 12),
    (4002, "month", "long", "mon", 0, 0, 4),
    (4003, "day", "long", "d", 0, 0, 6),
    (4004, "hour", "long", "h", 0, 0, 5),
    (7004, "pressure", "long", "Pa", -1, 0, 14),
    (12101, "airTemperature", "double", "K", 2, 0, 16),
    (31001, "delayedDescriptorReplicationFactor", "long", "Numeric", 0, 0, 8),
]
DESCRIPTORS = [1001, 1002, 1015, 4001, 4002, 4003, 4004, 102000, 31001, 7004, 12101]
MISSING = None
# block, station, name, (y, m, d, h), levels of (pressure Pa, temperature K)
SUBSETS = [
    (10, 33, "AAAA", (2024, 5, 16, 12), [(100000, 290.0), (85000, MISSING), (50000, 250.5)]),
    (10, 37, "BB\0\0", (2024, 5, 16, 13), [(92500, 280.25)]),
    (10, MISSING, MISSING, (2024, 5, 16, 12), []),
]


def _put(bits, value, width, scale=0):
    if value is None:
        return bits.ones(width)
    return bits.put(int(round(value * 10 ** scale)), width)


def _station_message():
    bits = Bits()
    for block, station, name, when, levels in SUBSETS:
        _put(bits, block, 7)
        _put(bits, station, 10)
        bits.ones(32) if name is None else bits.text(name, 32)
        for value, width in zip(when, (12, 4, 6, 5)):
            bits.put(value, width)
        bits.put(len(levels), 8)
        for pressure, temperature in levels:
            _put(bits, pressure, 14, -1)
            _put(bits, temperature, 16, 2)
    return message(DESCRIPTORS, bits, subsets=len(SUBSETS))


@pytest.fixture(scope="module")
def station(tmp_path_factory):
    lines = ["#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"]
    for code, key, kind, unit, scale, reference, width in ELEMENTS:
        lines.append("%06d|%s|%s|%s|%s|%d|%d|%d|x|0|0" % (code, key, kind, key.upper(), unit, scale, reference, width))
    root = tmp_path_factory.mktemp("frame")
    tables = table_dir(str(root / "tables"), raw_elements="\n".join(lines) + "\n")
    path = root / "station.bufr"
    path.write_bytes(_station_message())
    return str(path), tables


def rows(frame):
    """The rows as tuples, NaN and None both read as None."""
    out = []
    for row in frame.itertuples(index=False):
        out.append(tuple(None if (v is None or v is pd.NA or (isinstance(v, float) and math.isnan(v))) else v for v in row))
    return out


NaT = None
STATION_PRESSURE_T = ["stationNumber", "pressure", "airTemperature"]

CASES = [
    # columns, filters, options, expected rows
    (STATION_PRESSURE_T, {}, {}, [(33, 100000, 290.0), (33, 85000, None), (33, 50000, 250.5), (37, 92500, 280.25)]),
    (STATION_PRESSURE_T, {"pressure": 85000}, {}, [(33, 85000, None)]),
    (STATION_PRESSURE_T, {"pressure": [85000, 92500]}, {}, [(33, 85000, None), (37, 92500, 280.25)]),
    (STATION_PRESSURE_T, {"pressure": slice(85000, 100000)}, {}, [(33, 100000, 290.0), (33, 85000, None), (37, 92500, 280.25)]),
    (STATION_PRESSURE_T, {"pressure": slice(None, 60000)}, {}, [(33, 50000, 250.5)]),
    (STATION_PRESSURE_T, {"airTemperature": lambda t: t > 285}, {}, [(33, 100000, 290.0)]),
    (["stationNumber", "airTemperature"], {"stationOrSiteName": "BB"}, {}, [(37, 280.25)]),
    (["stationOrSiteName", "pressure"], {"stationNumber": 33, "pressure": 50000}, {}, [("AAAA", 50000)]),
    (STATION_PRESSURE_T, {}, {"dropna": True}, [(33, 100000, 290.0), (33, 50000, 250.5), (37, 92500, 280.25)]),
    (STATION_PRESSURE_T, {}, {"required_columns": False},
     [(33, 100000, 290.0), (33, 85000, None), (33, 50000, 250.5), (37, 92500, 280.25), (None, None, None)]),
    (["stationNumber", "airTemperature"], {}, {"required_columns": ["stationNumber"]},
     [(33, 290.0), (33, None), (33, 250.5), (37, 280.25), (None, None)]),
    # A filter on a key that is not a column still needs the key.
    (["stationNumber"], {"pressure": slice(0, None)}, {}, [(33,), (33,), (33,), (37,)]),
    (["stationNumber"], {}, {}, [(33,), (37,), (None,)]),
    (["WMO_station_id", "data_datetime", "pressure"], {"pressure": slice(90000, None)}, {},
     [(10033, pd.Timestamp("2024-05-16 12:00"), 100000), (10037, pd.Timestamp("2024-05-16 13:00"), 92500)]),
    (["stationNumber", "typical_datetime"], {"data_datetime": slice(pd.Timestamp("2024-05-16 12:30"), None)}, {},
     [(37, pd.Timestamp("2024-01-02 03:04:05"))]),
    (["WMO_station_id"], {"WMO_station_id": [10037, 10099]}, {}, [(10037,)]),
    # Ranges and numpy arrays of values, as pdbufr takes them.
    (["stationNumber"], {"stationNumber": range(30, 35)}, {}, [(33,)]),
    (["stationNumber"], {"stationNumber": range(1, 3)}, {}, []),
    (["stationNumber", "pressure"], {"pressure": np.array([50000, 92500])}, {}, [(33, 50000), (37, 92500)]),
    (["stationNumber"], {"stationNumber": range(31, 40, 2)}, {}, [(33,), (37,)]),
    (["stationNumber"], {"stationNumber": range(41, 30, -4)}, {}, [(33,), (37,)]),
    (["stationNumber"], {"stationNumber": range(40, 30, -4)}, {}, []),
    (["stationNumber", "airTemperature"], {"airTemperature": [250.5, 280.25, True]}, {}, [(33, 250.5), (37, 280.25)]),
    # Text filters, and a filter on a data key in a column that a row need not hold.
    (["stationOrSiteName"], {"stationOrSiteName": ["AAAA", "BB"]}, {}, [("AAAA",), ("BB",)]),
    (["airTemperature"], {"stationNumber": 37}, {"required_columns": False}, [(280.25,)]),
]


NAN = float("nan")


@pytest.mark.parametrize("parts,expected", [
    # year, month, day, hour, minute, second (None: the row does not hold it)
    ((2024, 2, 29, 12, 30, 15.5), "2024-02-29T12:30:15.500000"),
    ((2000, 2, 29, 0, 0, 0), "2000-02-29T00:00:00"),
    ((2023, 2, 29, 0, 0, 0), None), ((1900, 2, 29, 0, 0, 0), None), ((2023, 4, 31, 0, 0, 0), None),
    ((1969, 12, 31, 24, 0, 0), "1970-01-01T00:00:00"), ((1600, 3, 1, 6, 7, 8), "1600-03-01T06:07:08"),
    ((2024, 5, 16, None, None, None), "2024-05-16T00:00:00"), ((2024, 5, 16, NAN, 0, 0), None),
    ((2024, 5, 16, 1, NAN, NAN), "2024-05-16T01:00:00"), ((2024, 5, 16, 1, 2, None), "2024-05-16T01:02:00"),
    ((NAN, 5, 16, 1, 2, 3), None), ((2024, 13, 1, 0, 0, 0), None), ((2024, 0, 1, 0, 0, 0), None),
    ((2024, 5, 0, 0, 0, 0), None), ((2024, 5, 16, 25, 0, 0), None), ((1e7, 1, 1, 0, 0, 0), None),
    ((4095, 12, 31, 23, 59, 59.999999), "4095-12-31T23:59:59.999999"),
])
def test_data_datetime_of_its_parts(parts, expected):
    from corvena._frame.computed import COMPUTED

    names = ("year", "month", "day", "hour", "minute", "second")
    values = {k: np.array([NAN if v is None else float(v)] * 2) for k, v in zip(names, parts)}
    has = {k: np.array([v is not None] * 2) for k, v in zip(names, parts)}
    out, held = COMPUTED["data_datetime"].function(values, has)
    want = np.datetime64("NaT") if expected is None else np.datetime64(expected, "us")
    assert out.dtype == np.dtype("datetime64[us]")
    assert (np.isnat(out).all() if expected is None else (out == want).all()) and (held == (expected is not None)).all()


@pytest.mark.parametrize("columns,filters,options,expected", CASES)
def test_rows(station, columns, filters, options, expected):
    path, tables = station
    frame = corvena.read_bufr(path, columns, filters, tables=tables, **options)
    assert list(frame.columns) == columns
    assert rows(frame) == expected


def test_schema_is_the_same_with_and_without_rows(station):
    path, tables = station
    columns = ["stationOrSiteName", "pressure", "data_datetime", "WMO_station_id", "airTemperature"]
    full = corvena.read_bufr(path, columns, tables=tables)
    empty = corvena.read_bufr(path, columns, {"pressure": 1}, tables=tables)
    assert len(full) == 4 and len(empty) == 0
    # Elements without decimals are integer columns, missing values and all.
    assert str(full["pressure"].dtype) == "Int64" == str(empty["pressure"].dtype)
    assert full["airTemperature"].dtype == np.float64 and empty["airTemperature"].dtype == np.float64
    assert full["data_datetime"].dtype.kind == "M" and empty["data_datetime"].dtype.kind == "M"
    assert str(full["WMO_station_id"].dtype) == "Int64" == str(empty["WMO_station_id"].dtype)


@pytest.mark.parametrize("kind", ["path", "paths", "bytes", "messages", "message list", "directory", "glob"])
def test_sources(station, kind):
    path, tables = station
    data = open(path, "rb").read()
    folder = os.path.dirname(path)
    source = {
        "path": path,
        "paths": [path, path],
        "bytes": data,
        "messages": corvena.read(path, tables=tables),
        "message list": list(corvena.read(data, tables=tables)) * 2,
        "directory": folder,  # its files: the tables folder is passed over
        "glob": os.path.join(folder, "*.bufr"),
    }[kind]
    frame = corvena.read_bufr(source, STATION_PRESSURE_T, tables=tables)
    expected = CASES[0][3] * (2 if kind in ("paths", "message list") else 1)
    assert rows(frame) == expected
    with pytest.raises(FileNotFoundError, match="no file matches"):
        corvena.read_bufr(os.path.join(folder, "*.nothing"), STATION_PRESSURE_T, tables=tables)


@pytest.mark.parametrize("columns,filters,named", [
    (["stationNumber", "airTemprature"], {}, "'airTemprature' (closest keys: airTemperature)"),
    (["stationNumber"], {"nonexistentKey": 1}, "'nonexistentKey'"),
])
def test_a_key_no_message_holds_is_a_key_error(station, columns, filters, named):
    # Never a silent empty frame for a key that is misspelt or absent.
    path, tables = station
    with pytest.raises(KeyError, match=re.escape(named)):
        corvena.read_bufr(path, columns, filters, tables=tables)


def test_a_slice_step_is_ignored_with_a_warning(station):
    path, tables = station
    with pytest.warns(UserWarning, match="step"):
        frame = corvena.read_bufr(path, STATION_PRESSURE_T, {"pressure": slice(85000, 100000, 5)}, tables=tables,
                                  prefilter_headers=False)
    assert rows(frame) == CASES[3][3]


@pytest.mark.parametrize("order", ["bad first", "bad after good"])
def test_undecodable_message_is_skipped_on_request(station, order):
    path, tables = station
    good = open(path, "rb").read()
    bad = message(DESCRIPTORS, b"\x01", subsets=1)  # section 4 far too short
    # After a good message of the same tables, the bad one is decoded without
    # being read as a Message first: it fails the same way, in its place.
    data, expected = (bad + good, CASES[0][3]) if order == "bad first" else (good + bad + good, CASES[0][3] * 2)
    index = 0 if order == "bad first" else len(list(corvena.read(good, tables=tables)))
    with pytest.raises(corvena.ReadError) as raised:
        corvena.read_bufr(data, STATION_PRESSURE_T, tables=tables)
    with pytest.raises(corvena.ReadError) as by_items:
        list(corvena.read(data, tables=tables))[index].items()
    assert str(raised.value) == str(by_items.value) and raised.value.index == index
    with pytest.warns(corvena.ReadWarning):
        frame = corvena.read_bufr(data, STATION_PRESSURE_T, tables=tables, errors="warn")
    assert rows(frame) == expected


@pytest.mark.parametrize("value", [10 ** 400, slice("a", 5), slice(0, "85000")])
def test_filters_values_cannot_match_name_the_key(station, value):
    path, tables = station
    with pytest.raises(ValueError, match="^filters: pressure: "):
        corvena.read_bufr(path, STATION_PRESSURE_T, filters={"pressure": value}, tables=tables)


@pytest.mark.parametrize("threads", [0, -1, 1.5, True])
def test_threads_must_be_a_positive_count(station, threads):
    path, tables = station
    with pytest.raises(ValueError, match="threads"):
        corvena.read_bufr(path, STATION_PRESSURE_T, tables=tables, threads=threads)


@pytest.mark.parametrize(
    "text,expected",
    [
        ("pressure=85000", ("pressure", 85000.0)),
        ("stationOrSiteName=BB", ("stationOrSiteName", "BB")),
        ("pressure=85000,92500", ("pressure", [85000.0, 92500.0])),
        ("pressure=50000:85000", ("pressure", slice(50000.0, 85000.0))),
        ("pressure=:85000", ("pressure", slice(None, 85000.0))),
    ],
)
def test_parse_filter(text, expected):
    assert corvena.cli.parse_filter(text) == expected


@pytest.mark.parametrize("text", ["pressure", "=3", ""])
def test_parse_filter_rejects(text):
    with pytest.raises(ValueError):
        corvena.cli.parse_filter(text)


def test_write_table_csv_and_parquet(station, tmp_path):
    path, tables = station
    out = io.StringIO()
    count = corvena.cli.write_table([path], "stationNumber,pressure", ["pressure=50000:92500"], out, tables=tables)
    assert count == 3
    assert out.getvalue().splitlines() == ["stationNumber,pressure", "33,85000", "33,50000", "37,92500"]
    pytest.importorskip("pyarrow")
    target = tmp_path / "rows.parquet"
    corvena.cli.write_table([path], ["stationOrSiteName", "airTemperature"], None, str(target), tables=tables)
    back = pd.read_parquet(target)
    assert rows(back) == [("AAAA", 290.0), ("AAAA", None), ("AAAA", 250.5), ("BB", 280.25)]


# --------------------------------------------------------------------------
# The same rows as pdbufr on the shared files.

HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"
SYNOP = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
LEVELS = ["WMO_station_id", "data_datetime", "latitude", "longitude", "pressure", "airTemperature", "dewpointTemperature"]
CHANNEL = "tovsOrAtovsOrAvhrrInstrumentationChannelNumber"

EXAMPLES = [
    # file, columns, filters
    (SYNOP, ["stationNumber", "blockNumber", "latitude", "longitude", "data_datetime", "airTemperature"], {HEIGHT: 2.0}),
    (SYNOP, ["WMO_station_id", "stationOrSiteName", "airTemperature", HEIGHT], {}),
    (SYNOP, ["latitude", "totalSunshine", "timePeriod"], {}),
    ("ISMD01_OKPR.bufr", ["WMO_station_id", "data_datetime", "airTemperature", "dewpointTemperature"], {HEIGHT: slice(1.5, 2.5)}),
    ("IUSK73_AMMC_040000.bufr", LEVELS, {}),
    ("IUSK73_AMMC_182300.bufr", LEVELS, {"pressure": slice(50000, 85000)}),
    ("uegabe.bufr", LEVELS, {}),
    # relativeHumidity twice in a row (013003 then 013009): one element each, one row.
    ("synop_wigos.bufr", ["latitude", "longitude", "relativeHumidity"], {}),
    # WIGOS identifiers, and their filters in pdbufr's string and tuple forms.
    ("synop_wigos.bufr", ["WIGOS_station_id", "latitude", "airTemperature"], {}),
    ("synop_wigos.bufr", ["WIGOS_station_id", "airTemperature"], {"WIGOS_station_id": (0, 705, 0, "1932")}),
    ("synop_wigos.bufr", ["WIGOS_station_id"], {"WIGOS_station_id": ["0-705-0-1931", "0-705-0-1933"]}),
    ("synop_wigos.bufr", ["WIGOS_station_id"], {"WIGOS_station_id": [("0", "705", "0", "1931")]}),
    # Year, month and day without an hour.
    ("contrived.bufr", ["data_datetime", "blockNumber"], {}),
    ("aaen_55.bufr", ["latitude", "longitude", "data_datetime", CHANNEL, "brightnessTemperature"], {}),
    ("aaen_55.bufr", ["latitude", "longitude", "brightnessTemperature"], {CHANNEL: [30, 31, 32]}),
    # Values read through a bitmap (first-order statistics, after 2-24-000 and 2-24-255) are left
    # out; elements after the operator that are not read through it are not.
    ("compress_3.bufr", ["latitude", "longitude", "centre", "firstOrderStatistics"], {}),
    ("ikco_217.bufr", ["latitude", "longitude", "centre"], {}),
    ("aircraft_mrar_compressed.bufr",
     ["aircraftRegistrationNumberOrOtherIdentification", "latitude", "longitude", "data_datetime", "flightLevel", "windDirection", "windSpeed"],
     {"flightLevel": lambda level: level > 5000}),
    # Header keys: alone (a row per subset), beside data keys, and as filters.
    ("ISMD01_OKPR.bufr", ["bufrHeaderCentre", "count", "typical_datetime"], {}),
    ("ISMD01_OKPR.bufr", ["count", "stationNumber", "typicalTime", "typicalDate"], {"count": [2, 4]}),
    ("aaen_55.bufr", ["latitude", "rdbType", "satelliteID", "localLatitude1", "rdbtimeTime"], {"dataSubCategory": 55}),
    # geometry and CRS: the height 0 where a report has none, WGS 84 where no system is given.
    (SYNOP, ["stationNumber", "geometry", "CRS"], {}),
    ("aaen_55.bufr", ["geometry"], {"CRS": "EPSG:4326"}),
]


def same_column(ours, theirs):
    if theirs.dtype.kind == "M" or ours.dtype.kind == "M":
        a = ours.astype("datetime64[us]").to_numpy()
        b = theirs.astype("datetime64[us]").to_numpy()
        return bool(((a == b) | (np.isnat(a) & np.isnat(b))).all())
    if theirs.dtype.kind in "fiu" or ours.dtype.kind in "fiu":
        a = pd.to_numeric(ours, errors="coerce").to_numpy(dtype=float)
        b = pd.to_numeric(theirs, errors="coerce").to_numpy(dtype=float)
        return bool((np.isclose(a, b, rtol=1e-12, atol=0) | (np.isnan(a) & np.isnan(b))).all())
    if any(isinstance(v, list) for v in theirs):  # geometry: [longitude, latitude, height]
        mine = [[v.x, v.y, v.z] if hasattr(v, "x") else v for v in ours]  # points of a GeoDataFrame
        return bool(np.allclose(np.array(mine, dtype=float), np.array(theirs.tolist(), dtype=float),
                                rtol=1e-12, atol=0))
    return [None if pd.isna(v) else v for v in ours] == [None if pd.isna(v) else v for v in theirs]


def test_negative_scales_give_whole_numbers():
    # Scale -5: 4015 is 401500000 Hz exactly (as ecCodes and pdbufr give it),
    # not the 401499999.99999994 that dividing by the double 1e-5 leaves.
    df = corvena.read_bufr(os.path.join(MESSAGES, "IUSK73_AMMC_040000.bufr"), ["radiosondeOperatingFrequency"])
    assert df["radiosondeOperatingFrequency"].tolist() == [401500000] and df.dtypes.iloc[0] == "Int64"


@pytest.mark.parametrize("file,columns,filters", EXAMPLES, ids=lambda v: v if isinstance(v, str) else "")
def test_same_rows_as_pdbufr(file, columns, filters):
    pdbufr = pytest.importorskip("pdbufr")
    path = os.path.join(MESSAGES, file)
    theirs = pdbufr.read_bufr(path, columns=columns, filters=filters)
    ours = corvena.read_bufr(path, columns, filters)
    assert len(ours) > 0
    assert len(ours) == len(theirs)
    for name in columns:
        assert same_column(ours[name].reset_index(drop=True), theirs[name].reset_index(drop=True)), name


# Flat rows: every key of each subset, as pdbufr names them, header first.
FLAT = ["ISMD01_OKPR.bufr", "synop_multi_subset_uncompressed.bufr", "aaen_55.bufr", "tropical_cyclone.bufr",
        "compress_3.bufr", "IUSK73_AMMC_182300.bufr", "uegabe.bufr", "message_structure_diff_2.bufr", "maer_207.bufr"]


def flat_cell(v):
    if v is None or v is pd.NA or (isinstance(v, float) and np.isnan(v)):
        return None
    if isinstance(v, str):  # ecCodes gives a missing text as ""
        return v.rstrip() or None
    return float("%.12g" % v)  # ecCodes multiplies by 10^-scale, the decoder divides by 10^scale


@pytest.mark.parametrize("file,edition", [(f, 4) for f in FLAT] + [("aaen_55.bufr", 3), ("synop_wigos.bufr", 3)])
def test_flat_as_pdbufr(tmp_path, file, edition):
    pdbufr = pytest.importorskip("pdbufr")
    path = os.path.join(MESSAGES, file)
    if edition == 3:
        if shutil.which("bufr_set") is None:
            pytest.skip("needs ecCodes' bufr_set")
        made = str(tmp_path / file)
        subprocess.run(["bufr_set", "-s", "edition=3", path, made], check=True)
        path = made
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = pdbufr.read_bufr(path, reader="flat")
        ours = corvena.read_bufr(path, reader="flat")
    assert list(ours.columns) == list(theirs.columns)
    assert len(ours) == len(theirs) > 0
    for name in theirs.columns:
        assert [flat_cell(v) for v in ours[name]] == [flat_cell(v) for v in theirs[name]], name


def test_flat_modes_and_filters():
    path = os.path.join(MESSAGES, "synop_multi_subset_uncompressed.bufr")
    every = corvena.read_bufr(path, flat=True)
    header = corvena.read_bufr(path, reader="flat", columns="header")
    data = corvena.read_bufr(path, reader="flat", columns="data")
    assert list(every.columns) == list(header.columns) + list(data.columns)
    assert len(header) == 1 and len(data) == len(every) == 12 and data.columns[0] == "subsetNumber"
    # A data filter passes where any rank passes; a computed one reads the first ranks.
    one = corvena.read_bufr(path, reader="flat", filters={"WMO_station_id": 1027})
    assert one["#1#stationNumber"].tolist() == [27]
    ranked = corvena.read_bufr(path, reader="flat", columns="data", filters={"timePeriod": -60})
    assert 0 < len(ranked) < 12
    assert ranked["#14#timePeriod"].tolist() == [-60] * len(ranked) and ranked["#1#timePeriod"].isna().all()
    assert len(corvena.read_bufr(path, reader="flat", required_columns=["noSuchKey"])) == 0
    with pytest.raises(ValueError, match="'header' or 'data'"):
        corvena.read_bufr(path, ["latitude"], reader="flat")
    with pytest.raises(ValueError, match="without a rank"):
        corvena.read_bufr(path, reader="flat", filters={"#1#latitude": 1})
    with pytest.raises(ValueError, match="reader"):
        corvena.read_bufr(path, ["latitude"], reader="wide")


def test_header_filters_choose_messages_before_decoding(monkeypatch):
    from corvena import _ext

    decoded = []
    many = _ext.decode_many
    monkeypatch.setattr(_ext, "decode_many", lambda data, *rest: decoded.extend(data) or many(data, *rest))
    path = os.path.join(MESSAGES, "ISMD01_OKPR.bufr")
    frame = corvena.read_bufr(path, ["count", "stationNumber"], {"count": 3, "typicalHour": slice(0, 23)})
    assert set(frame["count"]) == {3} and len(frame) == 7 and len(decoded) == 1
    decoded.clear()  # header keys alone: nothing to decode
    assert len(corvena.read_bufr(path, ["edition", "numberOfSubsets"])) == 28 and not decoded


@pytest.mark.parametrize("file,columns", [
    # compressed messages of few subsets are joined with each other, texts and missing values included
    ("ISMD01_OKPR.bufr", ["count", "stationOrSiteName", "airTemperature", "pressureReducedToMeanSeaLevel"]),
    (SYNOP, ["stationOrSiteName", "data_datetime", "airTemperature", "totalSunshine"]),
    ("tropical_cyclone.bufr", ["latitude", "longitude", "windSpeedAt10M"]),
])
def test_messages_joined_give_the_rows_of_each_alone(file, columns):
    path = os.path.join(MESSAGES, file)
    whole = corvena.read_bufr(path, columns, required_columns=False)
    alone = [corvena.read_bufr(m, columns, required_columns=False, _check_keys=False) for m in corvena.read(path)]
    alone = pd.concat(alone, ignore_index=True)
    assert len(whole) > 0
    for name in columns:  # count too: a message keeps its place in its file however it is read
        assert [None if pd.isna(v) else v for v in whole[name]] == [None if pd.isna(v) else v for v in alone[name]], name


def test_geometry_makes_a_geodataframe_where_geopandas_is_installed():
    geopandas = pytest.importorskip("geopandas")
    path = os.path.join(MESSAGES, SYNOP)
    frame = corvena.read_bufr(path, ["stationNumber", "geometry", "CRS"], {"stationNumber": [33, 37]})
    assert isinstance(frame, geopandas.GeoDataFrame) and list(frame.columns) == ["stationNumber", "geometry", "CRS"]
    assert frame.crs.to_epsg() == 4326
    point = frame.geometry.iloc[0]
    assert (point.x, point.y, point.z) == (9.5083, 54.82722, 27.0)
    assert len(corvena.read_bufr(path, ["geometry"], {"stationNumber": -1})) == 0
