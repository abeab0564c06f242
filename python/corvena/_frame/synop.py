"""The synop reader: a row per subset of the land and sea surface reports
(data categories 0 and 1), a column per parameter (per period for those with
one)."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from . import headers
from .params import (GROUPS, HEIGHT, PERIOD, STATION, STATION_UNITS, Element, Item, Param, Station, Table, Units,
                     Value, check_keys_met, columns_of, data_filters_pass, data_keys_of, reports,
                     header_keys_of, key_tests, missing, one, passes, period_text, stnid_keys_of, _STATION_KEYS)

CATEGORIES = (0, 1)  # surface data, land and sea


def _wind(name: str, speed: Mapping[str, Element], direction: Mapping[str, Element], period: bool) -> Param:
    elements = dict(speed)
    elements.update(direction)
    return Param(name, (name + "_speed", name + "_dir"), ("m/s", "deg"), elements, period, True)


PARAMS: Dict[str, Param] = {p.name: p for p in (
    one("t2m", "K", {"airTemperature": Element(0), "airTemperatureAt2M": Element(0, 2.0)}, level=True),
    one("rh2m", "%", {"relativeHumidity": Element(0)}, level=True),
    one("td2m", "K", {"dewpointTemperature": Element(0), "dewpointTemperatureAt2M": Element(0, 2.0)}, level=True),
    _wind("wind10m", {"windSpeed": Element(0), "windSpeedAt10M": Element(0, 10.0)},
          {"windDirection": Element(1), "windDirectionAt10M": Element(1, 10.0)}, False),
    _wind("max_wgust", {"maximumWindGustSpeed": Element(0)}, {"maximumWindGustDirection": Element(1)}, True),
    one("present_weather", "", "presentWeather"),
    Param("past_weather", ("past_weather_1", "past_weather_2"), ("", ""),
          {"pastWeather1": Element(0), "pastWeather2": Element(1)}, True, False),
    one("precipitation", "kg m-2", {
        "totalPrecipitationOrTotalWaterEquivalent": Element(0),
        "totalPrecipitationPast1Hour": Element(0, None, "1h"),
        "totalPrecipitationPast3Hours": Element(0, None, "3h"),
        "totalPrecipitationPast6Hours": Element(0, None, "6h"),
        "totalPrecipitationPast12Hours": Element(0, None, "12h"),
        "totalPrecipitationPast24Hours": Element(0, None, "24h")}, period=True, level=True),
    one("min_t2m", "K", {
        "minimumTemperatureAtHeightAndOverPeriodSpecified": Element(0),
        "minimumTemperatureAt2M": Element(0, 2.0),
        "minimumTemperatureAt2MPast12Hours": Element(0, 2.0, "12h"),
        "minimumTemperatureAt2MPast24Hours": Element(0, 2.0, "24h")}, period=True, level=True),
    one("max_t2m", "K", {
        "maximumTemperatureAtHeightAndOverPeriodSpecified": Element(0),
        "maximumTemperatureAt2M": Element(0, 2.0),
        "maximumTemperatureAt2MPast12Hours": Element(0, 2.0, "12h"),
        "maximumTemperatureAt2MPast24Hours": Element(0, 2.0, "24h")}, period=True, level=True),
    one("mslp", "Pa", "pressureReducedToMeanSeaLevel"),
    one("pressure", "Pa", "nonCoordinatePressure"),
    one("cloud_cover", "%", "cloudCoverTotal"),
    one("snow_depth", "m", "totalSnowDepth"),
    one("visibility", "m", "horizontalVisibility"),
    # Not among the default columns.
    one("q2m", "kg/kg", {"specificHumidity": Element(0)}, level=True),
    one("pressure_change", "Pa", {"pressureChange": Element(0), "3HourPressureChange": Element(0, None, "3h"),
                                  "24HourPressureChange": Element(0, None, "24h")}, period=True),
    one("char_pressure_tendency", "", "characteristicOfPressureTendency"),
    one("lw_radiation", "J m-2", "longWaveRadiationIntegratedOverPeriodSpecified", period=True, level=True),
    one("sw_radiation", "J m-2", "shortWaveRadiationIntegratedOverPeriodSpecified", period=True),
    one("net_radiation", "J m-2", "netRadiationIntegratedOverPeriodSpecified", period=True),
    one("global_solar_radiation", "J m-2", "globalSolarRadiationIntegratedOverPeriodSpecified", period=True),
    one("diffuse_solar_radiation", "J m-2", "diffuseSolarRadiationIntegratedOverPeriodSpecified", period=True),
    one("direct_solar_radiation", "J m-2", "directSolarRadiationIntegratedOverPeriodSpecified", period=True),
    one("total_sunshine", "min", "totalSunshine", period=True),
)}
DEFAULT = ("t2m", "rh2m", "td2m", "wind10m", "max_wgust", "present_weather", "past_weather", "precipitation",
           "min_t2m", "max_t2m", "mslp", "pressure", "cloud_cover", "snow_depth", "visibility")
ALIASES = {"total_sunshine_duration": "total_sunshine", "past_weather_1": "past_weather",
           "past_weather_2": "past_weather"}
SYNOP_GROUPS = dict(GROUPS, default=STATION + DEFAULT)
# The parameters of several components can be asked for one component at a time.
COMPONENTS = {c: (p, i) for p in PARAMS.values() if len(p.components) > 1 for i, c in enumerate(p.components)}


def selection(name: str) -> Tuple[Param, Tuple[int, ...]]:
    """The parameter a column name asks for, and which of its components."""
    if name in COMPONENTS:
        param, i = COMPONENTS[name]
        return param, (i,)
    param = PARAMS[name]
    return param, tuple(range(len(param.components)))


_RANK = {p.name: {k: i for i, k in enumerate(p.elements)} for p in PARAMS.values()}


def by_key(params: Sequence[Param]) -> Dict[str, List[Tuple[Param, Element]]]:
    out: Dict[str, List[Tuple[Param, Element]]] = {}
    for param in params:
        for key, element in param.elements.items():
            out.setdefault(key, []).append((param, element))
    return out


def unit_targets(params: Mapping[str, Param]) -> Dict[str, str]:
    """The unit of each parameter component of the "pdbufr" system."""
    out = dict(STATION_UNITS)
    for param in params.values():
        for component, unit in zip(param.components, param.units):
            if unit:
                out[component] = unit
    return out


def groups_of(params: Mapping[str, Param]) -> Dict[str, Tuple[str, ...]]:
    return {p.name: p.components for p in params.values() if len(p.components) > 1}


def read(source: Any, columns: Union[str, Sequence[str]], filters: Optional[Mapping[str, Any]], *,
         stnid_keys: Any, units_system: Optional[str], units: Optional[Mapping[str, str]], units_columns: bool,
         level_columns: bool, tables: Any, errors: Any) -> Any:
    names = columns_of(columns, SYNOP_GROUPS, STATION + tuple(PARAMS) + tuple(COMPONENTS) + tuple(ALIASES),
                       "synop")
    names = list(dict.fromkeys(ALIASES.get(n, n) for n in names))
    stnid = stnid_keys_of(stnid_keys)
    converter = Units(units_system, units, unit_targets(PARAMS), groups_of(PARAMS))
    components = {c: p for p in PARAMS.values() for c in p.components}
    param_tests, key_filters = key_tests(filters or {}, set(STATION) | set(PARAMS) | set(components))
    filtered = [n for n in param_tests if n not in STATION and n not in components]
    # The parameters read: those asked for and those filtered on.
    read_names = [selection(n)[0].name for n in names if n not in STATION] + filtered
    read_params = [PARAMS[n] for n in dict.fromkeys(read_names)]
    for name in param_tests:
        if name in components and components[name] not in read_params:
            read_params.append(components[name])
    keys = by_key(read_params)
    header_keys = header_keys_of(key_filters)
    header_tests = {k: t for k, t in key_filters.items() if k in headers.KNOWN}
    data_tests = {k: t for k, t in key_filters.items() if k not in headers.KNOWN}
    wanted = set(keys) | {HEIGHT, PERIOD} | set(_STATION_KEYS) | set(stnid) | set(data_keys_of(data_tests))

    table = Table()
    periods: Dict[str, Dict[str, None]] = {p.name: {} for p in read_params}  # the periods met, in order
    met: set = set()
    seen_keys: set = set()
    for header, items, present in reports(source, tables, errors, "synop", CATEGORIES, header_keys, header_tests, wanted,
                                          seen_keys):
        station = Station(items, header, ())
        if not data_filters_pass(data_tests, station, items, present, met):
            continue
        found = _found(items, keys)
        row, integral, held = _row(station, found, names, stnid, converter, units_columns, level_columns)
        if not _param_filters_pass(param_tests, station, stnid, found, row):
            continue
        if not held:
            continue
        # New periods in the order of the parameter's keys (the keys
        # read with a timePeriod before those that say their period),
        # then as met.
        for (name, period) in sorted(found, key=lambda k: found[k][-1]):
            periods[name].setdefault(period, None)
        table.add(row, integral)
    check_keys_met(data_tests, met, seen_keys)
    order = _columns(names, periods, units_columns, level_columns)
    order = [c for c in order if any(c in row for row in table.rows)] if table.rows else order
    return table.frame(order, text=("stnid",), times=("time",))


def _found(items: List[Item], keys: Mapping[str, List[Tuple[Param, Element]]]) -> Dict[Tuple[str, str], List[Optional[Value]]]:
    """The values of the parameters in one subset, under (parameter,
    period): the first value of a component that is not missing (a missing
    one where all are)."""
    height: Any = None
    period: Optional[str] = None
    found: Dict[Tuple[str, str], List[Optional[Value]]] = {}
    for item in items:
        if item.key == HEIGHT:
            height = item.value
            continue
        if item.key == PERIOD:
            period = period_text(item.value, item.unit)
            continue
        for param, element in keys.get(item.key, ()):
            if not param.period:
                when = ""
            elif element.period is not None:
                when = element.period
            else:
                when = period if period is not None else ""
            level = element.level if element.level is not None else height
            # The slot holds a value per component, then the rank of the
            # key that opened it.
            slot = found.setdefault((param.name, when), [None] * len(param.components) + [_RANK[param.name][item.key]])
            old = slot[element.component]
            if old is None or (missing(old.value) and not missing(item.value)):
                slot[element.component] = Value(item.value, item.unit, level, item.integral)
    return found


def column_name(component: str, period: str) -> str:
    return component + "_" + period if period else component


def _row(station: Station, found: Mapping[Tuple[str, str], List[Optional[Value]]], names: Sequence[str],
         stnid: Sequence[str], converter: Units, units_columns: bool,
         level_columns: bool) -> Tuple[Dict[str, Any], Dict[str, bool], bool]:
    """One subset's row: its columns' values, which columns hold whole
    numbers, and whether it holds any parameter asked for."""
    row: Dict[str, Any] = {}
    integral: Dict[str, bool] = {}
    held = False
    for name in names:
        if name in STATION:
            if station.station_held(name) or name in ("stnid", "time"):
                value = station.value(name, stnid)
                if name == "stnid" and value is None:
                    continue
                unit = STATION_UNITS.get(name, "")
                value, unit = converter.convert(name, value, unit) if unit else (value, unit)
                row[name] = value
                if units_columns and unit:
                    row[name + "_units"] = unit
                held = True
            continue
        param, chosen = selection(name)
        for (pname, period), slot in found.items():
            if pname != param.name:
                continue
            for i in chosen:
                component, value = param.components[i], slot[i]
                if value is None:
                    continue
                held = True
                column = column_name(component, period)
                v, unit = converter.convert(component, value.value, value.unit)
                row[column] = v
                integral[column] = value.integral and v is value.value
                if units_columns and unit and unit not in ("CODE TABLE", "FLAG TABLE", "Code table", "Flag table"):
                    row[column + "_units"] = unit
                if level_columns and param.level:
                    row[column + "_level"] = value.level
                    integral[column + "_level"] = False
    return row, integral, held


def _param_filters_pass(tests: Mapping[str, Any], station: Station, stnid: Sequence[str],
                        found: Mapping[Tuple[str, str], List[Optional[Value]]], row: Mapping[str, Any]) -> bool:
    for name, test in tests.items():
        if name in STATION:
            values = [station.value(name, stnid)]
        else:
            values = []
            for (pname, _), slot in found.items():
                param = PARAMS[pname]
                for component, value in zip(param.components, slot):
                    if value is not None and (component == name or (pname == name and len(param.components) == 1)):
                        values.append(value.value)
        if not passes(test, [v for v in values if not missing(v)]):
            return False
    return True


def _columns(names: Sequence[str], periods: Mapping[str, Mapping[str, None]], units_columns: bool,
             level_columns: bool) -> List[str]:
    out: List[str] = []
    for name in names:
        if name in STATION:
            out.append(name)
            if units_columns and name in STATION_UNITS:
                out.append(name + "_units")
            continue
        param, chosen = selection(name)
        for period in periods.get(param.name, ()):
            cols = [column_name(param.components[i], period) for i in chosen]
            out.extend(cols)
            if units_columns:
                out.extend(c + "_units" for c in cols)
            if level_columns and param.level:
                out.extend(c + "_level" for c in cols)
    return out
