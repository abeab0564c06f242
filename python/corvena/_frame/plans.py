"""The row builder.

Within each subset the data keys asked for are followed in the order the
subset holds them. A value stays in force for the values after it; when a
key comes back, the row built so far is given out, and the key and every key
set after it are dropped before the new value is taken. Each distinct
sequence of asked-for elements in a subset is turned once into a row plan
(which item fills which key of which row), cached for the process; the
subsets of a compressed message share one plan, alike subsets of
uncompressed messages (joined, many messages at a time) are grouped, and
every plan is placed with numpy: no Python runs per value.
"""

from __future__ import annotations

import threading
import weakref
from typing import Any, Dict, List, Sequence, Set, Tuple

import numpy as np

from .messages import MessageArrays

_LUT_SIZE = 1 << 16
# What the descriptors of one key hold, under one set of tables: none met
# yet, character data (if any of them does), whole numbers (every one is an
# element without decimals), other numbers.
KEY_UNSEEN, KEY_TEXT, KEY_WHOLE, KEY_NUMBERS = 0, 1, 2, 3
_STRING = "string"
_PLANS: Dict[Tuple[str, ...], "Plan"] = {}
_PLANS_KEPT = 32
_SHARED_LOCK = threading.Lock()


class Plan:
    """The data keys of one request and what is learnt about them while
    reading: the key index of each descriptor under each set of tables, and
    the row plan of each sequence of keys met in a subset."""

    def __init__(self, keys: Sequence[str]) -> None:
        self.keys = list(keys)
        self.index = {k: i for i, k in enumerate(self.keys)}
        # Per LoadedTables, held weakly: plans outlive calls (see _PLANS),
        # tables given per call must not live as long as they do.
        self._luts: "weakref.WeakKeyDictionary[Any, Tuple[np.ndarray, np.ndarray]]" = weakref.WeakKeyDictionary()
        self._plans: Dict[bytes, np.ndarray] = {}
        self._elements: Dict[Tuple[int, int], int] = {}  # (descriptor, key index) -> element index
        self.key_of: List[int] = []  # element index -> key index
        self._lock = threading.Lock()

    def lookup(self, tables: Any, codes: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The element index of every code (-1: not asked for) and, per key,
        what these tables hold it as (the KEY_* kinds). Elements are told
        apart by descriptor: two descriptors of one key (``timePeriod`` in
        hours and in minutes) are two elements that fill the same column."""
        entry = self._luts.get(tables)
        if entry is None:
            # Element descriptors (F = 0) are below 64000; anything above
            # (operators, associated fields) reads as the last entry, -1.
            lut = np.full(_LUT_SIZE, -2, dtype=np.int16)
            lut[-1] = -1
            entry = (lut, np.full(len(self.keys), KEY_UNSEEN, dtype=np.int8))
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
                        kinds[k] = KEY_TEXT
                    elif kinds[k] != KEY_TEXT:
                        whole = tables.info(code).integral and kinds[k] != KEY_NUMBERS
                        kinds[k] = KEY_WHOLE if whole else KEY_NUMBERS
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


def plan_for(keys: Sequence[str]) -> Plan:
    """The plan of these data keys, shared by the calls of one process (so
    that every file of a series reuses what the first one taught it)."""
    token = tuple(keys)
    with _SHARED_LOCK:
        found = _PLANS.get(token)
        if found is None:
            if len(_PLANS) >= _PLANS_KEPT:
                _PLANS.pop(next(iter(_PLANS)))
            found = _PLANS[token] = Plan(keys)
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


def _without_bitmap_values(element: np.ndarray, bitmap: Any) -> np.ndarray:
    """`element` with the values read through a bitmap left out: they carry
    the descriptor of the element they refer to, but are a statistic, a
    substitute or a replaced value, not an observation of that key."""
    if bitmap is None or not bitmap.any():
        return element
    element = element.copy()
    element[bitmap] = -1
    return element


def message_rows(plan: Plan, arrays: MessageArrays, met: Set[int]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The item position of each key in each row of a message (or of joined
    messages; -1: absent), the subset of each row, and the kind of each key.
    Adds the elements the message holds to `met`. With no data keys, each
    subset is one row."""
    width = len(plan.keys)
    n = arrays.subsets
    if width == 0:
        return np.zeros((n, 0), dtype=np.int64), np.arange(n), np.zeros(0, dtype=np.int8)
    none = np.zeros((0, width), dtype=np.int64), np.zeros(0, dtype=np.int64)
    if arrays.columns is not None:
        # Every subset has the same items: one plan, placed at each subset.
        element, kinds = plan.lookup(arrays.tables, arrays.columns)
        met.update(np.unique(element[element >= 0]).tolist())
        element = _without_bitmap_values(element, arrays.bitmap)
        events = np.flatnonzero(element >= 0)
        rows = plan.rows_of(element[events]) if len(events) else none[0]
        if len(rows) == 0:
            return none + (kinds,)
        column = np.where(rows >= 0, events[np.maximum(rows, 0)], -1)
        at = arrays.starts[:-1, None, None] + column[None, :, :]
        at = np.where(column[None, :, :] >= 0, at, -1).reshape(-1, width)
        return at, np.repeat(np.arange(n), len(rows)), kinds

    element, kinds = plan.lookup(arrays.tables, arrays.codes)
    met.update(np.unique(element[element >= 0]).tolist())
    element = _without_bitmap_values(element, arrays.bitmap)
    events = np.flatnonzero(element >= 0)
    if len(events) == 0:
        return none + (kinds,)
    sequence = element[events].astype(np.int16)
    bounds = np.searchsorted(events, arrays.starts)  # first event of each subset
    counts = np.diff(bounds)
    # Subsets alike in their sequence share a plan: group them (as padded
    # rows of one matrix, told apart by a fingerprint), then place each
    # plan at its subsets.
    longest = int(counts.max())
    if longest == 0:
        return none + (kinds,)
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
        return none + (kinds,)
    at = np.concatenate(parts)
    subsets = np.concatenate(owners)
    # Back to the order of the subsets (rows of one subset keep theirs).
    order = np.argsort(subsets, kind="stable")
    return at[order], subsets[order], kinds


class Collected:
    """Rows gathered message by message: one array per data key, whether
    each key is present in each row, and the number of each row's message."""

    def __init__(self, width: int) -> None:
        self.width = width
        self.numbers: List[List[np.ndarray]] = [[] for _ in range(width)]
        self.kinds: List[set] = [set() for _ in range(width)]
        self.present: List[np.ndarray] = []
        self.messages: List[np.ndarray] = []

    def add(self, arrays: MessageArrays, at: np.ndarray, subsets: np.ndarray, kinds: np.ndarray) -> None:
        present = at >= 0
        numbers = arrays.gather(np.where(present, at, 0).reshape(-1)).reshape(at.shape)
        numbers[~present] = np.nan
        self.present.append(present)
        self.messages.append(arrays.message_of(subsets))
        for j in range(self.width):
            if kinds[j] == KEY_WHOLE:
                self.kinds[j].add("whole")
            elif kinds[j] == KEY_NUMBERS:
                self.kinds[j].add("number")
            if kinds[j] == KEY_TEXT:
                col = np.empty(len(at), dtype=object)
                where = np.flatnonzero(present[:, j])
                if len(where):
                    col[where] = arrays.text(at[where, j])
                self.kinds[j].add("text")
                self.numbers[j].append(col)
            else:
                self.numbers[j].append(numbers[:, j])

    def add_bare(self, number: int, subsets: int) -> None:
        """A row for each of the `subsets` subsets of message `number`, with
        no data key."""
        self.present.append(np.zeros((subsets, self.width), dtype=bool))
        self.messages.append(np.full(subsets, number, dtype=np.int64))

    def rows(self) -> int:
        return sum(len(m) for m in self.messages)

    def all_present(self) -> np.ndarray:
        if not self.present:
            return np.zeros((0, self.width), dtype=bool)
        return np.concatenate(self.present)

    def message_numbers(self) -> np.ndarray:
        return np.concatenate(self.messages) if self.messages else np.zeros(0, dtype=np.int64)

    def column(self, j: int) -> np.ndarray:
        parts = self.numbers[j]
        if not parts:
            return np.zeros(0, dtype=np.float64)
        if "text" in self.kinds[j]:
            parts = [p if p.dtype == object else as_objects(p) for p in parts]
        return np.concatenate(parts)


def as_objects(v: np.ndarray) -> np.ndarray:
    """Float values as objects, None where NaN."""
    out = np.empty(len(v), dtype=object)
    out[:] = [None if x != x else x for x in v.tolist()]
    return out
