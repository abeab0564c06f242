"""The generic reader: the keys asked for, one row per observation."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .._optional import require
from .._ext import Decoded
from .._reader import positive_threads
from . import headers
from .computed import COMPUTED, split_keys, wigos_rule
from .filters import condition, missing, unknown_keys
from .messages import decode
from .plans import KEY_TEXT, Collected, Placed, Plan, message_rows, plan_for
from .sources import handle, messages

BATCH_ITEMS = 1 << 18
# Messages are decoded in chunks of this many, or of about this many bytes.
CHUNK_MESSAGES = 4096
CHUNK_BYTES = 1 << 22
DEFAULT_THREADS = min(os.cpu_count() or 1, 8)


class Request:
    """What a call asks for: its columns and filters, split into data keys
    (followed through the subsets), header keys (one value per message) and
    computed keys (made from either)."""

    def __init__(self, columns: Union[str, Sequence[str]], filters: Optional[Mapping[str, Any]],
                 required_columns: Union[bool, Sequence[str]]) -> None:
        self.columns = [columns] if isinstance(columns, str) else list(dict.fromkeys(columns))
        if not self.columns:
            raise ValueError("columns: name at least one key")
        self.filters = dict(filters or {})
        if required_columns is True:
            self.required = list(self.columns)
        elif required_columns is False or required_columns is None:
            self.required = []
        else:
            required = [required_columns] if isinstance(required_columns, str) else list(required_columns)
            unknown = [k for k in required if k not in self.columns]
            if unknown:
                raise ValueError("required_columns: %s not among the columns" % ", ".join(unknown))
            self.required = required
        self.any_column = required_columns is False or required_columns is None
        self.data_keys, self.header_keys = split_keys(self.columns + list(self.filters))
        if "WIGOS_station_id" in self.filters:
            self.filters["WIGOS_station_id"] = wigos_rule(self.filters["WIGOS_station_id"])
        self.tests = {k: condition(v) for k, v in self.filters.items()}
        # Filters on header keys choose messages before their data are decoded;
        # filters on data keys, and the data keys every row must hold, drop
        # rows as each batch of messages is placed.
        self.header_tests = {k: t for k, t in self.tests.items() if k in headers.KNOWN}
        self.data_tests = {k: t for k, t in self.tests.items() if k in self.data_keys}
        required_data = set() if self.any_column else {k for k in self.required if k in self.data_keys}
        # One byte per data key: whether a row must hold it (rows without are left out as they form).
        self.required_data = bytes(k in required_data for k in self.data_keys)

    def early_keep(self, plan: Plan, placed: Placed) -> Optional[np.ndarray]:
        """Which rows of a batch the filters on data keys keep (None: all of
        them)."""
        if not self.data_tests:
            return None
        keep = np.ones(len(placed.messages), dtype=bool)
        for key in self.data_tests:
            j = plan.index[key]
            present = keep & placed.present[j]
            if placed.kinds[j] == KEY_TEXT:
                values = np.where(present, placed.texts[j], None)
            else:
                values = np.where(present, placed.values[j], np.nan)
            keep &= self.test(key, values, present)
        return keep

    def test(self, key: str, values: np.ndarray, present: np.ndarray) -> np.ndarray:
        """Which rows the filter on `key` keeps; ValueError naming the key
        when its value cannot be compared with the rows' values."""
        try:
            return self.tests[key](values, present)
        except (TypeError, ValueError, OverflowError) as exc:
            raise ValueError("filters: %s: %r cannot be compared with its values (%s)"
                             % (key, self.filters[key], exc)) from None


def read(source: Any, columns: Union[str, Sequence[str]], filters: Optional[Mapping[str, Any]] = None, *,
         required_columns: Union[bool, Sequence[str]] = True, dropna: bool = False, tables: Any = None,
         errors: Any = "raise", threads: Optional[int] = None, check_keys: bool = True) -> Any:
    pd = require("pandas", "dataframe", "corvena.read_bufr")
    request = Request(columns, filters, required_columns)
    plan = plan_for(request.data_keys)
    threads = DEFAULT_THREADS if threads is None else positive_threads(threads)
    collected = Collected(len(plan.keys))
    header_rows: List[Tuple[Any, ...]] = []  # the header values of each message read, by its number
    seen = np.zeros(len(plan.keys), dtype=bool)  # the data keys that the messages hold
    # The tables and descriptors of the first message read, for the keys to
    # suggest (not the message itself, whose values would then live for the
    # whole call).
    sample: List[Tuple[Any, np.ndarray]] = []
    # Messages decoded but not yet placed: many at a time, so that many
    # small messages cost one pass of the row builder.
    pending: List[Any] = []
    numbers: List[int] = []
    size = [0]
    pending_tables: List[Any] = [None]  # the tables of the pending messages

    def flush() -> None:
        if not pending:
            return
        tables = pending_tables[0]
        if not sample:
            first = pending[0]
            sample.append((tables, np.asarray(first.column_codes if first.compressed else first.codes)))
        placed = message_rows(plan, tables, pending, seen, request.required_data)
        if len(placed.messages):
            keep = request.early_keep(plan, placed)
            if keep is not None:
                placed = placed.take(keep)
            collected.add(np.array(numbers, dtype=np.int64), placed)
        pending.clear()
        numbers.clear()
        size[0] = 0

    def chosen() -> Any:
        """The messages the header filters keep, numbered in reading order."""
        if not request.header_keys:
            for number, message in enumerate(messages(source, tables, errors, framed=True)):
                yield number, message
            return
        for message in messages(source, tables, errors):
            values = headers.lookup(message, request.header_keys)
            number = len(header_rows)
            header_rows.append(tuple(values))
            if all(headers.passes(test, k, values[request.header_keys.index(k)])
                   for k, test in request.header_tests.items()):
                yield number, message

    for chunk in _chunks(chosen(), CHUNK_MESSAGES):
        if not plan.keys:  # header keys only: a row per subset, nothing to decode
            for number, message in chunk:
                collected.add_bare(number, message.number_of_subsets)
            continue
        for (number, message), one in zip(chunk, decode([m for _, m in chunk], threads)):
            if one.__class__ is not Decoded:
                handle(one, errors)
                continue
            loaded = message._loaded or message.loaded_tables()
            if pending and (pending_tables[0] is not loaded or size[0] > BATCH_ITEMS):
                flush()
            pending.append(one)
            numbers.append(number)
            pending_tables[0] = loaded
            size[0] += one.items
    flush()
    if sample and check_keys:
        _check_keys_met(request, plan, seen, sample[0])
    return _frame(pd, request, plan, collected, header_rows, dropna)


def _frame(pd: Any, request: Request, plan: Plan, collected: Collected, header_rows: List[Tuple[Any, ...]],
           dropna: bool) -> Any:
    present = collected.all_present()
    n = present.shape[1]
    values: Dict[str, np.ndarray] = {k: collected.column(j) for k, j in plan.index.items()}
    has: Dict[str, np.ndarray] = {k: present[j] for k, j in plan.index.items()}
    whole = {k for k, j in plan.index.items() if collected.kinds[j] == {"whole"}}
    if request.header_keys:
        numbers = collected.message_numbers()
        for i, key in enumerate(request.header_keys):
            per_message = [row[i] for row in header_rows]
            column, held = headers.column(key, per_message)
            values[key], has[key] = column[numbers], held[numbers]
            if column.dtype.kind == "f":
                whole.add(key)
    for name in set(request.columns) | set(request.filters):
        if name in COMPUTED:
            values[name], has[name] = COMPUTED[name].function(values, has)
    whole.add("WMO_station_id")

    keep = np.ones(n, dtype=bool)
    if request.any_column:
        anyof = np.zeros(n, dtype=bool)
        for k in request.columns:
            anyof |= has[k]
        keep &= anyof
    else:
        for k in request.required:
            keep &= has[k]
    for k in request.tests:
        if k not in request.data_tests:  # those passed as the rows were placed
            keep &= request.test(k, values[k], has[k])
    if dropna:
        for k in request.required:
            keep &= ~missing(values[k])

    frame = {}
    for name in request.columns:
        v = values[name][keep]
        frame[name] = integers(pd, v) if name in whole and v.dtype.kind == "f" else v
    return data_frame(pd, frame, int(keep.sum()))


_COLUMN_INDEXES: Dict[Tuple[str, ...], Any] = {}
_COLUMN_INDEXES_KEPT = 64


def data_frame(pd: Any, columns: Dict[str, Any], rows: int) -> Any:
    """``pd.DataFrame(columns)`` for arrays of `rows` values, without its
    cost per call of making the column index from the names: the names of
    each list are made into an index's array once, and each frame gets an
    index of its own over that array (an index's name can be set; its array
    cannot change). Columns of objects are inferred as the constructor
    infers them (text becomes a string column)."""
    names = tuple(columns)
    labels = _COLUMN_INDEXES.get(names)
    if labels is None:
        if len(_COLUMN_INDEXES) >= _COLUMN_INDEXES_KEPT:
            _COLUMN_INDEXES.clear()
        # The index's own values (an object array, or an extension array
        # under pandas' string inference), as _simple_new takes them.
        labels = _COLUMN_INDEXES[names] = pd.Index(list(names))._values
    arrays = list(columns.values())
    infer = any(a.dtype == object for a in arrays)
    try:  # pandas' own constructors from parts it has checked (the labels, once)
        make, index = pd.DataFrame._from_arrays, pd.Index._simple_new(labels)
    except (AttributeError, TypeError):  # a pandas without them
        return pd.DataFrame(columns, copy=False)
    return make(arrays, columns=index, index=pd.RangeIndex(rows), verify_integrity=infer)


def integers(pd: Any, v: np.ndarray) -> Any:
    """Float values of elements without decimals as a nullable Int64 column;
    as they are where an operator gave them decimals or they are too large
    for a double to hold every integer. A negative scale is applied by a
    division in doubles, which can leave a value an ulp or two off its
    integer (401499999.99999994 Hz for 401500000): such a value is that
    integer."""
    gone = np.isnan(v)
    whole = np.where(gone, 0.0, v)
    nearest = np.rint(whole)
    whole = np.where(np.abs(whole - nearest) <= np.abs(nearest) * (4 * np.finfo(np.float64).eps), nearest, whole)
    if len(v) and (not np.array_equal(whole, nearest) or np.abs(whole).max() >= 2.0 ** 53):
        return v
    return pd.arrays.IntegerArray(whole.astype(np.int64), gone)


def _check_keys_met(request: Request, plan: Plan, seen: np.ndarray, sample: Tuple[Any, np.ndarray]) -> None:
    """KeyError for the keys asked for that no message read holds."""
    held = set(np.flatnonzero(seen).tolist())
    unknown = [k for k in dict.fromkeys(request.columns + list(request.filters))
               if k not in COMPUTED and k not in headers.KNOWN and plan.index[k] not in held]
    if not unknown:
        return
    tables, codes = sample
    known = sorted({tables.info(c).key for c in np.unique(codes).tolist() if c < 100000}
                   | set(COMPUTED) | headers.KNOWN)
    raise unknown_keys(unknown, known)


def _chunks(items: Any, count: int, size: int = CHUNK_BYTES) -> Any:
    """Lists of (number, message) of at most `count` messages or about
    `size` bytes: one call of the decoder, on every thread, for each."""
    chunk: List[Any] = []
    held = 0
    for item in items:
        chunk.append(item)
        held += len(item[1].edition4_data)
        if len(chunk) == count or held >= size:
            yield chunk
            chunk = []
            held = 0
    if chunk:
        yield chunk

