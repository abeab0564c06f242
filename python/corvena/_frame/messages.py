"""Messages decoded in bulk for the row builder: the one place that decodes
them."""

from __future__ import annotations

from typing import Any, List, Sequence

from .. import _ext
from .._reader import Message

# Below this many bytes of data in a batch, one thread decodes it: starting
# threads would cost more than they save.
THREADED_BYTES = 1 << 18


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
