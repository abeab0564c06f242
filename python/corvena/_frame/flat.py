"""The flat reader: a row per subset with every key of its message.

The header keys come first (as :mod:`.headers` names them), then, for
uncompressed messages, ``subsetNumber`` (from 1), then each data item named
``#rank#key``, its rank counted among the items of that key in the subset.
Replication factors and the other data description qualifiers (class 31),
operator items, associated fields and the values read through a bitmap are
left out, as ecCodes does not name them as keys of their own. Subsets with
the same keys in the same order form one block of rows; blocks with new keys
add those columns at the end.
"""

from __future__ import annotations

import warnings
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .._flags import OPERATOR, TEXT
from .._optional import require
from .._reader import ReadError, positive_threads
from . import headers
from .computed import COMPUTED, wigos_rule
from .filters import condition
from .generic import DEFAULT_THREADS, integers
from .messages import decode
from .sources import handle, messages

_MODES = {"all": (True, True), "": (True, True), "header": (True, False), "data": (False, True)}
_CHUNK = 64


class Layout:
    """The keys of one sequence of items: which items become columns, their
    names, and which hold text or whole numbers."""

    __slots__ = ("positions", "names", "text", "whole", "ranks")

    def __init__(self, tables: Any, codes: np.ndarray, flags: np.ndarray) -> None:
        text = (codes >= 205000) & (codes < 206000)  # 2-05-YYY: characters ecCodes names "text"
        keep = ((((flags & OPERATOR) == 0) & (codes < 100000) & (codes // 1000 != 31)) | text)
        positions: List[int] = []
        names: List[str] = []
        whole: List[bool] = []
        self.ranks: Dict[str, List[int]] = {}  # key -> the column of each of its ranks
        for pos in np.flatnonzero(keep).tolist():
            info = tables.info(int(codes[pos]))
            key = "text" if text[pos] else info.key
            if not key:
                continue
            ranks = self.ranks.setdefault(key, [])
            ranks.append(len(names))
            rank = len(ranks)
            positions.append(pos)
            names.append("#%d#%s" % (rank, key))
            whole.append(bool(info.integral))
        self.positions = np.array(positions, dtype=np.int64)
        self.names = names
        self.text = (flags[self.positions] & TEXT) != 0 if len(positions) else np.zeros(0, dtype=bool)
        self.whole = np.array(whole, dtype=bool)


def read(source: Any, columns: Union[str, Sequence[str], None] = "all", filters: Optional[Mapping[str, Any]] = None,
         *, required_columns: Union[bool, Sequence[str]] = True, tables: Any = None, errors: Any = "raise",
         threads: Optional[int] = None) -> Any:
    pd = require("pandas", "dataframe", "corvena.read_bufr")
    mode = "all" if columns is None or (not isinstance(columns, str) and not list(columns)) else columns
    if not isinstance(mode, str) or mode not in _MODES:
        raise ValueError("columns: the flat reader takes 'all', 'header' or 'data', not %r" % (columns,))
    with_header, with_data = _MODES[mode]
    filters = dict(filters or {})
    if "WIGOS_station_id" in filters:
        filters["WIGOS_station_id"] = wigos_rule(filters["WIGOS_station_id"])
    for key in filters:
        if key.startswith("#"):
            raise ValueError("filters: the flat reader takes keys without a rank, not %r" % key)
    tests = {k: condition(v) for k, v in filters.items()}
    header_tests = {k: t for k, t in tests.items() if k in headers.KNOWN}
    required = [] if isinstance(required_columns, bool) or required_columns is None else (
        [required_columns] if isinstance(required_columns, str) else list(required_columns))
    threads = DEFAULT_THREADS if threads is None else positive_threads(threads)
    builder = _Blocks(pd)
    layouts: Dict[Tuple[Any, bytes, bytes], Layout] = {}

    def chosen() -> Any:
        for message in messages(source, tables, errors):
            keys = headers.header_keys(message)
            looked = headers.answers(message, keys)
            if all(headers.passes(t, k, looked.get(k)) for k, t in header_tests.items()):
                yield message, keys, looked

    batch: List[Any] = []
    for item in chosen():
        batch.append(item)
        if len(batch) == _CHUNK * threads:
            _read_batch(batch, threads, errors, with_header, with_data, tests, required, layouts, builder)
            batch = []
    if batch:
        _read_batch(batch, threads, errors, with_header, with_data, tests, required, layouts, builder)
    return builder.frame()


def _read_batch(batch: List[Any], threads: int, errors: Any, with_header: bool, with_data: bool,
                tests: Dict[str, Any], required: List[str], layouts: Dict[Any, Layout], builder: "_Blocks") -> None:
    data_tests = {k: t for k, t in tests.items() if k not in headers.KNOWN}
    if not with_data and not data_tests and not required:
        for _, keys, _ in batch:  # the header alone: a row per message, nothing to decode
            builder.add(tuple(keys), [tuple(keys.values())], None, None, None)
        return
    found = decode([m for m, _, _ in batch], threads)
    for (message, keys, looked), part in zip(batch, found):
        if isinstance(part, ReadError):
            handle(part, errors)
            continue
        arrays = message.arrays()
        tables = message.loaded_tables()
        starts = arrays.subset_offsets
        if arrays.compressed:
            layout = _layout(layouts, tables, arrays.column_descriptors, arrays._column_flags)
            runs = [(layout, np.arange(arrays.subsets))]
        else:
            runs = _runs(layouts, tables, arrays)
        for layout, subsets in runs:
            numbers = arrays.values[starts[subsets][:, None] + layout.positions[None, :]]
            keep = _keep(layout, numbers, arrays, starts[subsets], looked, tests, data_tests, required)
            if not keep.any():
                continue
            subsets = subsets[keep]
            numbers = numbers[keep]
            texts = None
            if layout.text.any():
                texts = _texts(arrays, starts[subsets], layout.positions[layout.text])
            head = tuple(keys) if with_header else ()
            rows = [tuple(keys.values())] * len(subsets) if with_header else [()] * len(subsets)
            subset_numbers = None if arrays.compressed else subsets + 1
            builder.add(head, rows, layout if with_data else None, numbers, texts, subset_numbers)


def _layout(layouts: Dict[Any, Layout], tables: Any, codes: np.ndarray, flags: np.ndarray) -> Layout:
    token = (id(tables), codes.tobytes(), flags.tobytes())
    found = layouts.get(token)
    if found is None:
        found = layouts[token] = Layout(tables, codes, flags)
    return found


def _runs(layouts: Dict[Any, Layout], tables: Any, arrays: Any) -> List[Tuple[Layout, np.ndarray]]:
    """The subsets of an uncompressed message in runs of one layout."""
    starts = arrays.subset_offsets.tolist()
    codes, flags = arrays.descriptors, arrays.flags & (OPERATOR | TEXT)
    out: List[Tuple[Layout, List[int]]] = []
    for s in range(arrays.subsets):
        a, b = starts[s], starts[s + 1]
        layout = _layout(layouts, tables, codes[a:b], flags[a:b])
        if out and out[-1][0] is layout:
            out[-1][1].append(s)
        else:
            out.append((layout, [s]))
    return [(layout, np.array(subsets, dtype=np.int64)) for layout, subsets in out]


def _texts(arrays: Any, firsts: np.ndarray, positions: np.ndarray) -> np.ndarray:
    index = arrays.text_index[firsts[:, None] + positions[None, :]]
    texts = arrays.texts
    out = np.empty(index.shape, dtype=object)
    out[:] = [[None if k < 0 else texts[k].rstrip("\x00") for k in row] for row in index.tolist()]
    return out


def _keep(layout: Layout, numbers: np.ndarray, arrays: Any, firsts: np.ndarray, looked: Dict[str, Any],
          tests: Dict[str, Any], data_tests: Dict[str, Any], required: List[str]) -> np.ndarray:
    """Which subsets of a run pass the data filters and hold the required keys."""
    n = len(numbers)
    keep = np.ones(n, dtype=bool)

    def column(j: int) -> Tuple[np.ndarray, np.ndarray]:
        if layout.text[j]:
            v = _texts(arrays, firsts, layout.positions[j : j + 1])[:, 0]
        else:
            v = numbers[:, j]
        return v, np.ones(n, dtype=bool)

    def first(key: str) -> Tuple[np.ndarray, np.ndarray]:
        if key in headers.KNOWN:
            return headers.column(key, [looked.get(key)] * n)
        ranks = layout.ranks.get(key)
        if not ranks:
            return np.full(n, np.nan), np.zeros(n, dtype=bool)
        return column(ranks[0])

    for key in required:
        if key in COMPUTED:
            parts = {p: first(p) for p in COMPUTED[key].parts}
            keep &= COMPUTED[key].function({p: v for p, (v, _) in parts.items()},
                                           {p: h for p, (_, h) in parts.items()})[1]
        elif key not in headers.KNOWN and key not in layout.ranks:
            keep[:] = False
    for key, test in data_tests.items():
        if key in COMPUTED:
            parts = {p: first(p) for p in COMPUTED[key].parts}
            v, held = COMPUTED[key].function({p: v for p, (v, _) in parts.items()},
                                             {p: h for p, (_, h) in parts.items()})
            keep &= test(v, held)
            continue
        passed = np.zeros(n, dtype=bool)
        for j in layout.ranks.get(key, ()):
            passed |= test(*column(j))
        keep &= passed
    return keep


class _Blocks:
    """Rows gathered block by block (one header layout and data layout
    each), then joined: new columns at the end, with a warning, as pandas
    joins frames of differing columns."""

    def __init__(self, pd: Any) -> None:
        self.pd = pd
        self.frames: List[Any] = []
        self.open: Optional[Tuple[Any, ...]] = None
        self.parts: List[Tuple[Any, ...]] = []
        self.seen: Dict[str, None] = {}
        self.reordered: Optional[str] = None

    def add(self, head: Tuple[str, ...], rows: List[Tuple[Any, ...]], layout: Optional[Layout],
            numbers: Optional[np.ndarray], texts: Optional[np.ndarray],
            subset_numbers: Optional[np.ndarray] = None) -> None:
        shape = (head, layout, subset_numbers is None)
        if self.open != shape:
            self._close()
            self.open = shape
        self.parts.append((rows, numbers, texts, subset_numbers))

    def _close(self) -> None:
        if not self.parts:
            return
        head, layout, compressed = self.open
        pd = self.pd
        columns: Dict[str, Any] = {}
        rows = [r for part in self.parts for r in part[0]]
        for i, key in enumerate(head):
            values, _ = headers.column(key, [r[i] for r in rows])
            columns[key] = values if key in headers.TEXT else integers(pd, values)
        if layout is not None:
            if not compressed:
                columns["subsetNumber"] = np.concatenate([p[3] for p in self.parts])
            numbers = np.concatenate([p[1] for p in self.parts])
            texts = np.concatenate([p[2] for p in self.parts]) if layout.text.any() else None
            t = 0
            for j, name in enumerate(layout.names):
                if layout.text[j]:
                    columns[name] = texts[:, t]
                    t += 1
                elif layout.whole[j]:
                    columns[name] = integers(pd, numbers[:, j])
                else:
                    columns[name] = numbers[:, j]
        names = list(columns)
        fresh = [k for k in names if k not in self.seen]
        if self.seen and fresh and self.reordered is None:
            later = names[names.index(fresh[0]) + 1:]
            if any(k in self.seen for k in later):
                self.reordered = fresh[0]
        for k in fresh:
            self.seen[k] = None
        self.frames.append(pd.DataFrame(columns, copy=False))
        self.parts = []

    def frame(self) -> Any:
        self._close()
        pd = self.pd
        if self.reordered is not None:
            warnings.warn("not all messages and subsets have the same keys: the columns from %r on, first met in"
                          " a later one, come after the columns met before" % self.reordered, UserWarning,
                          stacklevel=4)
        if not self.frames:
            return pd.DataFrame()
        if len(self.frames) == 1:
            return self.frames[0]
        return pd.concat(self.frames, ignore_index=True, sort=False)
