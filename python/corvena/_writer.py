"""Writing whole messages: :func:`corvena.write`.

The messages are written as they are, byte for byte: a :class:`Message`
as it was read (its ``data``, whatever its edition), or the bytes of one
message. Every item is checked before anything is written, and a path is
written through a new file beside it that is renamed into place at the end,
so that an error leaves neither a partial file nor a damaged old one.
"""

from __future__ import annotations

import io
import os
from typing import Any, Iterable, List, Union

from . import _ext
from ._reader import Message

__all__ = ["write", "framing_fault"]

_BYTES = (bytes, bytearray, memoryview)


def framing_fault(data: bytes) -> Union[str, None]:
    """Why `data` is not exactly one BUFR message (None when it is): it must
    start with ``BUFR``, have the size its section 0 gives, and end with
    ``7777``, as the scan of a file frames messages."""
    if data[:4] != b"BUFR":
        return "does not start with 'BUFR'"
    if len(data) < 8:
        return "%d octets are too few for a section 0" % len(data)
    entries = _ext.scan(data, 0)
    if entries and entries[0][0] == 0 and entries[0][2] is not None:
        return entries[0][2]
    if not entries or entries[0][:2] != (0, len(data)):
        said = int.from_bytes(data[4:7], "big")
        return "its section 0 gives a length of %d octets, but it has %d" % (said, len(data))
    return None


def _message_bytes(position: int, item: Any) -> bytes:
    if isinstance(item, Message):
        data = item.data
    elif isinstance(item, _BYTES):
        data = bytes(item)
    else:
        raise TypeError("message %d: a corvena.Message or the bytes of one message, not %s"
                        % (position, type(item).__name__))
    fault = framing_fault(data)
    if fault is not None:
        raise ValueError("message %d: not one BUFR message: %s" % (position, fault))
    return data


def write(destination: Any, messages: Iterable[Union[Message, bytes]]) -> int:
    """Writes `messages` to `destination`, a path (created, or replaced) or a
    binary file object, and returns how many were written.

    Each message is a :class:`corvena.Message`, written as it was read, or
    the bytes of one message. All are checked first: an item that is
    neither, or bytes that are not exactly one BUFR message, raise
    TypeError or ValueError naming its position (from 0), and nothing is
    written. A path is written to a new file in the same directory, renamed
    into place once complete (its messages are checked as they are written,
    so memory does not grow with their number); to a file object, all are
    checked before the first is written."""
    if isinstance(messages, _BYTES + (Message,)):
        raise TypeError("messages: a list (or other iterable) of messages, not one %s" % type(messages).__name__)
    try:
        items = iter(messages)
    except TypeError:
        raise TypeError("messages: a list (or other iterable) of messages, not %s" % type(messages).__name__) from None
    checked = (_message_bytes(position, item) for position, item in enumerate(items))
    if isinstance(destination, (str, os.PathLike)):
        # The new file is only renamed into place once complete, so each
        # message is checked as it is written: memory stays flat however
        # many there are.
        return _write_path(os.fspath(destination), checked)
    datas: List[bytes] = list(checked)
    if isinstance(destination, io.TextIOBase):
        raise TypeError("destination: a binary file is needed, not a text one (open it with 'wb')")
    elif callable(getattr(destination, "write", None)):
        for data in datas:
            destination.write(data)
    else:
        raise TypeError("destination: a path or a binary file object, not %s" % type(destination).__name__)
    return len(datas)


def _write_path(path: str, datas: Iterable[bytes]) -> int:
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    folder, name = os.path.split(os.path.abspath(path))
    while True:
        temporary = os.path.join(folder, ".%s.%s.part" % (name, os.urandom(6).hex()))
        try:
            handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    count = 0
    try:
        with os.fdopen(handle, "wb") as out:
            for data in datas:
                out.write(data)
                count += 1
        os.replace(temporary, path)
        return count
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
