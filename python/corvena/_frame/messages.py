"""What the row builder reads of a decoded message: the one place that knows
how a message gives its arrays."""

from __future__ import annotations

from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Union

import numpy as np

from .. import _ext
from .._reader import Message, ReadError
from ..arrays import BITMAP_VALUE

# Below this many bytes of data in a batch, one thread decodes it: starting
# threads would cost more than they save.
THREADED_BYTES = 1 << 18


class MessageArrays(NamedTuple):
    """What the row builder needs of one decoded message, or of several
    joined. Items are counted over the whole batch, subset after subset."""

    codes: Optional[np.ndarray]  # the descriptor of each item (None when `columns` says it)
    gather: Callable[[np.ndarray], np.ndarray]  # float64 values of items (NaN: missing, or character data)
    starts: np.ndarray  # int64, where each subset starts, then the item count
    text: Callable[[np.ndarray], List[Optional[str]]]  # character values of items
    tables: Any  # corvena LoadedTables: .info(code).key, .tableset
    columns: Optional[np.ndarray] = None  # every subset's descriptors, when all subsets have the same
    firsts: Optional[np.ndarray] = None  # the first item of each message, when several are joined
    # Which items (of `codes`, or of `columns`) were read through a bitmap:
    # statistics, substitutes or replaced values of earlier elements.
    bitmap: Optional[np.ndarray] = None
    # The first subset of each message, and the number the caller gave
    # each message (read_bufr counts the messages it reads).
    subset_firsts: np.ndarray = np.zeros(1, dtype=np.int64)
    numbers: np.ndarray = np.zeros(1, dtype=np.int64)

    @property
    def subsets(self) -> int:
        return len(self.starts) - 1

    def message_of(self, subsets: np.ndarray) -> np.ndarray:
        """The caller's number of the message of each subset."""
        return self.numbers[np.searchsorted(self.subset_firsts, subsets, side="right") - 1]


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
    if sum(len(messages[i].edition4_data) for i in todo) < THREADED_BYTES:
        threads = 1
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
            out.append(_from_decoded(loaded, message.arrays()))
    return out


def _from_decoded(tables: Any, decoded: Any) -> MessageArrays:
    texts = decoded.texts

    def text(positions: np.ndarray) -> List[Optional[str]]:
        out: List[Optional[str]] = []
        for k in decoded.text_index[positions].tolist():
            out.append(None if k < 0 else texts[k].rstrip("\x00"))
        return out

    if decoded.compressed:

        def gather(positions: np.ndarray) -> np.ndarray:
            return decoded.values.take(positions)  # made (and kept) on first use

        bitmap = (decoded._column_flags & BITMAP_VALUE) != 0
        return MessageArrays(None, gather, decoded.subset_offsets, text, tables, decoded.column_descriptors,
                             None, bitmap)
    values = decoded.values
    bitmap = (decoded.flags & BITMAP_VALUE) != 0
    return MessageArrays(decoded.descriptors, values.take, decoded.subset_offsets, text, tables, None, None, bitmap)


def joinable(a: MessageArrays, b: MessageArrays) -> bool:
    # Compressed messages are large and cheap to place: they stay alone.
    return a.tables is b.tables and a.columns is None and b.columns is None


def join(batch: List[MessageArrays]) -> MessageArrays:
    """Several messages as one: items and subsets one after the other."""
    if len(batch) == 1:
        return batch[0]
    batch = list(batch)
    sizes = np.array([int(a.starts[-1]) for a in batch], dtype=np.int64)
    firsts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
    counts = np.array([a.subsets for a in batch], dtype=np.int64)
    subset_firsts = np.concatenate(([0], np.cumsum(counts)[:-1]))
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

    bitmap = np.concatenate([a.bitmap for a in batch])
    numbers = np.concatenate([a.numbers for a in batch])
    return MessageArrays(codes, gather, starts, text, batch[0].tables, None, firsts, bitmap, subset_firsts, numbers)
