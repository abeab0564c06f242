"""The row builder.

Within each subset the data keys asked for are followed in the order the
subset holds them. A value stays in force for the values after it; when a
key comes back, the row built so far is given out, and the key and every key
set after it are dropped before the new value is taken. The subsets of
messages of a batch (many messages at a time) are followed in one native
pass (``_ext.rows``), which gives the values and texts of the rows too; the
subsets of a compressed message, which all hold the same items, share the
rows of one. A plan (the keys of a request, and which element of which
tables fills each) is shared by the calls of a process. No Python runs per
value.
"""

from __future__ import annotations

import threading
import weakref
from typing import Any, Dict, List, NamedTuple, Sequence, Tuple

import numpy as np

from .. import _ext

_LUT_SIZE = 1 << 16
# What the descriptors of one key hold, under one set of tables: none met
# yet, character data (if any of them does), whole numbers (every one is an
# element without decimals), other numbers.
KEY_UNSEEN, KEY_TEXT, KEY_WHOLE, KEY_NUMBERS = 0, 1, 2, 3
_STRING = "string"
_UNKNOWN = -2
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
        self._luts: "weakref.WeakKeyDictionary[Any, ElementTable]" = weakref.WeakKeyDictionary()
        self._elements: Dict[Tuple[int, int], int] = {}  # (descriptor, key index) -> element index
        self.key_of: List[int] = []  # element index -> key index
        self.key_bytes = b""  # key_of as int32 bytes
        self._lock = threading.Lock()

    def table(self, tables: Any) -> "ElementTable":
        """What these tables make of the descriptors looked up so far."""
        entry = self._luts.get(tables)
        if entry is None:
            with self._lock:
                entry = self._luts.setdefault(tables, ElementTable(len(self.keys)))
        return entry

    def learn(self, tables: Any, codes: Sequence[int]) -> None:
        """Looks up descriptors new to the table of `tables`. Elements are
        told apart by descriptor: two descriptors of one key (``timePeriod``
        in hours and in minutes) are two elements that fill the same
        column."""
        entry = self.table(tables)
        with self._lock:
            lut, kinds = entry.lut, entry.kinds
            for code in codes:
                if lut[code] != _UNKNOWN:  # learnt meanwhile on another thread
                    continue
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
            entry.data = lut.tobytes()


class ElementTable:
    """The element of each descriptor under one set of tables (-1: none the
    plan asks for, -2: not looked up yet), as an array and as the bytes the
    row pass reads; and per key, what these tables hold it as (the KEY_*
    kinds)."""

    def __init__(self, width: int) -> None:
        # Element descriptors (F = 0) are below 64000; anything above
        # (operators, associated fields) fills no key.
        self.lut = np.full(_LUT_SIZE, _UNKNOWN, dtype=np.int16)
        self.lut[-1] = -1
        self.kinds = np.full(width, KEY_UNSEEN, dtype=np.int8)
        self.data = self.lut.tobytes()


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
    """The rows of a batch of messages, key after key."""

    messages: np.ndarray  # the message (place in the batch) of each row
    kinds: np.ndarray  # the KEY_* kind of each key
    values: np.ndarray  # keys x rows: the value (NaN: absent, missing or text)
    present: np.ndarray  # keys x rows: whether the row holds the key
    texts: Dict[int, np.ndarray]  # the text (None: absent or missing) in each row of each text key

    def take(self, keep: np.ndarray) -> "Placed":
        """The rows that `keep` marks."""
        return Placed(self.messages[keep], self.kinds, self.values[:, keep], self.present[:, keep],
                      {k: v[keep] for k, v in self.texts.items()})


def message_rows(plan: Plan, tables: Any, decoded: Sequence[Any], seen: np.ndarray,
                 required: bytes = b"") -> Placed:
    """The rows of decoded messages (native results, all of `tables`), one
    message after the other, rows without a key that `required` marks (a
    byte per key) left out. Marks in `seen` (a bool per key) the keys the
    messages hold."""
    width = len(plan.keys)
    entry = plan.table(tables)
    unknown = _ext.unknown_codes(decoded, entry.data)
    if unknown:
        plan.learn(tables, unknown)
    kinds = entry.kinds.copy()
    text = kinds == KEY_TEXT
    messages, values, present, texts, held = _ext.rows(decoded, entry.data, plan.key_bytes, width, required,
                                                        text.tobytes())
    seen |= np.frombuffer(held, dtype=bool)
    messages = np.frombuffer(messages, dtype=np.int64)
    n = len(messages)
    columns = {}
    for k, column in zip(np.flatnonzero(text).tolist(), texts):
        columns[k] = np.empty(n, dtype=object)
        columns[k][:] = column
    return Placed(messages, kinds, np.frombuffer(values, dtype=np.float64).reshape(width, n),
                  np.frombuffer(present, dtype=bool).reshape(width, n), columns)


class Collected:
    """Rows gathered message by message: one array per data key, whether
    each key is present in each row, and the number of each row's message."""

    def __init__(self, width: int) -> None:
        self.width = width
        self.numbers: List[List[np.ndarray]] = [[] for _ in range(width)]
        self.kinds: List[set] = [set() for _ in range(width)]
        self.present: List[np.ndarray] = []  # keys x rows, per batch
        self.messages: List[np.ndarray] = []

    def add(self, numbers: np.ndarray, placed: Placed) -> None:
        """The rows of a batch of messages, `numbers` being the caller's
        number of each message of the batch."""
        self.present.append(placed.present)
        self.messages.append(numbers[placed.messages])
        for j in range(self.width):
            kind = placed.kinds[j]
            if kind == KEY_WHOLE:
                self.kinds[j].add("whole")
            elif kind == KEY_NUMBERS:
                self.kinds[j].add("number")
            if kind == KEY_TEXT:
                self.kinds[j].add("text")
                self.numbers[j].append(placed.texts[j])
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
