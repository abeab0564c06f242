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

A row is kept when it holds every column (``required_columns=True``, the
default), the listed ones (a list), or at least one (``False``); "holds"
means the key occurs, its value may be missing (NaN, ``None`` for text).
``dropna=True`` also drops rows whose required values are missing. A filter
keeps the rows whose value of the key (which must occur) passes: a value
(equality), a list, tuple or set of values, a ``slice(low, high)`` (both ends
included, either may be None) or a callable taking one value and returning
true or false.

Computed columns: ``data_datetime`` (the year, month, day, hour, minute and
second of the data; the hour counts as 0 when absent, minute and second when
absent or missing), ``typical_datetime`` (the typical time of section 1) and
``WMO_station_id`` (block number times 1000 plus station number). Filters
apply to them too. A row holds a computed column only where its parts have
values to compute it from.

Numeric columns are float64 (NaN when missing, code and flag figures as
numbers), character columns hold ``str`` or ``None``, the two time columns
datetime64 and ``WMO_station_id`` the nullable Int64, so every file gives the
same schema.

The row builder works on arrays: the descriptor code, value and subset
boundaries of each message, decoded by :mod:`corvena.arrays` (on several
threads). Each distinct sequence of asked-for elements in a subset is turned
once into a row plan (which item fills which column of which row), cached
for the process; the subsets of a compressed message share one plan, the
alike subsets of uncompressed messages (joined, many messages at a time) are
grouped, and every plan is placed with numpy: no Python runs per value.
"""

from __future__ import annotations

import difflib
import glob
import math
import os
import threading
import weakref
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Set, Tuple, Union

import numpy as np

from ._reader import Message, ReadError, ReadWarning, positive_threads, read
from . import _ext
from .arrays import BITMAP_VALUE
from ._optional import require
from ._tables import Tables

__all__ = ["read_bufr", "write_table", "parse_filter", "COMPUTED_COLUMNS"]

# The computed columns and the keys each is made of.
COMPUTED_COLUMNS: Dict[str, Tuple[str, ...]] = {
    "data_datetime": ("year", "month", "day", "hour", "minute", "second"),
    "typical_datetime": (),
    "WMO_station_id": ("blockNumber", "stationNumber"),
    "WIGOS_station_id": ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber",
                         "wigosLocalIdentifierCharacter"),
}

_STRING = "string"


# --------------------------------------------------------------------------
# Message access: the one place that knows how a message gives its arrays.


class MessageArrays(NamedTuple):
    """What the row builder needs of one decoded message. Items are counted
    over the whole message, subset after subset."""

    codes: Optional[np.ndarray]  # the descriptor of each item (None when `columns` says it)
    gather: Callable[[np.ndarray], np.ndarray]  # float64 values of items (NaN: missing, or character data)
    starts: np.ndarray  # int64, where each subset starts, then the item count
    text: Callable[[np.ndarray], List[Optional[str]]]  # character values of items
    tables: Any  # corvena LoadedTables: .info(code).key, .tableset
    typical: np.ndarray  # datetime64[us], section 1 typical time of each message (NaT when invalid)
    columns: Optional[np.ndarray] = None  # every subset's descriptors, when all subsets have the same
    firsts: Optional[np.ndarray] = None  # the first item of each message, when several are joined
    # Which items (of `codes`, or of `columns`) were read through a bitmap:
    # statistics, substitutes or replaced values of earlier elements.
    bitmap: Optional[np.ndarray] = None


def message_arrays(message: Message) -> MessageArrays:
    """The arrays of `message` (decoded here)."""
    found = many_message_arrays([message], 1)[0]
    if isinstance(found, ReadError):
        raise found
    return found


def many_message_arrays(messages: Sequence[Message], threads: int) -> List[Union[MessageArrays, ReadError]]:
    """The arrays of each message, decoded on `threads` threads; a message
    that cannot be decoded gives its ReadError in its place."""
    out: List[Union[MessageArrays, ReadError]] = []
    tables = [message.loaded_tables() for message in messages]
    # A message decoded before gives its result again; the others are
    # decoded here, together, and keep their result.
    todo = [i for i, m in enumerate(messages) if m._decoded is None]
    if sum(len(messages[i].edition4_data) for i in todo) < _THREADED_BYTES:
        threads = 1  # starting threads would cost more than they save
    found: List[Any] = [m._decoded for m in messages]
    if todo:
        parts = _ext.decode_many([messages[i].edition4_data for i in todo], [tables[i].tableset for i in todo],
                                 threads)
        for i, part in zip(todo, parts):
            found[i] = part
    for message, loaded, one in zip(messages, tables, found):
        if isinstance(one, str):
            out.append(message._decode_failure(one, loaded))
        else:
            message._decoded = one
            out.append(_from_decoded(message, loaded, message.arrays()))
    return out


def _from_decoded(message: Message, tables: Any, decoded: Any) -> MessageArrays:
    texts = decoded.texts

    def text(positions: np.ndarray) -> List[Optional[str]]:
        out: List[Optional[str]] = []
        for k in decoded.text_index[positions].tolist():
            out.append(None if k < 0 else texts[k].rstrip("\x00"))
        return out

    typical = np.array([_typical(message)])
    if decoded.compressed:

        def gather(positions: np.ndarray) -> np.ndarray:
            return decoded.values.take(positions)  # made (and kept) on first use

        bitmap = (decoded._column_flags & BITMAP_VALUE) != 0
        return MessageArrays(None, gather, decoded.subset_offsets, text, tables, typical, decoded.column_descriptors,
                             None, bitmap)
    values = decoded.values
    bitmap = (decoded.flags & BITMAP_VALUE) != 0
    return MessageArrays(decoded.descriptors, values.take, decoded.subset_offsets, text, tables, typical, None, None,
                         bitmap)


def _typical(message: Message) -> np.datetime64:
    h = message.header
    try:
        import datetime

        return np.datetime64(
            datetime.datetime(h.typical_year, h.typical_month, h.typical_day, h.typical_hour, h.typical_minute, h.typical_second),
            "us",
        )
    except ValueError:
        return np.datetime64("NaT", "us")


# --------------------------------------------------------------------------
# Sources


_SHARED_LOCK = threading.Lock()


def _messages(source: Any, tables: Any, errors: Any) -> Iterable[Message]:
    if isinstance(source, Message):
        yield source
        return
    if isinstance(source, (str, os.PathLike)):
        yield from _path_messages(os.fspath(source), tables, errors)
        return
    if isinstance(source, (bytes, bytearray, memoryview)) or hasattr(source, "read"):
        yield from read(source, tables=tables, errors=errors)
        return
    for item in source:  # paths, byte strings or messages
        yield from _messages(item, tables, errors)


def _path_messages(path: str, tables: Any, errors: Any) -> Iterable[Message]:
    """The messages of a file, of the files of a directory (in name order),
    or of the files a glob pattern matches (in name order)."""
    if os.path.isdir(path):
        names = sorted(os.path.join(path, n) for n in os.listdir(path))
        files = [n for n in names if os.path.isfile(n)]
    elif not os.path.exists(path) and glob.has_magic(path):
        files = sorted(glob.glob(path, recursive=True))
        if not files:
            raise FileNotFoundError("no file matches %r" % path)
    else:
        files = [path]
    for name in files:
        yield from read(name, tables=tables, errors=errors)


def _handle(error: ReadError, errors: Any) -> None:
    if errors == "raise":
        raise error
    if errors == "warn":
        import warnings

        warnings.warn(str(error), ReadWarning, stacklevel=4)
    elif callable(errors):
        errors(error)


# --------------------------------------------------------------------------
# Filters


def _condition(rule: Any) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    """A test over (values, present) arrays for one filter."""
    if isinstance(rule, slice):
        if rule.step is not None:
            import warnings

            warnings.warn("filters: the step of slice %r is ignored" % (rule,), UserWarning, stacklevel=4)
        low, high = rule.start, rule.stop

        def test(v, present):
            ok = present.copy()
            with np.errstate(invalid="ignore"):
                for bound, cmp in ((low, np.greater_equal), (high, np.less_equal)):
                    if bound is not None:
                        ok &= _vectorised(v, lambda a, b=bound, c=cmp: c(a, b))
            return ok

        return test
    if callable(rule):

        def test(v, present):
            return present & _per_value(v, lambda x: bool(rule(x)))

        return test
    if isinstance(rule, np.ndarray):
        rule = rule.tolist()
    if isinstance(rule, (list, tuple, set, frozenset, range)):
        wanted: Any = rule if isinstance(rule, range) else list(rule)

        def test(v, present):
            return present & _per_value(v, lambda x: x in wanted)

        return test

    def test(v, present):
        return present & _vectorised(v, lambda a: a == rule)

    return test


def _vectorised(v: np.ndarray, fn: Callable[[np.ndarray], Any]) -> np.ndarray:
    if v.dtype.kind == "f":
        out = np.asarray(fn(v), dtype=bool)
        return out & ~np.isnan(v)
    return _per_value(v, fn)


def _per_value(v: np.ndarray, fn: Callable[[Any], bool]) -> np.ndarray:
    """`fn` applied once per distinct value present (missing values fail)."""
    if len(v) == 0:
        return np.zeros(0, dtype=bool)
    if v.dtype.kind == "f":
        uniq, inverse = np.unique(v, return_inverse=True)
        results = np.array([(not math.isnan(x)) and bool(fn(float(x))) for x in uniq.tolist()], dtype=bool)
        return results[inverse.reshape(-1)]
    if v.dtype.kind == "M":
        return np.array([not np.isnat(x) and bool(fn(_to_python_time(x))) for x in v], dtype=bool)
    seen: Dict[Any, bool] = {}
    out = np.empty(len(v), dtype=bool)
    for i, x in enumerate(v.tolist()):
        if x is None or (isinstance(x, float) and math.isnan(x)):
            out[i] = False
            continue
        r = seen.get(x)
        if r is None:
            r = seen[x] = bool(fn(x))
        out[i] = r
    return out


def _to_python_time(x: np.datetime64) -> Any:
    import pandas as pd

    return pd.Timestamp(x)


# --------------------------------------------------------------------------
# The row builder


class _Plan:
    """The keys of one request and what is learnt about them while reading:
    the key index of each descriptor under each set of tables, and the row
    plan of each sequence of keys met in a subset."""

    def __init__(self, columns: Sequence[str], filters: Mapping[str, Any]) -> None:
        keys: List[str] = []

        def want(key: str) -> None:
            if key not in keys:
                keys.append(key)

        for c in columns:
            for part in COMPUTED_COLUMNS.get(c, (c,)):
                want(part)
        for f in filters:
            for part in COMPUTED_COLUMNS.get(f, (f,)):
                want(part)
        self.keys = keys
        self.index = {k: i for i, k in enumerate(keys)}
        # Per LoadedTables, held weakly: plans outlive calls (see _PLANS),
        # tables given per call must not live as long as they do.
        self._luts: "weakref.WeakKeyDictionary[Any, Tuple[np.ndarray, np.ndarray]]" = weakref.WeakKeyDictionary()
        self._plans: Dict[bytes, np.ndarray] = {}
        self._elements: Dict[Tuple[int, int], int] = {}  # (descriptor, key index) -> element index
        self.key_of: List[int] = []  # element index -> key index
        self._lock = threading.Lock()

    def lookup(self, tables: Any, codes: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The element index of every code (-1: not asked for) and, per key,
        what these tables hold it as (the _KEY_* kinds). Elements are told
        apart by descriptor: two descriptors of one key (``timePeriod`` in
        hours and in minutes) are two elements that fill the same column."""
        entry = self._luts.get(tables)
        if entry is None:
            # Element descriptors (F = 0) are below 64000; anything above
            # (operators, associated fields) reads as the last entry, -1.
            lut = np.full(_LUT_SIZE, -2, dtype=np.int16)
            lut[-1] = -1
            entry = (lut, np.full(len(self.keys), _KEY_UNSEEN, dtype=np.int8))
            with self._lock:
                entry = self._luts.setdefault(tables, entry)
        lut, kinds = entry
        codes = np.minimum(codes, _LUT_SIZE - 1)
        found = lut[codes]
        fresh = found == -2
        if fresh.any():
            with self._lock:
                for code in np.unique(codes[fresh]).tolist():
                    k = self.index.get(tables.info(code).key, -1)
                    if k < 0:
                        lut[code] = -1
                        continue
                    element = self._elements.setdefault((code, k), len(self._elements))
                    if element == len(self.key_of):
                        self.key_of.append(k)
                    lut[code] = element
                    if _is_text(tables, code):
                        kinds[k] = _KEY_TEXT
                    elif kinds[k] != _KEY_TEXT:
                        whole = tables.info(code).integral and kinds[k] != _KEY_NUMBERS
                        kinds[k] = _KEY_WHOLE if whole else _KEY_NUMBERS
            found = lut[codes]
        return found, kinds

    def rows_of(self, sequence: np.ndarray) -> np.ndarray:
        """The row plan of one subset's sequence of element indexes: for each
        row, the position in the sequence of the value of each key (-1: absent)."""
        token = sequence.tobytes()
        found = self._plans.get(token)
        if found is None:
            found = _plan_rows(sequence.tolist(), self.key_of, len(self.keys))
            with self._lock:
                self._plans[token] = found
        return found


_LUT_SIZE = 1 << 16
# What the descriptors of one key hold, under one set of tables: none met
# yet, character data (if any of them does), whole numbers (every one is an
# element without decimals), other numbers.
_KEY_UNSEEN, _KEY_TEXT, _KEY_WHOLE, _KEY_NUMBERS = 0, 1, 2, 3
_PLANS: Dict[Tuple[str, ...], _Plan] = {}
_PLANS_KEPT = 32


def _plan_for(columns: Sequence[str], filters: Mapping[str, Any]) -> _Plan:
    """The plan of these keys, shared by the calls of one process (so that
    every file of a series reuses what the first one taught it)."""
    fresh = _Plan(columns, filters)
    token = tuple(fresh.keys)
    with _SHARED_LOCK:
        found = _PLANS.get(token)
        if found is None:
            if len(_PLANS) >= _PLANS_KEPT:
                _PLANS.pop(next(iter(_PLANS)))
            found = _PLANS[token] = fresh
        return found


def _is_text(tables: Any, code: int) -> bool:
    try:
        return tables.tableset.get_element(code).element_type == _STRING
    except (KeyError, ValueError, LookupError, AttributeError):
        return False


def _plan_rows(sequence: List[int], key_of: List[int], width: int) -> np.ndarray:
    rows: List[List[int]] = []
    live: Dict[int, int] = {}  # element -> its position in the sequence
    order: List[int] = []  # the live elements, oldest first

    def row() -> List[int]:
        out = [-1] * width
        for element in order:  # a later element of the same key wins
            out[key_of[element]] = live[element]
        return out

    for pos, element in enumerate(sequence):
        if element in live:
            rows.append(row())
            cut = order.index(element)
            for dropped in order[cut:]:
                del live[dropped]
            del order[cut:]
        live[element] = pos
        order.append(element)
    if order:
        rows.append(row())
    return np.array(rows, dtype=np.int64).reshape(len(rows), width)


def _without_bitmap_values(element: np.ndarray, bitmap: Optional[np.ndarray]) -> np.ndarray:
    """`element` with the values read through a bitmap left out: they carry
    the descriptor of the element they refer to, but are a statistic, a
    substitute or a replaced value, not an observation of that key."""
    if bitmap is None or not bitmap.any():
        return element
    element = element.copy()
    element[bitmap] = -1
    return element


def _message_rows(plan: _Plan, arrays: MessageArrays, met: Set[int]) -> Tuple[np.ndarray, np.ndarray]:
    """The item position of each key in each row of one message (-1: absent),
    and the kind of each key; adds the elements the message holds to `met`."""
    width = len(plan.keys)
    none = np.zeros((0, width), dtype=np.int64)
    if arrays.columns is not None:
        # Every subset has the same items: one plan, placed at each subset.
        element, kinds = plan.lookup(arrays.tables, arrays.columns)
        met.update(np.unique(element[element >= 0]).tolist())
        element = _without_bitmap_values(element, arrays.bitmap)
        events = np.flatnonzero(element >= 0)
        rows = plan.rows_of(element[events]) if len(events) else none
        if len(rows) == 0:
            return none, kinds
        column = np.where(rows >= 0, events[np.maximum(rows, 0)], -1)
        at = arrays.starts[:-1, None, None] + column[None, :, :]
        return np.where(column[None, :, :] >= 0, at, -1).reshape(-1, width), kinds

    element, kinds = plan.lookup(arrays.tables, arrays.codes)
    met.update(np.unique(element[element >= 0]).tolist())
    element = _without_bitmap_values(element, arrays.bitmap)
    events = np.flatnonzero(element >= 0)
    if len(events) == 0:
        return none, kinds
    sequence = element[events].astype(np.int16)
    bounds = np.searchsorted(events, arrays.starts)  # first event of each subset
    counts = np.diff(bounds)
    n = len(counts)
    # Subsets alike in their sequence share a plan: group them (as padded
    # rows of one matrix, told apart by a fingerprint), then place each
    # plan at its subsets.
    longest = int(counts.max())
    if longest == 0:
        return none, kinds
    subset_of = np.repeat(np.arange(n), counts)
    place = np.arange(len(events)) - bounds[subset_of]
    padded = np.full((n, longest), -1, dtype=np.int16)
    padded[subset_of, place] = sequence
    if n == 1:
        kind_of = np.zeros(1, dtype=np.int64)
    else:
        # One 64-bit fingerprint per subset sequence; alike fingerprints are
        # checked to be alike sequences before they share a plan.
        weights = np.random.default_rng(len(events)).integers(1, 2**62, size=longest, dtype=np.int64)
        with np.errstate(over="ignore"):
            prints = (padded.astype(np.int64) + 2) @ weights
        _, kind_of = np.unique(prints, return_inverse=True)
        kind_of = kind_of.reshape(-1)
    order = np.argsort(kind_of, kind="stable")
    sorted_kinds = kind_of[order]
    parts = []
    owners = []
    for k in range(int(kind_of.max()) + 1):
        members = order[np.searchsorted(sorted_kinds, k) : np.searchsorted(sorted_kinds, k, side="right")]
        length = int(counts[members[0]])
        if length == 0:
            continue
        if len(members) > 1 and not (padded[members] == padded[members[0]]).all():
            # Two sequences with one fingerprint: place each subset alone.
            for s in members.tolist():
                rows = plan.rows_of(padded[s][: int(counts[s])])
                if len(rows):
                    at = np.where(rows >= 0, events[np.clip(bounds[s] + rows, 0, len(events) - 1)], -1)
                    parts.append(at)
                    owners.append(np.full(len(rows), s))
            continue
        rows = plan.rows_of(padded[members[0]][:length])
        if len(rows) == 0:
            continue
        first = bounds[members][:, None, None] + rows[None, :, :]
        at = np.where(rows[None, :, :] >= 0, events[np.clip(first, 0, len(events) - 1)], -1)
        parts.append(at.reshape(-1, width))
        owners.append(np.repeat(members, len(rows)))
    if not parts:
        return none, kinds
    at = np.concatenate(parts)
    # Back to the order of the subsets (rows of one subset keep theirs).
    return at[np.argsort(np.concatenate(owners), kind="stable")], kinds


_BATCH_ITEMS = 1 << 21
_DEFAULT_THREADS = min(os.cpu_count() or 1, 8)
_THREADED_BYTES = 1 << 18


def _chunks(items: Iterable[Any], size: int) -> Iterable[List[Any]]:
    chunk: List[Any] = []
    for item in items:
        chunk.append(item)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def _joinable(a: MessageArrays, b: MessageArrays) -> bool:
    # Compressed messages are large and cheap to place: they stay alone.
    return a.tables is b.tables and a.columns is None and b.columns is None


def _join(batch: List[MessageArrays]) -> MessageArrays:
    """Several messages as one: items and subsets one after the other."""
    if len(batch) == 1:
        return batch[0]
    batch = list(batch)
    sizes = np.array([int(a.starts[-1]) for a in batch], dtype=np.int64)
    firsts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
    starts = np.concatenate([a.starts[:-1] + f for a, f in zip(batch, firsts)] + [np.array([sizes.sum()])])
    codes = np.concatenate([a.codes for a in batch])

    def gather(positions: np.ndarray) -> np.ndarray:
        values = np.concatenate([a.gather(np.arange(n)) for a, n in zip(batch, sizes.tolist())])
        return values.take(positions)

    def text(positions: np.ndarray) -> List[Optional[str]]:
        which = np.searchsorted(firsts, positions, side="right") - 1
        out: List[Optional[str]] = [None] * len(positions)
        for m in np.unique(which).tolist():
            at = np.flatnonzero(which == m)
            for i, t in zip(at.tolist(), batch[m].text(positions[at] - firsts[m])):
                out[i] = t
        return out

    typical = np.concatenate([a.typical for a in batch])
    bitmap = np.concatenate([a.bitmap for a in batch])
    return MessageArrays(codes, gather, starts, text, batch[0].tables, typical, None, firsts, bitmap)


class _Collected:
    """Rows gathered message by message: one array per key and part."""

    def __init__(self, width: int) -> None:
        self.width = width
        self.numbers: List[List[np.ndarray]] = [[] for _ in range(width)]
        self.kinds: List[set] = [set() for _ in range(width)]
        self.present: List[np.ndarray] = []
        self.typical: List[np.ndarray] = []

    def add(self, arrays: MessageArrays, at: np.ndarray, kinds: np.ndarray) -> None:
        present = at >= 0
        numbers = arrays.gather(np.where(present, at, 0).reshape(-1)).reshape(at.shape)
        numbers[~present] = np.nan
        self.present.append(present)
        if arrays.firsts is None:
            self.typical.append(np.full(len(at), arrays.typical[0], dtype="datetime64[us]"))
        else:
            some_item = at.max(axis=1)
            self.typical.append(arrays.typical[np.searchsorted(arrays.firsts, some_item, side="right") - 1])
        for j in range(self.width):
            if kinds[j] == _KEY_WHOLE:
                self.kinds[j].add("whole")
            elif kinds[j] == _KEY_NUMBERS:
                self.kinds[j].add("number")
            if kinds[j] == _KEY_TEXT:
                col = np.empty(len(at), dtype=object)
                where = np.flatnonzero(present[:, j])
                if len(where):
                    col[where] = arrays.text(at[where, j])
                self.kinds[j].add("text")
                self.numbers[j].append(col)
            else:
                self.numbers[j].append(numbers[:, j])

    def column(self, j: int) -> np.ndarray:
        parts = self.numbers[j]
        if not parts:
            return np.zeros(0, dtype=np.float64)
        if "text" in self.kinds[j]:
            parts = [p if p.dtype == object else _as_objects(p) for p in parts]
            return np.concatenate(parts)
        return np.concatenate(parts)


def _as_objects(v: np.ndarray) -> np.ndarray:
    out = np.empty(len(v), dtype=object)
    out[:] = [None if math.isnan(x) else x for x in v.tolist()]
    return out


def _datetime(parts: Dict[str, np.ndarray], present: Dict[str, np.ndarray]) -> np.ndarray:
    """Times from year .. second arrays: NaT where the year, month or day is
    missing, or the hour is there but missing; an absent hour, and an absent
    or missing minute or second, count as 0."""
    y, mo, d = (parts[k] for k in ("year", "month", "day"))
    h = np.where(present["hour"], parts["hour"], 0.0)
    mi = np.where(present["minute"] & ~np.isnan(parts["minute"]), parts["minute"], 0.0)
    se = np.where(present["second"] & ~np.isnan(parts["second"]), parts["second"], 0.0)
    ok = ~(np.isnan(y) | np.isnan(mo) | np.isnan(d) | np.isnan(h))
    ok &= (mo >= 1) & (mo <= 12) & (d >= 1) & (d <= 31) & (h >= 0) & (h <= 24)
    with np.errstate(invalid="ignore"):
        yi = np.where(ok, y, 1970).astype(np.int64)
        moi = np.where(ok, mo, 1).astype(np.int64)
        di = np.where(ok, d, 1).astype(np.int64)
    leap = (yi % 4 == 0) & ((yi % 100 != 0) | (yi % 400 == 0))
    ok &= di <= _MONTH_DAYS[moi] + (leap & (moi == 2))
    # Days since 1970-01-01 of a proleptic Gregorian date, in whole numbers.
    ya = yi - (moi <= 2)
    era = np.floor_divide(ya, 400)
    yoe = ya - era * 400
    doy = (153 * (moi + np.where(moi > 2, -3, 9)) + 2) // 5 + di - 1
    days = era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468
    with np.errstate(invalid="ignore"):
        micro = np.round((days * 86400.0 + h * 3600.0 + mi * 60.0 + se) * 1e6)
    out = np.where(ok, micro, 0).astype(np.int64).view("datetime64[us]")
    out[~ok] = np.datetime64("NaT")
    return out


_MONTH_DAYS = np.array([0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31], dtype=np.int64)


# --------------------------------------------------------------------------
# The public functions


Source = Union[str, "os.PathLike[str]", bytes, Message, Iterable[Any]]


def read_bufr(
    source: Source,
    columns: Union[str, Sequence[str]],
    filters: Optional[Mapping[str, Any]] = None,
    *,
    required_columns: Union[bool, Sequence[str]] = True,
    dropna: bool = False,
    tables: Any = None,
    errors: Any = "raise",
    threads: Optional[int] = None,
    prefilter_headers: bool = True,
    _check_keys: bool = True,
):
    """A pandas DataFrame of the observations of `source`, one row per
    observation, one column per key of `columns` (in that order).

    `source` is a path (a file, a directory: its files in name order, or a
    glob pattern: the files it matches in name order), the bytes of a file, a
    :class:`corvena.Message`, or an iterable of any of these (many files, or
    the messages of :func:`corvena.read`). `filters` maps keys to a value, a
    list, tuple, set, ``range`` or numpy array of values, a ``slice`` (ends
    included; a step is ignored with a warning) or a callable.
    A key of `columns` or `filters` that is not a computed column and that
    no message read holds raises ``KeyError`` naming the closest keys that
    the messages hold. `prefilter_headers` is accepted as pdbufr accepts it;
    it changes nothing here. `required_columns` (True, a
    list of keys, or False) and `dropna` choose which rows are kept; see the
    module text for how rows form. `tables` and `errors` are those of
    :func:`corvena.read`; with ``errors="skip"`` or ``"warn"`` a message whose
    data cannot be decoded is passed over too. Messages are decoded on
    `threads` threads (default: one per core, at most 8).
    """
    pd = require("pandas", "dataframe", "corvena.read_bufr")

    columns = [columns] if isinstance(columns, str) else list(dict.fromkeys(columns))
    if not columns:
        raise ValueError("columns: name at least one key")
    filters = dict(filters or {})
    if required_columns is True:
        required = list(columns)
    elif required_columns is False or required_columns is None:
        required = []
    else:
        required = [required_columns] if isinstance(required_columns, str) else list(required_columns)
        unknown = [k for k in required if k not in columns]
        if unknown:
            raise ValueError("required_columns: %s not among the columns" % ", ".join(unknown))
    plan = _plan_for(columns, filters)
    if "WIGOS_station_id" in filters:
        filters["WIGOS_station_id"] = _wigos_rule(filters["WIGOS_station_id"])
    conditions = {k: _condition(v) for k, v in filters.items()}
    collected = _Collected(len(plan.keys))
    # Uncompressed messages of the same tables are joined and their rows
    # built at once (many small messages cost one pass, not one each).
    batch: List[MessageArrays] = []
    size = 0

    met: Set[int] = set()  # the elements of the plan that the messages hold
    # The tables and descriptors of the first batch read, for the keys to
    # suggest (not the batch itself, whose values would then live for the
    # whole call).
    sample: List[Tuple[Any, np.ndarray]] = []

    def flush() -> None:
        arrays = _join(batch)
        batch.clear()
        if not sample:
            codes = arrays.codes if arrays.columns is None else arrays.columns
            sample.append((arrays.tables, codes))
        at, kinds = _message_rows(plan, arrays, met)
        if len(at):
            collected.add(arrays, at, kinds)

    threads = _DEFAULT_THREADS if threads is None else positive_threads(threads)
    for chunk in _chunks(_messages(source, tables, errors), 16 * threads):
        for arrays in many_message_arrays(chunk, threads):
            if isinstance(arrays, ReadError):
                _handle(arrays, errors)
                continue
            if batch and (size > _BATCH_ITEMS or not _joinable(batch[0], arrays)):
                flush()
                size = 0
            batch.append(arrays)
            size += int(arrays.starts[-1])
    if batch:
        flush()
    if sample and _check_keys:
        _check_keys_met(plan, met, list(columns) + list(filters), sample[0])

    present = np.concatenate(collected.present) if collected.present else np.zeros((0, len(plan.keys)), dtype=bool)
    n = len(present)
    values = {k: collected.column(j) for k, j in plan.index.items()}
    has = {k: present[:, j] for k, j in plan.index.items()}
    out_values: Dict[str, np.ndarray] = {}
    out_has: Dict[str, np.ndarray] = {}
    for name in set(columns) | set(filters):
        parts = COMPUTED_COLUMNS.get(name)
        if parts is None:
            out_values[name], out_has[name] = values[name], has[name]
        elif name == "typical_datetime":
            out_values[name] = np.concatenate(collected.typical) if collected.typical else np.zeros(0, "datetime64[us]")
            out_has[name] = np.ones(n, dtype=bool)
        elif name == "data_datetime":
            out_values[name] = _datetime(values, has)
            out_has[name] = ~np.isnat(out_values[name])
        elif name == "WIGOS_station_id":
            out_values[name] = _wigos_ids(*(values[k] for k in parts))
            out_has[name] = np.array([x is not None for x in out_values[name].tolist()], dtype=bool)
        else:  # WMO_station_id
            block, station = values["blockNumber"], values["stationNumber"]
            out_values[name] = block * 1000 + station
            out_has[name] = ~np.isnan(out_values[name])

    keep = np.ones(n, dtype=bool)
    if columns and required_columns is not False and required_columns is not None:
        for k in required:
            keep &= out_has[k]
    else:
        anyof = np.zeros(n, dtype=bool)
        for k in columns:
            anyof |= out_has[k]
        keep &= anyof
    for k, test in conditions.items():
        try:
            keep &= test(out_values[k], out_has[k])
        except (TypeError, ValueError, OverflowError) as exc:
            raise ValueError("filters: %s: %r cannot be compared with its values (%s)" % (k, filters[k], exc)) from None
    if dropna:
        for k in required:
            keep &= ~_missing(out_values[k])

    frame = {}
    for name in columns:
        v = out_values[name][keep]
        whole = name == "WMO_station_id" or (name in plan.index and collected.kinds[plan.index[name]] == {"whole"})
        frame[name] = _integers(pd, v) if whole else v
    return pd.DataFrame(frame, copy=False)


def _integers(pd: Any, v: np.ndarray) -> Any:
    """Float values of elements without decimals as a nullable Int64 column;
    as they are where an operator gave them decimals or they are too large
    for a double to hold every integer."""
    missing = np.isnan(v)
    present = v[~missing]
    if len(present) and (np.any(present != np.round(present)) or np.abs(present).max() >= 2.0 ** 53):
        return v
    return pd.arrays.IntegerArray(np.where(missing, 0, v).astype(np.int64), missing)


def _wigos_ids(series: np.ndarray, issuer: np.ndarray, issue: np.ndarray, local: np.ndarray) -> np.ndarray:
    """WIGOS station identifiers, "series-issuer-issue-local", per row (None
    where a part is missing)."""
    out = np.empty(len(series), dtype=object)
    for i, (s, r, n, c) in enumerate(zip(series.tolist(), issuer.tolist(), issue.tolist(), local.tolist())):
        if c is None or isinstance(c, float) or any(math.isnan(x) for x in (s, r, n)):
            out[i] = None
        else:
            out[i] = "%d-%d-%d-%s" % (s, r, n, c.strip())
    return out


def _wigos_rule(rule: Any) -> Any:
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


def _check_keys_met(plan: _Plan, met: Set[int], keys: List[str], sample: Tuple[Any, np.ndarray]) -> None:
    """KeyError for the keys asked for that no message read holds."""
    held = {plan.key_of[e] for e in met}
    unknown = [k for k in dict.fromkeys(keys) if k not in COMPUTED_COLUMNS and plan.index[k] not in held]
    if not unknown:
        return
    tables, codes = sample
    known = sorted({tables.info(c).key for c in np.unique(codes).tolist() if c < 100000} | set(COMPUTED_COLUMNS))
    words = []
    for key in unknown:
        close = difflib.get_close_matches(key, known, n=3, cutoff=0.6)
        words.append("%r (closest keys: %s)" % (key, ", ".join(close)) if close else repr(key))
    raise KeyError("no message read holds the key%s %s" % ("s" if len(unknown) > 1 else "", "; ".join(words)))


def _missing(v: np.ndarray) -> np.ndarray:
    if v.dtype.kind == "f":
        return np.isnan(v)
    if v.dtype.kind == "M":
        return np.isnat(v)
    return np.array([x is None for x in v.tolist()], dtype=bool)


# --------------------------------------------------------------------------
# The command-line tool's table output


def parse_filter(text: str) -> Tuple[str, Any]:
    """A filter from its command-line form: ``key=value``, ``key=v1,v2,...``
    (any of the values) or ``key=low:high`` (a range, ends included, either
    end may be left out). Numbers read as numbers, anything else as text."""
    key, sep, rule = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise ValueError("filter %r: write KEY=VALUE, KEY=V1,V2 or KEY=LOW:HIGH" % text)
    if ":" in rule and "," not in rule:
        low, _, high = rule.partition(":")
        return key, slice(_scalar(low) if low.strip() else None, _scalar(high) if high.strip() else None)
    if "," in rule:
        return key, [_scalar(p) for p in rule.split(",")]
    return key, _scalar(rule)


def _scalar(text: str) -> Any:
    t = text.strip()
    try:
        return float(t)
    except ValueError:
        return t


def write_table(
    sources: Sequence[Any],
    columns: Union[str, Sequence[str]],
    filters: Union[None, Sequence[str], Mapping[str, Any]] = None,
    output: Any = None,
    *,
    format: Optional[str] = None,
    tables: Any = None,
    errors: Any = "raise",
    required_columns: Union[bool, Sequence[str]] = True,
) -> int:
    """Writes the observations of `sources` as CSV (to `output`, a path or a
    text stream, standard output when None) or as Parquet (`format`
    "parquet", or an output path ending in ``.parquet``; needs pyarrow).
    `columns` may be one comma-separated string and `filters` a list of
    command-line filters (see :func:`parse_filter`). Returns the row count."""
    import sys

    if isinstance(columns, str):
        columns = [c.strip() for c in columns.split(",") if c.strip()]
    if filters is None:
        parsed: Dict[str, Any] = {}
    elif isinstance(filters, Mapping):
        parsed = dict(filters)
    else:
        parsed = dict(parse_filter(f) for f in filters)
    frame = read_bufr(list(sources), columns, parsed, required_columns=required_columns, tables=tables, errors=errors)
    if format is None:
        format = "parquet" if isinstance(output, (str, os.PathLike)) and os.fspath(output).endswith(".parquet") else "csv"
    if format == "parquet":
        require("pyarrow", "parquet", "Parquet output")
        if output is None:
            raise ValueError("Parquet output needs a file path")
        frame.to_parquet(output, index=False)
    elif format == "csv":
        frame.to_csv(sys.stdout if output is None else output, index=False)
    else:
        raise ValueError("format: 'csv' or 'parquet', not %r" % (format,))
    return len(frame)
