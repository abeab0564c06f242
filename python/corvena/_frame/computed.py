"""The computed keys: columns made from other keys of the same row.

Each is a (name, parts, function) entry: the keys it is made of (data keys
or header keys) and a function from their columns (values and whether the
row holds each) to its own. A row holds a computed key where its parts give
it a value.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, NamedTuple, Tuple

import numpy as np

from .. import _ext
from . import headers

Columns = Dict[str, np.ndarray]


class Computed(NamedTuple):
    name: str
    parts: Tuple[str, ...]
    function: Callable[[Columns, Columns], Tuple[np.ndarray, np.ndarray]]


def _data_datetime(v: Columns, has: Columns) -> Tuple[np.ndarray, np.ndarray]:
    out = datetimes(*(v[k] for k in ("year", "month", "day", "hour", "minute", "second")),
                    *(has[k] for k in ("hour", "minute", "second")))
    return out, ~np.isnat(out)


def _typical_datetime(v: Columns, has: Columns) -> Tuple[np.ndarray, np.ndarray]:
    parts = [v[k] for k in ("typicalYear", "typicalMonth", "typicalDay", "typicalHour", "typicalMinute",
                            "typicalSecond")]
    every = np.ones(len(parts[0]), dtype=bool)
    out = datetimes(*parts, every, every, every)
    return out, np.ones(len(out), dtype=bool)


def _wmo_station_id(v: Columns, has: Columns) -> Tuple[np.ndarray, np.ndarray]:
    out = v["blockNumber"] * 1000 + v["stationNumber"]
    return out, ~np.isnan(out)


def _wigos_station_id(v: Columns, has: Columns) -> Tuple[np.ndarray, np.ndarray]:
    """"series-issuer-issue-local" per row (None where a part is missing)."""
    series, issuer, issue, local = (v[k] for k in _WIGOS)
    out = np.empty(len(series), dtype=object)
    for i, (s, r, n, c) in enumerate(zip(series.tolist(), issuer.tolist(), issue.tolist(), local.tolist())):
        if c is None or isinstance(c, float) or any(math.isnan(x) for x in (s, r, n)):
            out[i] = None
        else:
            out[i] = "%d-%d-%d-%s" % (s, r, n, c.strip())
    return out, np.array([x is not None for x in out.tolist()], dtype=bool)


def _geometry(v: Columns, has: Columns) -> Tuple[np.ndarray, np.ndarray]:
    """[longitude, latitude, height of the station ground] per row, the
    height 0 where the row has none."""
    lon, lat = v["longitude"], v["latitude"]
    height = np.where(has[_HEIGHT], v[_HEIGHT], 0.0)
    ok = ~(np.isnan(lon) | np.isnan(lat))
    out = np.empty(len(lon), dtype=object)
    out[:] = [[x, y, z] if good else None
              for x, y, z, good in zip(lon.tolist(), lat.tolist(), height.tolist(), ok.tolist())]
    return out, ok


# Code table 0 01 150 (coordinate reference system): missing reads as WGS 84.
_CRS = {0: "EPSG:4326", 1: "EPSG:4258", 2: "EPSG:4269", 3: "EPSG:4314"}


def _crs(v: Columns, has: Columns) -> Tuple[np.ndarray, np.ndarray]:
    code = v["coordinateReferenceSystem"]
    out = np.empty(len(code), dtype=object)
    out[:] = [_CRS.get(int(c), None) if c == c else "EPSG:4326" for c in code.tolist()]
    return out, np.array([x is not None for x in out.tolist()], dtype=bool)


_WIGOS = ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber", "wigosLocalIdentifierCharacter")
_HEIGHT = "heightOfStationGroundAboveMeanSeaLevel"

COMPUTED: Dict[str, Computed] = {
    c.name: c
    for c in (
        Computed("data_datetime", ("year", "month", "day", "hour", "minute", "second"), _data_datetime),
        Computed("typical_datetime", ("typicalYear", "typicalMonth", "typicalDay", "typicalHour", "typicalMinute",
                                      "typicalSecond"), _typical_datetime),
        Computed("WMO_station_id", ("blockNumber", "stationNumber"), _wmo_station_id),
        Computed("WIGOS_station_id", _WIGOS, _wigos_station_id),
        Computed("geometry", ("longitude", "latitude", _HEIGHT), _geometry),
        Computed("CRS", ("coordinateReferenceSystem",), _crs),
    )
}
def split_keys(names: Any) -> Tuple[List[str], List[str]]:
    """The data keys and the header keys that `names` need read, computed
    keys standing for their parts; each once, in order."""
    data: List[str] = []
    header: List[str] = []
    for name in names:
        for part in COMPUTED[name].parts if name in COMPUTED else (name,):
            into = header if part in headers.KNOWN else data
            if part not in into:
                into.append(part)
    return data, header


def wigos_rule(rule: Any) -> Any:
    """A WIGOS_station_id filter with its identifiers as text: one given as a
    string or as a tuple/list of its four parts, or a list of such."""

    def one(v: Any) -> Any:
        if isinstance(v, (tuple, list)) and len(v) == 4 and not isinstance(v[0], (tuple, list)) \
                and not (isinstance(v[0], str) and "-" in v[0]):
            return "%d-%d-%d-%s" % (int(v[0]), int(v[1]), int(v[2]), str(v[3]).strip())
        return v

    single = one(rule)
    if single is not rule or not isinstance(rule, (tuple, list, set, frozenset)):
        return single
    return [one(v) for v in rule]


def datetimes(y: np.ndarray, mo: np.ndarray, d: np.ndarray, h: np.ndarray, mi: np.ndarray, se: np.ndarray,
              has_hour: np.ndarray, has_minute: np.ndarray, has_second: np.ndarray) -> np.ndarray:
    """Times from year .. second arrays: NaT where the year, month or day is
    missing or out of range, or the hour is there but missing; an absent
    hour, and an absent or missing minute or second, count as 0."""
    parts = (y, mo, d, np.where(has_hour, h, 0.0), np.where(has_minute, mi, np.nan), np.where(has_second, se, np.nan))
    out = _ext.datetimes(*(np.ascontiguousarray(p, dtype=np.float64).tobytes() for p in parts))
    return np.frombuffer(bytearray(out), dtype="datetime64[us]")
