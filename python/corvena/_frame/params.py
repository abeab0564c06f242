"""What the synop and temp readers share: parameters, the items of a subset,
the station parameters, filters over keys and parameters, units and the
frame.

A parameter names one quantity however a message encodes it: ``t2m`` is
``airTemperatureAt2M``, or ``airTemperature`` read at the sensor height in
force. A parameter has one or more components (``wind10m`` has
``wind10m_speed`` and ``wind10m_dir``), each a column. A parameter with a
period gives a column per period met (``max_wgust_speed_10min``): the last
``timePeriod`` read before the value names it (``nan`` when that period is
missing); a parameter with a level carries the sensor height in force
(``t2m_level``).
"""

from __future__ import annotations

import difflib
import math
import re
import warnings
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .._optional import require
from .._reader import Message, ReadError
from ..arrays import BITMAP_VALUE, TEXT
from . import headers
from .computed import COMPUTED, datetimes, split_keys, wigos_rule
from .filters import condition, unknown_keys
from .sources import handle, messages

HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"
PERIOD = "timePeriod"
GRAVITY = 9.80665  # standard acceleration of gravity, m s-2

# The keys tried in turn for ``stnid``, the first with a value giving it.
STNID_KEYS = ("ident", "WMO_station_id", "WIGOS_station_id", "shipOrMobileLandStationIdentifier", "station_id",
              "icaoLocationIndicator", "stationOrSiteName", "longStationName")
_TIME_KEYS = ("year", "month", "day", "hour", "minute", "second")
_WIGOS_KEYS = COMPUTED["WIGOS_station_id"].parts
_STATION_KEYS = ("latitude", "longitude", "heightOfStationGroundAboveMeanSeaLevel", "heightOfStation",
                 "blockNumber", "stationNumber") + _TIME_KEYS + _WIGOS_KEYS

# The station parameters and their units; the groups of columns.
STATION = ("stnid", "lat", "lon", "elevation", "time")
STATION_UNITS = {"lat": "deg", "lon": "deg", "elevation": "m"}
GROUPS = {"station": STATION, "location": ("lat", "lon"), "geometry": ("lat", "lon", "elevation")}


class Element(NamedTuple):
    """How one key gives a parameter: which component, and the level or
    period the key itself says (``airTemperatureAt2M``: 2 m)."""

    component: int
    level: Optional[float] = None
    period: Optional[str] = None


class Param(NamedTuple):
    name: str
    components: Tuple[str, ...]
    units: Tuple[str, ...]  # the units of the "pdbufr" units system, one per component
    elements: Dict[str, Element]
    period: bool = False
    level: bool = False


def one(name: str, unit: str, keys: Union[str, Mapping[str, Element]], period: bool = False,
        level: bool = False) -> Param:
    """A parameter of one component."""
    elements = {keys: Element(0)} if isinstance(keys, str) else dict(keys)
    return Param(name, (name,), (unit,), elements, period, level)


class Value(NamedTuple):
    """A value read for a parameter's component."""

    value: Any  # float (NaN: missing) or str/None
    unit: str
    level: Any  # the sensor height in force (NaN: missing, None: none read)
    integral: bool


# ---------------------------------------------------------------- subsets


class Item(NamedTuple):
    key: str
    value: Any  # float (NaN: missing), or str/None for character data
    unit: str
    integral: bool


def subset_items(message: Message, wanted: Iterable[str]) -> List[List[Item]]:
    """The items of each subset of `message` whose keys are in `wanted`, in
    order; values read through a bitmap (statistics, substitutes, replaced
    values of earlier elements) are left out."""
    arrays = message.arrays()
    tables = message.loaded_tables()
    wanted = set(wanted)
    codes, inverse = np.unique(arrays.descriptors, return_inverse=True)
    infos = [tables.info(int(c)) if c < 100000 else None for c in codes.tolist()]
    keep = np.array([i is not None and i.key in wanted for i in infos], dtype=bool)
    mask = keep[inverse.reshape(-1)] & ((arrays.flags & BITMAP_VALUE) == 0)
    at = np.flatnonzero(mask)
    bounds = np.searchsorted(at, arrays.subset_offsets).tolist()
    kinds = inverse.reshape(-1)[at].tolist()
    values = arrays.values[at].tolist()
    is_text = ((arrays.flags[at] & TEXT) != 0).tolist()
    texts_at = arrays.text_index[at].tolist()
    texts = arrays.texts
    items: List[Item] = []
    for kind, value, text, k in zip(kinds, values, is_text, texts_at):
        info = infos[kind]
        if text:
            value = texts[k].rstrip("\x00") if k >= 0 else None
        items.append(Item(info.key, value, info.unit, info.integral))
    return [items[a:b] for a, b in zip(bounds, bounds[1:])]


def missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def period_text(value: Any, unit: str) -> str:
    """A period as it goes in a column name: ``10min``, ``6h``, ``nan``."""
    if missing(value):
        return "nan"
    return "%d%s" % (abs(int(value)), unit)


# ---------------------------------------------------------------- station


class Station:
    """The station keys of one subset (their first values) and what the
    message header says."""

    def __init__(self, items: List[Item], header: Mapping[str, Any], keys: Iterable[str]) -> None:
        first: Dict[str, Item] = {}
        for item in items:
            if item.key not in first:
                first[item.key] = item
        self.first = first
        self.header = header
        self.keys = keys

    def get(self, key: str) -> Any:
        if key in self.first:
            return self.first[key].value
        if key in self.header:
            return self.header[key]
        return None

    def held(self, key: str) -> bool:
        return key in self.first or key in self.header

    def stnid(self, keys: Sequence[str]) -> Optional[str]:
        for key in keys:
            if key == "WMO_station_id":
                block, number = self.get("blockNumber"), self.get("stationNumber")
                found: Any = None if missing(block) or missing(number) else "%d" % (block * 1000 + number)
            elif key == "WIGOS_station_id":
                found = self.wigos()
            else:
                found = self.get(key)
                if isinstance(found, float) and not missing(found):
                    found = "%d" % found if found == int(found) else repr(found)
            if isinstance(found, str) and found.strip():
                return found
        return None

    def wigos(self) -> Optional[str]:
        series, issuer, issue, local = (self.get(k) for k in _WIGOS_KEYS)
        if any(missing(v) for v in (series, issuer, issue, local)):
            return None
        return "%d-%d-%d-%s" % (series, issuer, issue, str(local).strip())

    def time(self) -> Any:
        parts = [np.array([_number(self.get(k))], dtype=np.float64) for k in _TIME_KEYS]
        has = [np.array([self.held(k)]) for k in ("hour", "minute", "second")]
        return datetimes(*parts, *has)[0]

    def value(self, name: str, stnid_keys: Sequence[str]) -> Any:
        if name == "stnid":
            return self.stnid(stnid_keys)
        if name == "time":
            return self.time()
        if name == "lat":
            return _number(self.get("latitude"))
        if name == "lon":
            return _number(self.get("longitude"))
        if name == "elevation":
            for key in ("heightOfStationGroundAboveMeanSeaLevel", "heightOfStation"):
                if key in self.first:
                    return _number(self.first[key].value)
            return math.nan
        raise KeyError(name)

    def station_held(self, name: str) -> bool:
        if name in ("stnid", "time"):
            return True
        keys = {"lat": ("latitude",), "lon": ("longitude",),
                "elevation": ("heightOfStationGroundAboveMeanSeaLevel", "heightOfStation")}[name]
        return any(k in self.first for k in keys)

    def key_values(self, key: str, items: List[Item]) -> List[Any]:
        """Every value of a BUFR key in the subset (a header or computed key: its one value)."""
        if key in COMPUTED:
            return [self.computed(key)]
        if key in headers.KNOWN:
            return [self.header.get(key)]
        return [item.value for item in items if item.key == key]

    def computed(self, key: str) -> Any:
        if key == "WMO_station_id":
            block, number = _number(self.get("blockNumber")), _number(self.get("stationNumber"))
            return block * 1000 + number
        if key == "WIGOS_station_id":
            return self.wigos()
        if key == "data_datetime":
            return self.time()
        if key == "typical_datetime":
            h = self.header
            return datetimes(*(np.array([float(h[k])]) for k in ("typicalYear", "typicalMonth", "typicalDay",
                                                                 "typicalHour", "typicalMinute", "typicalSecond")),
                             *(np.ones(1, dtype=bool),) * 3)[0]
        parts = COMPUTED[key].parts
        values: Dict[str, np.ndarray] = {}
        has: Dict[str, np.ndarray] = {}
        for part in parts:
            v = self.get(part)
            if isinstance(v, str) or (v is None and part in headers.TEXT):
                column = np.empty(1, dtype=object)
                column[0] = v
            else:
                column = np.array([_number(v)], dtype=np.float64)
            values[part], has[part] = column, np.array([self.held(part)])
        out, ok = COMPUTED[key].function(values, has)
        return out[0] if ok[0] else None


def _number(value: Any) -> float:
    if value is None or isinstance(value, str):
        return math.nan
    return float(value)


def header_values(message: Message, keys: Sequence[str]) -> Dict[str, Any]:
    if not keys:
        return {}
    return dict(zip(keys, headers.lookup(message, list(keys))))


# ---------------------------------------------------------------- filters


def passes(test: Callable[[np.ndarray, np.ndarray], np.ndarray], values: List[Any]) -> bool:
    """Whether any of `values` passes a filter test."""
    values = [v for v in values if v is not None]
    if not values:
        return False
    if all(isinstance(v, str) for v in values):
        column = np.empty(len(values), dtype=object)
        column[:] = values
    elif all(isinstance(v, np.datetime64) for v in values):
        column = np.array(values, dtype="datetime64[us]")
    else:
        column = np.array([_number(v) for v in values], dtype=np.float64)
    return bool(test(column, np.ones(len(values), dtype=bool)).any())


def key_tests(filters: Mapping[str, Any], param_names: Iterable[str]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """The filters split into tests on parameters (or their columns) and on
    BUFR keys (header keys, computed keys, data keys)."""
    params: Dict[str, Any] = {}
    keys: Dict[str, Any] = {}
    names = set(param_names)
    for key, rule in dict(filters or {}).items():
        if not isinstance(key, str):
            raise TypeError("filters: keys are parameter or BUFR key names, not %r" % (key,))
        if key in names:
            params[key] = condition(rule)
        else:
            keys[key] = condition(wigos_rule(rule) if key == "WIGOS_station_id" else rule)
    return params, keys


def data_keys_of(filters: Iterable[str]) -> List[str]:
    """The data keys the BUFR-key filters need read from the subsets."""
    return split_keys(filters)[0]


def header_keys_of(filters: Iterable[str]) -> List[str]:
    """The header keys to look up: ``ident`` (for ``stnid``) and those the
    filters name, themselves or as parts of a computed key."""
    return list(dict.fromkeys(["ident"] + split_keys(filters)[1]))


def check_keys_met(names: Iterable[str], met: set, available: Iterable[str]) -> None:
    """KeyError for filter keys that no message read holds."""
    unknown = [k for k in names if k not in met and k not in COMPUTED and k not in headers.KNOWN]
    if unknown:
        raise unknown_keys(unknown, available, "filters: ")


# ---------------------------------------------------------------- arguments


def columns_of(columns: Union[str, Sequence[str]], groups: Mapping[str, Sequence[str]],
               known: Sequence[str], reader: str) -> List[str]:
    """The parameters `columns` asks for, the groups expanded, in order."""
    asked = [columns] if isinstance(columns, str) else list(columns or [])
    if not asked:
        asked = ["default"]
    out: List[str] = []
    for name in asked:
        if not isinstance(name, str):
            raise TypeError("columns: parameter names or groups, not %r" % (name,))
        if name in groups:
            parts = groups[name]
        elif name in known:
            parts = (name,)
        else:
            close = difflib.get_close_matches(name, list(known) + list(groups), n=3, cutoff=0.6)
            raise ValueError("columns: %r is no parameter or group of the %s reader%s; its parameters: %s; "
                             "groups: %s" % (name, reader, " (closest: %s)" % ", ".join(close) if close else "",
                                             ", ".join(known), ", ".join(groups)))
        for part in parts:
            if part not in out:
                out.append(part)
    return out


def stnid_keys_of(stnid_keys: Union[None, str, Sequence[str]]) -> Tuple[str, ...]:
    if stnid_keys is None:
        return STNID_KEYS
    keys = (stnid_keys,) if isinstance(stnid_keys, str) else tuple(stnid_keys)
    if not keys or not all(isinstance(k, str) for k in keys):
        raise ValueError("stnid_keys: a key name or a list of key names, not %r" % (stnid_keys,))
    return keys


# ---------------------------------------------------------------- units


class Units:
    """The unit each column is given in: as read (no conversion), the units
    of the "pdbufr" system, or those `units` names per parameter."""

    def __init__(self, units_system: Optional[str], units: Optional[Mapping[str, str]],
                 targets: Mapping[str, str], aliases: Mapping[str, Sequence[str]]) -> None:
        if units_system not in (None, "pdbufr"):
            raise ValueError("units_system: None or 'pdbufr', not %r" % (units_system,))
        wanted: Dict[str, str] = dict(targets) if units_system == "pdbufr" else {}
        for name, unit in dict(units or {}).items():
            if name in aliases:
                raise ValueError("units: %r holds several quantities; name its parts: %s"
                                 % (name, ", ".join(aliases[name])))
            if name not in targets:
                raise ValueError("units: %r is no parameter with units; those are: %s"
                                 % (name, ", ".join(sorted(targets))))
            if not isinstance(unit, str):
                raise TypeError("units: the unit of %r is a text such as 'C' or 'hPa', not %r" % (name, unit))
            wanted[name] = unit
        self.wanted = wanted
        self._registry: Any = None
        self._convert: Dict[Tuple[str, str], Callable[[float], float]] = {}

    def convert(self, name: str, value: Any, unit: str) -> Tuple[Any, str]:
        """`value` (in `unit`) in the unit asked for parameter `name`, with
        that unit."""
        target = self.wanted.get(name)
        if target is None or target == unit or not unit:
            return value, unit
        if missing(value):
            return value, target
        return self.converter(unit, target)(value), target

    def converter(self, source: str, target: str) -> Callable[[float], float]:
        key = (source, target)
        found = self._convert.get(key)
        if found is None:
            if self._registry is None:
                pint = require("pint", "units", "converting units in read_bufr")
                self._registry = pint.UnitRegistry()
            registry = self._registry
            try:
                a, b = registry.Quantity(1.0, pint_unit(source)), registry.Unit(pint_unit(target))
                a.to(b)
            except Exception as exc:  # pint's errors: undefined or incompatible units
                raise ValueError("units: cannot convert %r to %r (%s)" % (source, target, exc)) from None

            def found(v: float, a: Any = pint_unit(source), b: Any = b) -> float:
                return float(registry.Quantity(v, a).to(b).magnitude)

            self._convert[key] = found
        return found


_PINT_NAMES = {"deg": "degree", "%": "percent", "C": "degC", "gpm": "m", "Numeric": "dimensionless",
               "kg/kg": "kg/kg", "a": "year", "d": "day", "mon": "month"}


def pint_unit(unit: str) -> str:
    """A BUFR or pdbufr unit text (``kg m-2``, ``m2 s-2``, ``deg``) as pint reads it."""
    if unit in _PINT_NAMES:
        return _PINT_NAMES[unit]
    words = []
    for word in unit.split():
        word = _PINT_NAMES.get(word, word)
        word = re.sub(r"^([A-Za-z]+)(-?\d+)$", r"\1**\2", word)
        words.append(word)
    return " * ".join(words)


# ---------------------------------------------------------------- the frame


class Table:
    """Rows gathered as dicts of column values, and the columns in order."""

    def __init__(self) -> None:
        self.rows: List[Dict[str, Any]] = []
        self.integral: Dict[str, bool] = {}

    def add(self, row: Dict[str, Any], integral: Mapping[str, bool]) -> None:
        self.rows.append(row)
        for name, whole in integral.items():
            self.integral[name] = self.integral.get(name, True) and whole

    def frame(self, columns: Sequence[str], text: Iterable[str], times: Iterable[str]) -> Any:
        pd = require("pandas", "dataframe", "corvena.read_bufr")
        from .generic import integers

        text, times = set(text), set(times)
        data: Dict[str, Any] = {}
        for name in columns:
            values = [row.get(name) for row in self.rows]
            if name in times:
                data[name] = np.array([np.datetime64("NaT") if v is None else v for v in values],
                                      dtype="datetime64[us]")
            elif name in text or name.endswith("_units") or any(isinstance(v, str) for v in values):
                column = np.empty(len(values), dtype=object)
                column[:] = [None if missing(v) else v for v in values]
                data[name] = column
            else:
                column = np.array([math.nan if v is None else v for v in values], dtype=np.float64)
                data[name] = integers(pd, column) if self.integral.get(name) else column
        return pd.DataFrame(data, columns=list(columns))


def reports(source: Any, tables: Any, errors: Any, reader: str, categories: Sequence[int],
            header_keys: Sequence[str], header_tests: Mapping[str, Any], wanted: Iterable[str],
            seen_keys: set) -> Iterable[Tuple[Dict[str, Any], List[Item], set]]:
    """The subsets of the messages of `source` of the data categories given
    that the header filters keep: each with its message's header keys, its
    items whose keys are in `wanted`, and the keys it holds (added to
    `seen_keys`). A message whose data cannot be decoded is dealt with as
    `errors` says; when messages were read but none is of these categories,
    a warning says so (the frame is then empty)."""
    read = 0
    kept = 0
    for message in messages(source, tables, errors):
        read += 1
        if message.data_category not in categories:
            continue
        kept += 1
        header = header_values(message, header_keys)
        if not all(passes(test, [header.get(k)]) for k, test in header_tests.items()):
            continue
        try:
            message.arrays()
        except ReadError as error:
            handle(error, errors)
            continue
        for items in subset_items(message, wanted):
            present = {item.key for item in items}
            seen_keys |= present
            yield header, items, present
    if read and not kept:
        warnings.warn("reader=%r reads messages of data category %s, and none of the %d message%s read is:"
                      " the frame is empty" % (reader, " or ".join(map(str, categories)), read,
                                               "" if read == 1 else "s"), UserWarning, stacklevel=4)


def data_filters_pass(data_tests: Mapping[str, Any], station: "Station", items: Any, present: set, met: set) -> bool:
    """Whether a report passes the filters on data keys (a key passes where
    any of its values does); adds the keys it holds to `met`."""
    ok = True
    for key, test in data_tests.items():
        met.update(k for k in data_keys_of([key]) if k in present)
        if not passes(test, station.key_values(key, items)):
            ok = False
    return ok
