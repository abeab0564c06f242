"""Files by path or by URL: a local path is opened as it is, a URL with a
protocol (``s3://``, ``gs://``, ``https://``, ``memory://``, ``file://``
...) through fsspec, which is imported only for such a URL."""

from __future__ import annotations

import errno
import glob
import os
import re
from typing import Any, List, Tuple

from ._optional import require

__all__ = ["is_url", "open_binary", "size", "glob_url"]

# A protocol of two letters or more (a single one would be a drive letter).
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]+://")


def is_url(path: Any) -> bool:
    """Whether `path` is a text with a protocol, to be opened with fsspec."""
    return isinstance(path, str) and _URL.match(path) is not None


def _filesystem(url: str) -> Tuple[Any, str]:
    """The fsspec filesystem of `url`, and the path in it."""
    fsspec = require("fsspec", "fsspec", "reading %s" % url)
    return fsspec.core.url_to_fs(url)


def _naming(url: str, exc: OSError) -> OSError:
    """`exc` with a text that names `url` (fsspec's errors name the path
    without its protocol)."""
    if isinstance(exc, FileNotFoundError):
        return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), url)
    try:
        return type(exc)("%s: %s" % (url, exc))
    except TypeError:  # an error class made otherwise
        return OSError("%s: %s" % (url, exc))


def open_binary(path: str) -> Any:
    """`path` (a local path or a URL) opened for reading bytes; it can seek."""
    if not is_url(path):
        return open(path, "rb")
    fs, inner = _filesystem(path)
    try:
        return fs.open(inner, "rb")
    except OSError as exc:
        raise _naming(path, exc) from exc


def size(path: str) -> int:
    """The size of the file at `path` (a local path or a URL) in bytes (0
    where its filesystem does not know it)."""
    if not is_url(path):
        return os.path.getsize(path)
    fs, inner = _filesystem(path)
    try:
        found = fs.size(inner)
    except OSError as exc:
        raise _naming(path, exc) from exc
    return 0 if found is None else int(found)


def glob_url(url: str) -> List[str]:
    """The files a URL's glob pattern matches, as URLs in name order (none
    may match); the URL itself when it has no pattern or names a file."""
    if not glob.has_magic(url):
        return [url]
    fs, inner = _filesystem(url)
    if fs.exists(inner):
        return [url]
    return [fs.unstrip_protocol(p) for p in sorted(fs.glob(inner))]
