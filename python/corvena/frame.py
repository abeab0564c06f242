"""Observations in context as a pandas DataFrame.

``read_bufr(source, columns, filters)`` pulls a few keys out of many messages
into one table, one row per observation::

    import corvena

    df = corvena.read_bufr(
        "synop.bufr",
        columns=["WMO_station_id", "latitude", "longitude", "data_datetime", "airTemperature"],
        filters={"heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform": 2.0},
    )

How rows form. Within each subset the keys asked for (the columns, the keys
the filters name, and the keys a computed column needs) are followed in the
order the subset holds them. A value stays in force for the values after it,
so the station, time, position and vertical coordinate read before a
temperature belong to that temperature's row. When a key comes back, the row
built so far is complete: it is given out, and the key and every key set
after it are dropped before the new value is taken. So a pressure level of a
profile, a channel of a satellite scan, or each sensor height of a station
report makes its own row, with the values in force at that point; and the
last row of a subset is given out at its end. Nothing carries from one subset
to the next. "Comes back" means the same element descriptor: two descriptors
with one key (``timePeriod`` in hours, 004024, and in minutes, 004025) fill
one column, the later one winning, without ending the row. Values that
substitution, statistics or replacement operators attach to earlier elements
through a data present bitmap are not read as those elements' keys.

Header keys. The keys of the message header, by their ecCodes names
(``edition``, ``bufrHeaderCentre``, ``dataSubCategory``, ``typicalDate``,
``numberOfSubsets``, ...), the keys of ECMWF's local section (``rdbType``,
``rdbtimeTime``, ``satelliteID``, ``ident``, ...) and ``count`` (the
message's place in its file, from 1) hold one value per message: every row of
the message has it. Asked for alone, they give a row per subset. Filters on
them choose the messages before their data are decoded.

A row is kept when it holds every column (``required_columns=True``, the
default), the listed ones (a list), or at least one (``False``); "holds"
means the key occurs, its value may be missing (NaN, ``None`` for text).
``dropna=True`` also drops rows whose required values are missing. A filter
keeps the rows whose value of the key (which must occur) passes: a value
(equality), a list, tuple, set, ``range`` or numpy array of values, a
``slice(low, high)`` (both ends included, either may be None; a step is
ignored with a warning) or a callable taking one value and returning true or
false.

Computed columns: ``data_datetime`` (the year, month, day, hour, minute and
second of the data; the hour counts as 0 when absent, minute and second when
absent or missing), ``typical_datetime`` (the typical time of section 1),
``WMO_station_id`` (block number times 1000 plus station number),
``WIGOS_station_id`` ("series-issuer-issue-local"; filtered by that text or
by the tuple of its four parts), ``geometry`` (``[longitude, latitude,
heightOfStationGroundAboveMeanSeaLevel]``, the height 0 where the row has
none) and ``CRS`` (the EPSG name of the coordinate reference system, WGS 84
when absent or missing). Filters apply to them too. A row holds a computed
column only where its parts have values to compute it from.

Numeric columns are float64 (NaN when missing, code and flag figures as
numbers), except the keys whose elements are all whole numbers (counts,
years, codes, station numbers): those are nullable Int64. Character columns
hold ``str`` or ``None``, the two time columns datetime64, so every file
gives the same schema. With geopandas installed, a frame with a ``geometry``
column is a GeoDataFrame.

``reader="flat"`` gives instead a row per subset with every key of the
message, named with its rank (``#1#latitude``); see :func:`read_bufr`.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterable, Mapping, Optional, Sequence, Tuple, Union

from ._frame import flat as _flat, generic as _generic, synop as _synop, temp as _temp
from ._frame.computed import COMPUTED
from ._reader import Message

__all__ = ["read_bufr", "COMPUTED_COLUMNS"]

# The computed columns and the keys each is made of.
COMPUTED_COLUMNS: Dict[str, Tuple[str, ...]] = {name: c.parts for name, c in COMPUTED.items()}

Source = Union[str, "os.PathLike[str]", bytes, Message, Iterable[Any]]
_READERS = ("generic", "flat", "synop", "temp")


def read_bufr(
    source: Source,
    columns: Union[str, Sequence[str]] = (),
    filters: Optional[Mapping[str, Any]] = None,
    *,
    reader: str = "generic",
    required_columns: Union[bool, Sequence[str]] = True,
    dropna: bool = False,
    tables: Any = None,
    errors: Any = "raise",
    threads: Optional[int] = None,
    prefilter_headers: bool = True,
    flat: bool = False,
    stnid_keys: Union[None, str, Sequence[str]] = None,
    units_system: Optional[str] = None,
    units: Optional[Mapping[str, str]] = None,
    units_columns: bool = False,
    level_columns: bool = False,
    geopotential: Optional[str] = None,
    _check_keys: bool = True,
):
    """A pandas DataFrame of the observations of `source`, one row per
    observation, one column per key of `columns` (in that order).

    `source` is a path (a file, a directory: its files in name order, or a
    glob pattern: the files it matches in name order), a URL that fsspec
    opens (a file or a glob pattern; see :func:`corvena.read`), the bytes
    of a file, a :class:`corvena.Message`, or an iterable of any of these
    (many files, or the messages of :func:`corvena.read`). `filters` maps keys to a value, a
    list, tuple, set, ``range`` or numpy array of values, a ``slice`` (ends
    included; a step is ignored with a warning) or a callable.
    A key of `columns` or `filters` that is neither a computed column, nor a
    header key, nor a key that some message read holds raises ``KeyError``
    naming the closest keys. `required_columns` (True, a list of keys, or
    False) and `dropna` choose which rows are kept; see the module text for
    how rows form. `prefilter_headers` is accepted as pdbufr accepts it:
    header filters always choose messages before they are decoded.

    ``reader="flat"`` (or ``flat=True``) gives a row per subset holding every
    key of its message: the header keys, then each data key named with its
    rank among the keys of that name in the subset (``#1#latitude``,
    ``#2#latitude``), without the replication factors and operators.
    `columns` is then "all" (or empty), "header" or "data"; a filter on a key
    passes where any rank of the key passes, a filter on a computed key reads
    its parts' first ranks; `required_columns` as a list keeps the subsets
    that hold those keys.

    ``reader="synop"`` and ``reader="temp"`` read named parameters instead
    of keys, as pdbufr's readers of those names do: synop gives a row per
    surface report (data categories 0 and 1) with ``t2m``, ``wind10m``,
    ``max_wgust``, ``precipitation`` ... (a column per period for those with
    one, such as ``max_wgust_speed_10min``), temp a row per pressure level
    of each sounding (data category 2) with ``pressure``, ``z``, ``t``,
    ``td``, ``wind_speed`` and ``wind_dir``. `columns` names parameters and
    the groups "default", "station", "location", "geometry" (and "upper"
    for temp); `filters` takes parameters and BUFR keys. They alone take
    `stnid_keys` (the keys tried in turn for ``stnid``), `units_system`
    (None: as read, or "pdbufr"), `units` (a unit per parameter, converted
    with pint), `units_columns` (a ``_units`` column per value column),
    synop alone `level_columns` (the sensor height of each value, in a
    ``_level`` column), temp alone `geopotential` ("z", the default, "zh",
    "both" or "raw"); see :mod:`corvena._frame.synop` and
    :mod:`corvena._frame.temp`.

    `tables` and `errors` are those of :func:`corvena.read`; with
    ``errors="skip"`` or ``"warn"`` a message whose data cannot be decoded is
    passed over too. Messages are decoded on `threads` threads (default: one
    per core, at most 8).
    """
    if flat:
        reader = "flat"
    if reader not in _READERS:
        raise ValueError("reader: one of %s, not %r" % (", ".join(map(repr, _READERS)), reader))
    given = {name: value is not None and value is not False for name, value in (
        ("stnid_keys", stnid_keys), ("units_system", units_system), ("units", units),
        ("units_columns", units_columns), ("level_columns", level_columns), ("geopotential", geopotential))}
    given.update(required_columns=required_columns is not True, dropna=bool(dropna))
    allowed = {"synop": {"stnid_keys", "units_system", "units", "units_columns", "level_columns"},
               "temp": {"stnid_keys", "units_system", "units", "units_columns", "geopotential"},
               "flat": {"required_columns"}}.get(reader, {"required_columns", "dropna"})
    wrong = [name for name, is_given in given.items() if is_given and name not in allowed]
    if wrong:
        raise TypeError("read_bufr: %s do%s not apply to reader=%r" % (
            ", ".join(wrong), "es" if len(wrong) == 1 else "", reader))
    if reader == "synop":
        return _synop.read(source, columns, filters, stnid_keys=stnid_keys, units_system=units_system, units=units,
                           units_columns=units_columns, level_columns=level_columns, tables=tables, errors=errors)
    if reader == "temp":
        return _temp.read(source, columns, filters, stnid_keys=stnid_keys, units_system=units_system, units=units,
                          units_columns=units_columns, geopotential="z" if geopotential is None else geopotential,
                          tables=tables, errors=errors)
    if reader == "flat":
        return _flat.read(source, columns, filters, required_columns=required_columns, tables=tables,
                          errors=errors, threads=threads)
    frame = _generic.read(source, columns, filters, required_columns=required_columns, dropna=dropna,
                          tables=tables, errors=errors, threads=threads, check_keys=_check_keys)
    return _geo(frame) if "geometry" in ([columns] if isinstance(columns, str) else columns) else frame


def _geo(frame: Any) -> Any:
    """A GeoDataFrame of `frame`, which has a geometry column, when
    geopandas is installed; the frame as it is otherwise."""
    try:
        import geopandas
    except ImportError:
        return frame
    points = geopandas.points_from_xy(*zip(*[g if g is not None else (float("nan"),) * 3
                                             for g in frame["geometry"]])) if len(frame) else []
    crs = None
    if "CRS" in frame.columns and len(frame) and frame["CRS"].nunique() == 1:
        crs = frame["CRS"].iloc[0]
    frame = frame.assign(geometry=geopandas.GeoSeries(points, index=frame.index))
    return geopandas.GeoDataFrame(frame, geometry="geometry", crs=crs)
