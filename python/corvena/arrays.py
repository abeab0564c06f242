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

from typing import Iterable, List, Optional, Sequence, Union

import numpy as np

from _corvena import TableSet

from . import _ext
from ._editions import leading_message_as_edition4
from ._reader import positive_threads

__all__ = ["MessageArrays", "decode_arrays", "decode_many"]

_HAS_RAW = 2


class MessageArrays:
    """The items of one decoded message as arrays (see the module text)."""

    def __init__(self, parts: dict):
        self.compressed: bool = parts["compressed"]
        self.subsets: int = parts["subsets"]
        self.texts: List[str] = parts["texts"]
        self._parts = parts
        if self.compressed:
            codes = np.frombuffer(parts["column_codes"], np.uint32)
            self.columns = len(codes)
            self.column_descriptors = codes
            n, m = self.subsets, self.columns
            self._cells = np.asarray(parts["cells"]).reshape(m, n)
            self._r0 = np.frombuffer(parts["column_r0"], np.uint64)
            self._scale = np.frombuffer(parts["column_scale"], np.int32)
            self._reference = np.frombuffer(parts["column_reference"], np.int64)
            self._wide_slot = np.frombuffer(parts["column_wide_slot"], np.int32)
            self._column_has_raw = (np.frombuffer(parts["column_flags"], np.uint8) & _HAS_RAW) != 0
            self._text_slot = np.frombuffer(parts["column_text_slot"], np.int32)
            self._text_cells = np.asarray(parts["text_cells"]).reshape(-1, n) if n else None
        else:
            self._items = len(parts["codes"])

    def __len__(self) -> int:
        if self.compressed:
            return self.subsets * self.columns
        return self._items

    def __repr__(self) -> str:
        kind = "compressed" if self.compressed else "uncompressed"
        return "MessageArrays(%s, subsets=%d, items=%d)" % (kind, self.subsets, len(self))

    # The arrays are made on first use and kept: uncompressed ones read the
    # decoded bytes in place; compressed messages keep their block column
    # by column, and the per-item arrays in result order (subset by subset)
    # are made from it.
    def __getattr__(self, name):
        if "compressed" not in self.__dict__ or name.startswith("__"):
            raise AttributeError(name)
        if not self.compressed:
            value = self._uncompressed(name)
            self.__dict__[name] = value
            return value
        n, m = self.subsets, self.columns
        if name == "values_2d":
            value = self._cells.T
        elif name == "values":
            value = np.ascontiguousarray(self._cells.T).reshape(-1)
        elif name == "descriptors":
            value = np.tile(self.column_descriptors, n)
        elif name == "raw":
            value = self._raw_block().T.reshape(-1)
        elif name == "has_raw":
            value = np.tile(self._column_has_raw, n)
        elif name == "subset_offsets":
            value = np.arange(n + 1, dtype=np.int64) * m
        elif name == "text_index":
            index = np.full((n, m), -1, dtype=np.int32)
            for j in np.nonzero(self._text_slot >= 0)[0]:
                index[:, j] = self._text_cells[self._text_slot[j]]
            value = index.reshape(-1)
        else:
            raise AttributeError(name)
        self.__dict__[name] = value
        return value

    def _raw_block(self) -> np.ndarray:
        """Raw values of a compressed message, (columns, subsets). A
        present cell's raw value is rint(value * 10^scale) - reference,
        exact for the numbers below 2^50 that the decoder keeps no
        increments for; a missing cell's is the column's local reference."""
        n, m = self.subsets, self.columns
        cells = self._cells
        with np.errstate(invalid="ignore"):
            powers = np.power(10.0, self._scale.astype(np.float64))[:, None]
            units = np.rint(np.nan_to_num(cells) * powers).astype(np.int64)
        raw = (units - self._reference[:, None]).astype(np.uint64)
        wide = np.nonzero(self._wide_slot >= 0)[0]
        if len(wide):
            increments = np.asarray(self._parts["wide_increments"]).reshape(-1, n)
            raw[wide] = self._r0[wide, None] + increments[self._wide_slot[wide]]
        raw = np.where(np.isnan(cells), self._r0[:, None], raw)
        raw[~self._column_has_raw] = 0
        return raw

    def _uncompressed(self, name):
        parts = self._parts
        if name == "descriptors":
            return np.asarray(parts["codes"])
        if name == "values":
            return np.asarray(parts["values"])
        if name == "raw":
            return np.asarray(parts["raws"])
        if name == "has_raw":
            return (np.asarray(parts["flags"]) & _HAS_RAW) != 0
        if name == "text_index":
            return np.asarray(parts["text_index"])
        if name == "subset_offsets":
            starts = np.frombuffer(parts["subset_starts"], np.uint64).astype(np.int64)
            return np.append(starts, np.int64(self._items))
        raise AttributeError(name)

    @property
    def nbytes(self) -> int:
        """Bytes held by the decoded arrays (not counting the texts)."""
        total = 0
        for v in self._parts.values():
            if isinstance(v, bytes):
                total += len(v)
            elif hasattr(v, "__array_interface__"):
                total += np.asarray(v).nbytes
        return total

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


def decode_arrays(data: bytes, tables: TableSet) -> MessageArrays:
    """The first message of ``data`` (of edition 2, 3 or 4) decoded into
    arrays with ``tables``. Raises the same ValueError as
    ``decode_values_with_tables``."""
    return MessageArrays(_ext.decode_arrays(leading_message_as_edition4(data), tables))


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
    for part in _ext.decode_many([leading_message_as_edition4(m) for m in messages], tables, threads):
        if isinstance(part, str):
            if errors == "raise":
                raise ValueError(part)
            out.append(ValueError(part))
        else:
            out.append(MessageArrays(part))
    return out
