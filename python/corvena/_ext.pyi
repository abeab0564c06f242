"""corvena._ext: native helpers of the package over the same core as _corvena."""

from typing import List, Mapping, Optional, Tuple

from . import TableSet

def scan(data: bytes) -> Tuple[List[Tuple[int, int]], Optional[str]]:
    """The (start, length) of each message of `data`, and the text of the
    error that stopped the scan (None when it reached the end)."""

def with_code_tables(tables: TableSet, code_tables: Mapping[int, Mapping[int, str]]) -> TableSet:
    """A new TableSet: `tables` plus the code and flag tables given as
    {element code: {raw value: meaning}}."""
