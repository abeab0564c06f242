"""What the row builder reads of a decoded message: the one place that knows
how a message gives its arrays."""

from __future__ import annotations

from typing import Any, Callable, List, NamedTuple, Optional, Sequence

import numpy as np

from .. import _ext
from .._reader import Message, ReadError
from ..arrays import BITMAP_VALUE
from ..arrays import MessageArrays as MessageView

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
    found = decode([message], 1)[0]
    if isinstance(found, ReadError):
        raise found
    return from_decoded(message.loaded_tables(), message.arrays())


def decode(messages: Sequence[Message], threads: int) -> List[Any]:
    """The native result of each message (a ``_ext.Decoded``), decoded on
    `threads` threads and kept by the message; a message that cannot be
    decoded gives its ReadError in its place."""
    # A message decoded before gives its result again; the others are
    # decoded here, together.
    todo = [m for m in messages if m._decoded is None]
    if not todo:
        return [m._decoded for m in messages]
    data = [m.edition4_data for m in todo]
    if sum(map(len, data)) < THREADED_BYTES:
        threads = 1
    parts = _ext.decode_many(data, [m.loaded_tables().tableset for m in todo], threads)
    if len(todo) == len(messages):
        found = parts
    else:
        done = iter(parts)
        found = [m._decoded if m._decoded is not None else next(done) for m in messages]
    out: List[Any] = []
    for message, part in zip(messages, found):
        if part.__class__ is str:
            out.append(message._decode_failure(part, message.loaded_tables()))
        else:
            message._decoded = part
            out.append(part)
    return out


def from_decoded(tables: Any, decoded: MessageView, number: int = 0) -> MessageArrays:
    """The arrays of one decoded message (as :mod:`corvena.arrays` views
    it), or of several joined into one; `number` is the caller's number of
    the message."""
    texts = decoded.texts

    def text(positions: np.ndarray) -> List[Optional[str]]:
        out: List[Optional[str]] = []
        for k in decoded.text_index[positions].tolist():
            out.append(None if k < 0 else texts[k].rstrip("\x00"))
        return out

    numbers = np.array([number], dtype=np.int64)
    if decoded.compressed:

        # The block is columns x subsets, read in place: item s * width + j
        # is cell j * subsets + s.
        cells, width, subsets = decoded._cells.reshape(-1), decoded.columns, decoded.subsets

        def gather(positions: np.ndarray) -> np.ndarray:
            s, j = np.divmod(positions, width)
            return cells.take(j * subsets + s)

        bitmap = (decoded._column_flags & BITMAP_VALUE) != 0
        return MessageArrays(None, gather, decoded.subset_offsets, text, tables, decoded.column_descriptors,
                             bitmap, numbers=numbers)
    values = decoded.values
    bitmap = (decoded.flags & BITMAP_VALUE) != 0
    return MessageArrays(decoded.descriptors, values.take, decoded.subset_offsets, text, tables, None, bitmap,
                         numbers=numbers)


def join(tables: Any, decoded: List[Any], numbers: List[int]) -> MessageArrays:
    """Several decoded messages, all of `tables`, as one: their items and
    subsets one after the other, joined natively."""
    if len(decoded) == 1:
        return from_decoded(tables, MessageView(decoded[0]), numbers[0])
    joined = _ext.join(decoded, tables.tableset, False)  # the rows need no raw values
    counts = np.array([d.subsets for d in decoded], dtype=np.int64)
    subset_firsts = np.concatenate(([0], np.cumsum(counts)[:-1]))
    arrays = from_decoded(tables, MessageView(joined))
    return arrays._replace(subset_firsts=subset_firsts, numbers=np.array(numbers, dtype=np.int64))
