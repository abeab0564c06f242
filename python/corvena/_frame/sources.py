"""The messages of a source: a path (file, directory or glob pattern) or a
URL (file or glob pattern), bytes, a stream, a part of a file, a
:class:`corvena.Message`, or an iterable of any of these."""

from __future__ import annotations

import glob
import os
from typing import Any, Iterable

from .._files import glob_url, is_url
from .._reader import Message, Part, ReadError, _handle, read, read_framed


def messages(source: Any, tables: Any, errors: Any, framed: bool = False) -> Iterable[Message]:
    """The messages of `source`; with `framed`, those of files and bytes
    may come as :class:`corvena._reader.Framed` messages (for decoding in
    bulk, when nothing of their header is asked for)."""
    if isinstance(source, Message):
        yield source
        return
    reader = read_framed if framed else read
    if isinstance(source, (str, os.PathLike)):
        yield from _path_messages(os.fspath(source), tables, errors, reader)
        return
    if isinstance(source, (bytes, bytearray, memoryview, Part)) or hasattr(source, "read"):
        yield from reader(source, tables=tables, errors=errors)
        return
    for item in source:  # paths, byte strings or messages
        yield from messages(item, tables, errors, framed)


def _path_messages(path: str, tables: Any, errors: Any, reader: Any = read) -> Iterable[Message]:
    """The messages of a file, of the files of a directory (in name order),
    or of the files a glob pattern matches (in name order); a URL names a
    file or a glob pattern."""
    if is_url(path):
        files = glob_url(path)
        if not files:
            raise FileNotFoundError("no file matches %r" % path)
    elif os.path.isdir(path):
        names = sorted(os.path.join(path, n) for n in os.listdir(path))
        files = [n for n in names if os.path.isfile(n)]
    elif not os.path.exists(path) and glob.has_magic(path):
        files = sorted(glob.glob(path, recursive=True))
        if not files:
            raise FileNotFoundError("no file matches %r" % path)
    else:
        files = [path]
    for name in files:
        yield from reader(name, tables=tables, errors=errors)


def handle(error: ReadError, errors: Any) -> None:
    """What `errors` says to do with a message that cannot be decoded, its
    warning pointing at the caller of read_bufr."""
    _handle(error, errors, stacklevel=5)
