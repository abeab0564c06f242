"""Observations of many files as a Dask DataFrame.

``corvena.dask.read_bufr(paths, columns, filters)`` gives the same rows and
columns as :func:`corvena.read_bufr`, lazily, partitions of about
``bytes_per_partition`` bytes of BUFR (by default a sixteenth of all the
bytes, between 1 and 64 MB, since each task costs the scheduler as much time
as reading a few hundred kB of BUFR): small files are grouped, and a file
larger than that is divided at the starts of its messages, a partition per
part, so that one large file keeps every worker busy. The messages of a part
keep their index in the file, in errors and in ``count``.
``files_per_partition=n`` gives instead one partition per `n` whole files.
Nothing is read to build the graph except the starts of the messages of the
files to divide (one small read per message where they follow one another
whole; the bytes themselves past damage, so that a "BUFR" within data never
counts as a start), and, when `meta` is not given, the whole first file,
whose (empty) result fixes the column types of every partition. For one
large file, pass `meta` (the empty result of an earlier read, or of a small
file of the same kind) to keep building the graph cheap.

Paths may be URLs that fsspec opens (``s3://``, ``gs://``, ``https://``,
``memory://``, ``file://`` ...), glob patterns included, when fsspec is
installed; every worker must be able to open them.

On the machine itself, with one worker process per core::

    from distributed import Client, LocalCluster
    import corvena.dask

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster):
        frame = corvena.dask.read_bufr(
            "/data/synop/*.bufr",
            columns=["WMO_station_id", "data_datetime", "airTemperature"],
            filters={"heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform": 2.0},
        )
        mean_by_station = frame.groupby("WMO_station_id").airTemperature.mean().compute()

On an existing cluster, connect a client first (``Client("tcp://scheduler:8786")``)
and pass paths that every worker can open; corvena (with pandas) must be
installed on the workers, and the tables too: the ecCodes definitions (or
the tables shipped with corvena) are looked up on each worker, so pass
`tables` as a directory path, not as a TableSet. Filters may be callables:
they travel to the workers with the task. Worker processes (not threads)
give the speed-up, since building rows holds the interpreter lock; use one
thread per worker.
"""

from __future__ import annotations

import glob
import math
import os
from typing import Any, List, Mapping, Optional, Sequence, Union

from . import frame as _frame
from ._files import glob_url, is_url, size as _size
from ._optional import require
from ._reader import Part, split

__all__ = ["read_bufr"]


def _paths(paths: Union[str, "os.PathLike[str]", Sequence[Any]]) -> List[str]:
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        if is_url(text):
            found = glob_url(text)
        else:
            found = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
        if not found:
            raise FileNotFoundError("no file matches %s" % text)
        return found
    out: List[str] = []
    for p in paths:
        out.extend(_paths(p))
    return out


_MB = 1 << 20


def _groups(files: List[str], per_partition: Optional[int], per_bytes: Optional[int]) -> List[List[Any]]:
    """The sources of each partition: paths of whole files, or the parts of
    a file larger than the target (each part a partition of its own)."""
    if per_partition is not None:
        return [files[i : i + per_partition] for i in range(0, len(files), per_partition)]
    sizes = []
    for f in files:
        try:
            sizes.append(_size(f))
        except OSError:  # read (and reported) by the partition
            sizes.append(0)
    target = per_bytes if per_bytes is not None else min(max(sum(sizes) / 16, 1 * _MB), 64 * _MB)
    groups: List[List[Any]] = []
    held = math.inf  # the bytes of the last group (a part of a file: full)
    for f, size in zip(files, sizes):
        parts = split(f, size, math.ceil(size / target)) if size > target else [f]
        if len(parts) > 1:
            groups.extend([part] for part in parts)
            held = math.inf
            continue
        if not groups or held + size > target:
            groups.append([])
            held = 0
        groups[-1].append(f)
        held += size
    return groups


class _ReadPart:
    """Reads one partition: the rows of a group of files (or of a part of
    one), in the meta's types."""

    def __init__(self, columns, filters, options, dtypes) -> None:
        self.columns = columns
        self.filters = filters
        self.options = options
        self.dtypes = dtypes

    def __call__(self, group: Sequence[Union[str, Part]]):
        # A group of files may lack a key that others hold: no KeyError here.
        frame = _frame.read_bufr(list(group), self.columns, self.filters, _check_keys=False, **self.options)
        if self.dtypes is not None and not frame.dtypes.equals(self.dtypes):
            frame = frame.astype(self.dtypes)
        return frame


def read_bufr(
    paths: Union[str, "os.PathLike[str]", Sequence[Any]],
    columns: Union[str, Sequence[str]],
    filters: Optional[Mapping[str, Any]] = None,
    *,
    required_columns: Union[bool, Sequence[str]] = True,
    dropna: bool = False,
    tables: Optional[str] = None,
    errors: Any = "raise",
    files_per_partition: Optional[int] = None,
    meta: Any = None,
    threads: int = 1,
    bytes_per_partition: Union[None, int, str] = None,
):
    """A dask DataFrame of the observations of `paths` (a path, a URL, a
    glob pattern of either, or a list of them), in the order of the paths.

    A partition holds about `bytes_per_partition` bytes of BUFR (a number,
    or a text such as ``"32MB"``; by default a sixteenth of all the bytes,
    between 1 and 64 MB): small files are grouped, and a larger
    file is divided at the starts of its messages into parts of about that
    size, a partition each, so that one large file keeps every worker busy.
    ``files_per_partition=n`` gives instead one partition per `n` whole
    files (not with `bytes_per_partition`).

    `columns`, `filters`, `required_columns`, `dropna`, `tables`, `errors`
    and `threads` mean what they mean for :func:`corvena.read_bufr`; one
    decoding thread per partition is the default, the workers being the
    parallel part. The rows are those of :func:`corvena.read_bufr`, and so
    are the errors, which name the file and the index of the message in it
    also when a part of the file is read. `meta` (an empty pandas DataFrame
    with the columns and their types) saves reading the whole first file
    here to learn them (which, for a single large file, costs as much as
    reading it): the types of a column can depend on every message of a
    file, so the first file is read whole even when it is divided. Finding
    where to divide a large file reads the start of each message (and, past
    damage, its bytes), not its data.
    """
    dd = require("dask.dataframe", "dask", "corvena.dask.read_bufr")

    files = _paths(paths)
    if not files:
        raise ValueError("paths: no file given")
    if files_per_partition is not None and files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    per_bytes = None
    if bytes_per_partition is not None:
        if files_per_partition is not None:
            raise ValueError("give files_per_partition or bytes_per_partition, not both")
        from dask.utils import parse_bytes

        per_bytes = None if isinstance(bytes_per_partition, bool) else parse_bytes(bytes_per_partition)
        if per_bytes is None or per_bytes < 1:
            raise ValueError("bytes_per_partition must be at least 1, not %r" % (bytes_per_partition,))
    columns = [columns] if isinstance(columns, str) else list(columns)
    options = dict(required_columns=required_columns, dropna=dropna, tables=tables, errors=errors, threads=threads)
    if meta is None:
        # The types of a column may depend on every message of the file (a
        # key held by some only, decimals in some): the whole file is read,
        # on every core here, so that the parts of a divided file get the
        # types that reading it whole gives.
        first = dict(options, threads=None)
        meta = _frame.read_bufr(files[0], columns, filters, _check_keys=False, **first).iloc[:0]
    groups = _groups(files, files_per_partition, per_bytes)
    reader = _ReadPart(columns, dict(filters or {}), options, meta.dtypes)
    return dd.from_map(reader, groups, meta=meta, label="corvena-read-bufr", enforce_metadata=False)
