"""Decoded messages as numpy arrays: no Python object per value.

``decode_arrays(data, tables)`` decodes the first message of ``data`` and
``decode_many(messages, tables, threads=N)`` decodes many messages on N
threads; both give :class:`MessageArrays`, which hold exactly what the list
of :class:`DecodedValue` items of ``decode_values_with_tables`` holds, item
for item and in the same order, as arrays:

- ``descriptors`` (uint32), ``values`` (float64, NaN when missing; character
  items carry their running number, as ``DecodedValue.raw_value`` does),
  ``raw`` (uint64) with ``has_raw`` (bool; False for character items),
  ``text_index`` (int32, -1 when the item has no text) into ``texts``;
- ``flags`` (uint8) per item: the sum of ``HAS_RAW`` (2), ``TEXT`` (4, a
  character item), ``LOCAL`` (8, an element no table gave, read after
  2-06-YYY), ``OPERATOR`` (16, an operator item such as 2-22-000),
  ``BITMAP_VALUE`` (32, a value read through a bitmap, such as after
  2-23-255), ``MISSING`` (64, a missing value or text) and ``RESCALED``
  (128, read with a scale or reference that an operator set);
- ``subset_offsets``: the items of subset ``s`` are
  ``slice(subset_offsets[s], subset_offsets[s + 1])``;
- for compressed messages, whose subsets all have the same items,
  ``values_2d`` (subsets x items), a view of the decoded block, no copy.

Threads: decoding runs in native code with the interpreter lock released,
so ``decode_many(..., threads=2)`` uses two cores. A ``TableSet`` never
changes once loaded and is only read while decoding, so one set may serve
any number of threads at once; the byte strings given are held for the call.
The result objects are ordinary Python objects: share them between threads
as you would any other.
"""

from __future__ import annotations

from collections import OrderedDict
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

from _corvena import TableSet

from . import _ext
from ._editions import leading_message_as_edition4
from ._reader import Key, positive_threads, split_key
from ._tables import LoadedTables

__all__ = ["BITMAP_VALUE", "HAS_RAW", "LOCAL", "MISSING", "OPERATOR", "RESCALED", "TEXT", "MessageArrays",
           "decode_arrays", "decode_many"]

from ._flags import BITMAP_VALUE, HAS_RAW, LOCAL, MISSING, OPERATOR, RESCALED, TEXT


class MessageArrays:
    """The items of one decoded message as arrays (see the module text)."""

    def __init__(self, decoded: "_ext.Decoded", tables: Optional[LoadedTables] = None):
        #: The native result these arrays view.
        self.decoded = decoded
        self._tables = tables
        self.compressed: bool = decoded.compressed
        self.subsets: int = decoded.subsets
        if self.compressed:
            #: Compressed: the number of items of each subset.
            self.columns: int = decoded.columns
        self._items: int = decoded.items

    def __len__(self) -> int:
        return self._items

    def __repr__(self) -> str:
        kind = "compressed" if self.compressed else "uncompressed"
        return "MessageArrays(%s, subsets=%d, items=%d)" % (kind, self.subsets, len(self))

    # Everything else is made on first use and kept: uncompressed arrays
    # read the decoded memory in place; compressed messages keep their
    # block column by column, and the per-item arrays in result order
    # (subset by subset) are made from it.
    def __getattr__(self, name):
        if "compressed" not in self.__dict__ or name.startswith("__"):
            raise AttributeError(name)
        if name == "texts":
            value = self.decoded.texts
        elif name == "raw":
            value = np.asarray(self.decoded.raw)
        elif name == "has_raw":
            value = (self.flags & HAS_RAW) != 0
        elif not self.compressed:
            value = self._uncompressed(name)
        else:
            value = self._compressed(name)
        self.__dict__[name] = value
        return value

    def _compressed(self, name):
        n, m = self.subsets, self.columns
        decoded = self.decoded
        if name == "column_descriptors":
            return np.asarray(decoded.column_codes)
        if name == "_cells":
            return np.asarray(decoded.cells).reshape(m, n)
        if name == "_column_flags":
            return np.asarray(decoded.column_flags)
        if name == "_text_slot":
            return np.asarray(decoded.column_text_slot)
        if name == "_text_cells":
            return np.asarray(decoded.text_cells).reshape(-1, n) if n else None
        if name == "values_2d":
            return self._cells.T
        if name == "values":
            return np.ascontiguousarray(self._cells.T).reshape(-1)
        if name == "descriptors":
            return np.tile(self.column_descriptors, n)
        if name == "subset_offsets":
            return np.arange(n + 1, dtype=np.int64) * m
        if name == "text_index":
            index = np.full((n, m), -1, dtype=np.int32)
            for j in np.nonzero(self._text_slot >= 0)[0]:
                index[:, j] = self._text_cells[self._text_slot[j]]
            return index.reshape(-1)
        if name == "flags":
            flags = np.tile(self._column_flags, n)
            missing = np.where((flags & TEXT) != 0, self.text_index < 0, np.isnan(self.values))
            return flags | np.where(missing, MISSING, 0).astype(np.uint8)
        raise AttributeError(name)

    def _uncompressed(self, name):
        decoded = self.decoded
        if name == "descriptors":
            return np.asarray(decoded.codes)
        if name == "values":
            return np.asarray(decoded.values)
        if name == "flags":
            return np.asarray(decoded.flags)
        if name == "text_index":
            return np.asarray(decoded.text_index)
        if name == "subset_offsets":
            offsets = np.empty(self.subsets + 1, dtype=np.int64)
            offsets[:-1] = np.asarray(decoded.subset_starts)
            offsets[-1] = self._items
            return offsets
        raise AttributeError(name)

    def __getitem__(self, key: Key) -> np.ndarray:
        """The values of `key` (see the module text)."""
        rank, code, name = split_key(key)
        if self._tables is None:
            raise KeyError("%r: these arrays were made without their tables" % (key,))
        info = self._tables.info
        codes = self.column_descriptors if self.compressed else self.descriptors
        present = np.unique(codes).tolist()
        wanted = [c for c in present if c == code] if code is not None else [c for c in present if info(c).key == name]
        where = np.nonzero(np.isin(codes, wanted))[0] if wanted else np.zeros(0, dtype=np.intp)
        n = self.subsets
        if self.compressed:
            if rank is not None:
                where = where[rank - 1 : rank]
            if not len(where) or not n:
                raise KeyError(key)
            text = (self._column_flags[where] & TEXT) != 0
            if text.any():
                out = np.empty((n, len(where)), dtype=object)
                texts = self.texts
                for k, (j, is_text) in enumerate(zip(where.tolist(), text.tolist())):
                    if is_text:
                        slot = int(self._text_slot[j])
                        cells = self._text_cells[slot].tolist() if slot >= 0 else [-1] * n
                        out[:, k] = [texts[t].rstrip("\x00") if t >= 0 else None for t in cells]
                    else:
                        out[:, k] = self._cells[j]
            else:
                out = self._cells[where].T.copy()
            return out[:, 0] if rank is not None else out
        if not len(where):
            raise KeyError(key)
        subset = np.searchsorted(self.subset_offsets, where, side="right") - 1
        occurrence = np.arange(len(where)) - np.searchsorted(subset, subset, side="left")
        if rank is not None:
            keep = occurrence == rank - 1
            if not keep.any():
                raise KeyError(key)
            where, subset, occurrence = where[keep], subset[keep], occurrence[keep] * 0
        width = 1 if rank is not None else int(occurrence.max()) + 1
        if (self.flags[where] & TEXT).any():
            out = np.full((n, width), None, dtype=object)
            index = self.text_index[where].tolist()
            texts = self.texts
            out[subset, occurrence] = [texts[t].rstrip("\x00") if t >= 0 else None for t in index]
        else:
            out = np.full((n, width), np.nan)
            out[subset, occurrence] = self.values[where]
        return out[:, 0] if rank is not None else out

    @property
    def nbytes(self) -> int:
        """Bytes held by the decoded arrays (not counting the texts)."""
        return self.decoded.nbytes

    def text(self, i: int) -> Optional[str]:
        """The text of item ``i``, or None."""
        k = int(self.text_index[i])
        return None if k < 0 else self.texts[k]

    def subset(self, s: int) -> slice:
        """The items of subset ``s`` (from 0) as a slice of the per-item arrays."""
        return slice(int(self.subset_offsets[s]), int(self.subset_offsets[s + 1]))

    def meanings(self, tables: TableSet) -> np.ndarray:
        """Code and flag table meanings per item (object array, None where
        there is none), looked up once per distinct (descriptor, raw)."""
        out = np.full(len(self), None, dtype=object)
        if not len(self):
            return out
        codes = self.descriptors.astype(np.uint64)
        raws = self.raw
        mask = self.has_raw
        pairs = np.stack([codes[mask], raws[mask]], axis=1)
        unique, inverse = np.unique(pairs, axis=0, return_inverse=True)
        found = np.array([tables.get_meaning(int(c), int(r)) for c, r in unique] + [None], dtype=object)[:-1]
        out[mask] = found[inverse.reshape(-1)]
        return out


# The tables that name the items of arrays decoded with a bare TableSet,
# a few at a time (a TableSet cannot be referred to weakly).
_NAMING: "OrderedDict[int, Tuple[TableSet, LoadedTables]]" = OrderedDict()


def _naming(tables: TableSet) -> LoadedTables:
    found = _NAMING.get(id(tables))
    if found is None or found[0] is not tables:
        found = _NAMING[id(tables)] = (tables, LoadedTables(tables, "TableSet given by the caller", True))
        while len(_NAMING) > 16:
            _NAMING.popitem(last=False)
    return found[1]


def decode_arrays(data: bytes, tables: TableSet) -> MessageArrays:
    """The first message of ``data`` (of edition 2, 3 or 4) decoded into
    arrays with ``tables``. Raises the same ValueError as
    ``decode_values_with_tables``."""
    return MessageArrays(_ext.decode_arrays(leading_message_as_edition4(data), tables), _naming(tables))


def decode_many(
    messages: Sequence[bytes],
    tables: Union[TableSet, Sequence[TableSet]],
    threads: int = 1,
    errors: str = "raise",
) -> List[Union[MessageArrays, ValueError]]:
    """Each message of ``messages`` (byte strings, one message each)
    decoded into arrays, on ``threads`` threads. ``tables`` is one TableSet
    for all messages or one per message. With ``errors="raise"`` the first
    bad message raises its ValueError; with ``errors="return"`` its place in
    the list holds that ValueError instead."""
    if errors not in ("raise", "return"):
        raise ValueError("errors must be 'raise' or 'return'")
    threads = positive_threads(threads)
    out: List[Union[MessageArrays, ValueError]] = []
    namings = [_naming(tables)] * len(messages) if isinstance(tables, TableSet) else [_naming(t) for t in tables]
    for part, naming in zip(_ext.decode_many([leading_message_as_edition4(m) for m in messages], tables, threads),
                            namings):
        if isinstance(part, str):
            if errors == "raise":
                raise ValueError(part)
            out.append(ValueError(part))
        else:
            out.append(MessageArrays(part, naming))
    return out
