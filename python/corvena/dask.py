"""Observations of many files as a Dask DataFrame.

``corvena.dask.read_bufr(paths, columns, filters)`` gives the same rows and
columns as :func:`corvena.read_bufr`, lazily, one partition per group of
files: ``files_per_partition`` files, or by default files grouped by size
(about a sixteenth of all the bytes each, between 1 and 64 MB), since each
task costs the scheduler as much time as reading a few hundred kB of BUFR.
``files_per_partition=1`` gives one partition per file. Nothing is read to
build the graph except, when `meta` is not given, the first file, whose
(empty) result fixes the column types of every partition.

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
import os
from typing import Any, List, Mapping, Optional, Sequence, Union

from . import frame as _frame
from ._optional import require

__all__ = ["read_bufr"]


def _paths(paths: Union[str, "os.PathLike[str]", Sequence[Any]]) -> List[str]:
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        found = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
        if not found:
            raise FileNotFoundError("no file matches %s" % text)
        return found
    out: List[str] = []
    for p in paths:
        out.extend(_paths(p))
    return out


_MB = 1 << 20


def _groups(files: List[str], per_partition: Optional[int]) -> List[List[str]]:
    if per_partition is not None:
        return [files[i : i + per_partition] for i in range(0, len(files), per_partition)]
    sizes = []
    for f in files:
        try:
            sizes.append(os.path.getsize(f))
        except OSError:  # read (and reported) by the partition
            sizes.append(0)
    target = min(max(sum(sizes) / 16, 1 * _MB), 64 * _MB)
    groups: List[List[str]] = [[]]
    held = 0
    for f, size in zip(files, sizes):
        if groups[-1] and held + size > target:
            groups.append([])
            held = 0
        groups[-1].append(f)
        held += size
    return groups


class _ReadPart:
    """Reads one partition: the rows of a group of files, in the meta's types."""

    def __init__(self, columns, filters, options, dtypes) -> None:
        self.columns = columns
        self.filters = filters
        self.options = options
        self.dtypes = dtypes

    def __call__(self, group: Sequence[str]):
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
):
    """A dask DataFrame of the observations of `paths` (a path, a glob
    pattern, or a list of them), one partition per `files_per_partition`
    files, in the order of the paths; by default files are grouped by size
    (see the module text; a file is never split).

    `columns`, `filters`, `required_columns`, `dropna`, `tables`, `errors`
    and `threads` mean what they mean for :func:`corvena.read_bufr`; one
    decoding thread per partition is the default, the workers being the
    parallel part. `meta` (an empty pandas DataFrame with the columns and
    their types) saves reading the first file to learn them.
    """
    dd = require("dask.dataframe", "dask", "corvena.dask.read_bufr")

    files = _paths(paths)
    if not files:
        raise ValueError("paths: no file given")
    if files_per_partition is not None and files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    columns = [columns] if isinstance(columns, str) else list(columns)
    options = dict(required_columns=required_columns, dropna=dropna, tables=tables, errors=errors, threads=threads)
    if meta is None:
        meta = _frame.read_bufr(files[0], columns, filters, _check_keys=False, **options).iloc[:0]
    groups = _groups(files, files_per_partition)
    reader = _ReadPart(columns, dict(filters or {}), options, meta.dtypes)
    return dd.from_map(reader, groups, meta=meta, label="corvena-read-bufr", enforce_metadata=False)
