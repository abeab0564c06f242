"""The temp reader: a row per pressure level of each upper-air sounding
(data category 2), with the station's parameters on every row.

Each ``pressure`` read after the station part starts a level; the upper-air
values read after it, up to the next ``pressure``, belong to that level. The
geopotential is read as geopotential (``z``, m2 s-2) or geopotential height
(``zh``, gpm); `geopotential` says which to give and whether to compute one
from the other (z = zh * 9.80665).
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from . import headers
from .params import (GRAVITY, GROUPS, STATION, STATION_UNITS, Item, Station, Table, Units, check_keys_met,
                     columns_of, data_filters_pass, data_keys_of, reports, header_keys_of, key_tests, missing, passes,
                     stnid_keys_of, _STATION_KEYS)

CATEGORIES = (2,)  # vertical soundings other than satellite
# The upper-air parameters: (name, the keys that give it, unit).
UPPER: Tuple[Tuple[str, Tuple[str, ...], str], ...] = (
    ("pressure", ("pressure",), "Pa"),
    ("z", ("nonCoordinateGeopotential",), "m2 s-2"),
    ("zh", ("nonCoordinateGeopotentialHeight",), "gpm"),
    ("t", ("airTemperature",), "K"),
    ("td", ("dewpointTemperature",), "K"),
    ("wind_speed", ("windSpeed",), "m/s"),
    ("wind_dir", ("windDirection",), "deg"),
)
_PARAM_OF = {key: name for name, keys, _ in UPPER for key in keys}
_UNITS = {name: unit for name, _, unit in UPPER}
GEOPOTENTIAL = {"z": ("z",), "zh": ("zh",), "both": ("z", "zh"), "raw": ("z", "zh")}
TEMP_GROUPS = dict(GROUPS, upper=("upper",), default=STATION + ("upper",))


def read(source: Any, columns: Union[str, Sequence[str]], filters: Optional[Mapping[str, Any]], *,
         stnid_keys: Any, units_system: Optional[str], units: Optional[Mapping[str, str]], units_columns: bool,
         geopotential: str, tables: Any, errors: Any) -> Any:
    if geopotential not in GEOPOTENTIAL:
        raise ValueError("geopotential: one of %s, not %r" % (", ".join(map(repr, GEOPOTENTIAL)), geopotential))
    upper_names = [n for n, _, _ in UPPER if n not in ("z", "zh") or n in GEOPOTENTIAL[geopotential]]
    try:
        names = columns_of(columns, TEMP_GROUPS, STATION, "temp")
    except ValueError as error:
        if isinstance(columns, str) and columns in _UNITS or not isinstance(columns, str) and any(
                c in _UNITS for c in columns):
            raise ValueError("columns: the upper-air parameters come together, as the group 'upper'") from None
        raise error
    stnid = stnid_keys_of(stnid_keys)
    converter = Units(units_system, units, dict(STATION_UNITS, **_UNITS), {})
    param_tests, key_filters = key_tests(filters or {}, set(STATION) | set(_UNITS))
    header_keys = header_keys_of(key_filters)
    header_tests = {k: t for k, t in key_filters.items() if k in headers.KNOWN}
    data_tests = {k: t for k, t in key_filters.items() if k not in headers.KNOWN}
    wanted = set(_PARAM_OF) | set(_STATION_KEYS) | set(stnid) | set(data_keys_of(data_tests))
    levels_wanted = "upper" in names or any(n in _UNITS for n in param_tests)

    station_names = [n for n in names if n in STATION]
    order: List[str] = []
    for name in names:
        if name == "upper":
            for upper in upper_names:
                order.append(upper)
                if units_columns:
                    order.append(upper + "_units")
        else:
            order.append(name)  # pdbufr's temp reader gives the station's units no column

    table = Table()
    met: set = set()
    seen_keys: set = set()
    for header, items, present in reports(source, tables, errors, "temp", CATEGORIES, header_keys, header_tests, wanted,
                                          seen_keys):
        first_level = next((i for i, item in enumerate(items) if item.key == "pressure"), len(items))
        station = Station(items[:first_level], header, ())
        if not data_filters_pass(data_tests, station, items, present, met):
            continue
        base: Dict[str, Any] = {}
        for name in station_names:
            value = station.value(name, stnid)
            unit = STATION_UNITS.get(name, "")
            if unit:
                value, unit = converter.convert(name, value, unit)
            base[name] = value
        if not all(passes(test, [station.value(n, stnid)]) for n, test in param_tests.items() if n in STATION):
            continue
        level_tests = {n: t for n, t in param_tests.items() if n in _UNITS}
        if not levels_wanted:
            table.add(base, {})
            continue
        rows = []
        for level in _levels(items[first_level:], geopotential):
            if not all(passes(test, [level.get(n)]) for n, test in level_tests.items()):
                continue
            row = dict(base)
            integral: Dict[str, bool] = {}
            for name in upper_names:
                if name not in level:
                    row[name] = None
                    continue
                value, unit = converter.convert(name, level[name], level[name + "_units"])
                row[name] = value
                integral[name] = False
                if units_columns:
                    row[name + "_units"] = unit
            rows.append((row, integral))
        if "upper" not in names:  # filtered on levels, one row per station
            if rows:
                table.add(base, {})
            continue
        for row, integral in rows:
            table.add(row, integral)
    check_keys_met(data_tests, met, seen_keys)
    return table.frame(order, text=("stnid",) + (("z", "zh") if geopotential == "raw" else ()), times=("time",))


def _levels(items: List[Item], geopotential: str) -> List[Dict[str, Any]]:
    """The levels of a sounding: per level, its parameters' values and
    units (a later value of a parameter in the level overrides an earlier
    one unless it is missing)."""
    levels: List[Dict[str, Any]] = []
    for item in items:
        name = _PARAM_OF.get(item.key)
        if name is None:
            continue
        if name == "pressure":
            levels.append({})
        elif not levels:
            continue
        level = levels[-1]
        if name not in level or not missing(item.value) or missing(level[name]):
            level[name] = item.value
            level[name + "_units"] = item.unit
    if geopotential != "raw":
        for level in levels:
            z, zh = level.get("z"), level.get("zh")
            if "z" not in level and "zh" in level:
                level["z"], level["z_units"] = (math.nan if missing(zh) else zh * GRAVITY), "m2 s-2"
            if "zh" not in level and "z" in level:
                level["zh"], level["zh_units"] = (math.nan if missing(z) else z / GRAVITY), "gpm"
    return levels
