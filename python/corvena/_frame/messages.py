"""What the row builder reads of a decoded message: the one place that knows
how a message gives its arrays."""

from __future__ import annotations

from typing import Any, Callable, List, NamedTuple, Optional, Sequence

import numpy as np

from .. import _ext
from .._reader import Message
from ..arrays import MessageArrays as MessageView

# Below this many bytes of data in a batch, one thread decodes it: starting
# threads would cost more than they save.
THREADED_BYTES = 1 << 18


class MessageArrays(NamedTuple):
    """What the row builder needs of one decoded message, or of several
    joined. Items are counted over the whole batch, subset after subset."""

    decoded: Any  # the native result (``_ext.Decoded``)
    # The descriptor of each item, or of each column of a compressed
    # message (whose subsets all hold the same items).
    codes: np.ndarray
    text: Callable[[np.ndarray], List[Optional[str]]]  # character values of items
    tables: Any  # corvena LoadedTables: .info(code).key, .tableset
    subsets: int
    # The first subset of each message, and the number the caller gave
    # each message (read_bufr counts the messages it reads).
    subset_firsts: np.ndarray = np.zeros(1, dtype=np.int64)
    numbers: np.ndarray = np.zeros(1, dtype=np.int64)

    def message_of(self, subsets: np.ndarray) -> np.ndarray:
        """The caller's number of the message of each subset."""
        if len(self.numbers) == 1:
            return np.full(len(subsets), self.numbers[0], dtype=np.int64)
        return self.numbers[np.searchsorted(self.subset_firsts, subsets, side="right") - 1]


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

    codes = decoded.column_descriptors if decoded.compressed else decoded.descriptors
    return MessageArrays(decoded.decoded, codes, text, tables, decoded.subsets, numbers=np.array([number]))


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
