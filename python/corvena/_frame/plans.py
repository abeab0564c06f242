"""The row builder.

Within each subset the data keys asked for are followed in the order the
subset holds them. A value stays in force for the values after it; when a
key comes back, the row built so far is given out, and the key and every key
set after it are dropped before the new value is taken. The subsets of
uncompressed messages (joined, many messages at a time) are followed in one
native pass (``_ext.rows``), which gives the values of the rows too; the
subsets of a compressed message, which all hold the same items, share the
rows of one. A
plan (the keys of a request, and which element of which tables fills each)
is shared by the calls of a process. No Python runs per value.
"""

from __future__ import annotations

import threading
import weakref
from typing import Any, Dict, List, NamedTuple, Sequence, Tuple

import numpy as np

from .. import _ext
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
    reading: the element index of each descriptor under each set of tables,
    and the key of each element."""

    def __init__(self, keys: Sequence[str]) -> None:
        self.keys = list(keys)
        self.index = {k: i for i, k in enumerate(self.keys)}
        # Per LoadedTables, held weakly: plans outlive calls (see _PLANS),
        # tables given per call must not live as long as they do.
        self._luts: "weakref.WeakKeyDictionary[Any, Tuple[np.ndarray, np.ndarray]]" = weakref.WeakKeyDictionary()
        self._elements: Dict[Tuple[int, int], int] = {}  # (descriptor, key index) -> element index
        self.key_of: List[int] = []  # element index -> key index
        self.key_bytes = b""  # key_of as int32 bytes
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
                        self.key_bytes = np.array(self.key_of, dtype=np.int32).tobytes()
                    lut[code] = element
                    if _is_text(tables, code):
                        kinds[k] = KEY_TEXT
                    elif kinds[k] != KEY_TEXT:
                        whole = tables.info(code).integral and kinds[k] != KEY_NUMBERS
                        kinds[k] = KEY_WHOLE if whole else KEY_NUMBERS
            found = lut[codes]
        return found, kinds


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


class Placed(NamedTuple):
    """The rows of a message (or of joined messages), key after key."""

    subsets: np.ndarray  # the subset of each row
    kinds: np.ndarray  # the KEY_* kind of each key
    values: np.ndarray  # keys x rows: the value (NaN: absent, missing or text)
    present: np.ndarray  # keys x rows: whether the row holds the key
    items: Dict[int, np.ndarray]  # the item position in each row of each text key (-1: absent)

    def take(self, keep: np.ndarray) -> "Placed":
        """The rows that `keep` marks."""
        return Placed(self.subsets[keep], self.kinds, self.values[:, keep], self.present[:, keep],
                      {k: v[keep] for k, v in self.items.items()})


def message_rows(plan: Plan, arrays: MessageArrays, seen: np.ndarray, required: bytes = b"") -> Placed:
    """The rows of a message (or of joined messages), rows without a key
    that `required` marks (a byte per key) left out. Marks in `seen` (a bool
    per key) the keys the message holds."""
    width = len(plan.keys)
    element, kinds = plan.lookup(arrays.tables, arrays.codes)
    text = kinds == KEY_TEXT
    subsets, values, present, items, held = _ext.rows(arrays.decoded, element.tobytes(), plan.key_bytes, width,
                                                      required, text.tobytes())
    seen |= np.frombuffer(held, dtype=bool)
    subsets = np.frombuffer(subsets, dtype=np.int64)
    n = len(subsets)
    texts = np.flatnonzero(text).tolist()
    items = np.frombuffer(items, dtype=np.int64).reshape(len(texts), n)
    return Placed(subsets, kinds, np.frombuffer(values, dtype=np.float64).reshape(width, n),
                  np.frombuffer(present, dtype=bool).reshape(width, n), dict(zip(texts, items)))


class Collected:
    """Rows gathered message by message: one array per data key, whether
    each key is present in each row, and the number of each row's message."""

    def __init__(self, width: int) -> None:
        self.width = width
        self.numbers: List[List[np.ndarray]] = [[] for _ in range(width)]
        self.kinds: List[set] = [set() for _ in range(width)]
        self.present: List[np.ndarray] = []  # keys x rows, per message
        self.messages: List[np.ndarray] = []

    def add(self, arrays: MessageArrays, placed: Placed) -> None:
        self.present.append(placed.present)
        self.messages.append(arrays.message_of(placed.subsets))
        for j in range(self.width):
            kind = placed.kinds[j]
            if kind == KEY_WHOLE:
                self.kinds[j].add("whole")
            elif kind == KEY_NUMBERS:
                self.kinds[j].add("number")
            if kind == KEY_TEXT:
                at = placed.items[j]
                col = np.empty(len(at), dtype=object)
                where = np.flatnonzero(at >= 0)
                if len(where):
                    col[where] = arrays.text(at[where])
                self.kinds[j].add("text")
                self.numbers[j].append(col)
            else:
                self.numbers[j].append(placed.values[j])

    def add_bare(self, number: int, subsets: int) -> None:
        """A row for each of the `subsets` subsets of message `number`, with
        no data key."""
        self.present.append(np.zeros((self.width, subsets), dtype=bool))
        self.messages.append(np.full(subsets, number, dtype=np.int64))

    def rows(self) -> int:
        return sum(len(m) for m in self.messages)

    def all_present(self) -> np.ndarray:
        """Keys x rows: whether each row holds each key."""
        if not self.present:
            return np.zeros((self.width, 0), dtype=bool)
        return self.present[0] if len(self.present) == 1 else np.concatenate(self.present, axis=1)

    def message_numbers(self) -> np.ndarray:
        return np.concatenate(self.messages) if self.messages else np.zeros(0, dtype=np.int64)

    def column(self, j: int) -> np.ndarray:
        parts = self.numbers[j]
        if not parts:
            return np.zeros(0, dtype=np.float64)
        if "text" in self.kinds[j]:
            parts = [p if p.dtype == object else as_objects(p) for p in parts]
        return parts[0] if len(parts) == 1 else np.concatenate(parts)


def as_objects(v: np.ndarray) -> np.ndarray:
    """Float values as objects, None where NaN."""
    out = np.empty(len(v), dtype=object)
    out[:] = [None if x != x else x for x in v.tolist()]
    return out
