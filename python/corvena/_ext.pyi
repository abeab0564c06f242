"""corvena._ext: native helpers of the package over the same core as _corvena."""

from typing import List, Mapping, Optional, Sequence, Tuple, Union

from _corvena import DecodedValue, TableSet

class Buffer:
    """A view of decoded memory that numpy reads in place."""

    __array_interface__: dict
    def __len__(self) -> int: ...
    def tobytes(self) -> bytes: ...

class Decoded:
    """One decoded message in column form, and the TableSet that decoded it."""

    compressed: bool
    subsets: int
    columns: int
    items: int
    texts: List[str]
    raw: Buffer
    nbytes: int
    codes: Buffer
    values: Buffer
    flags: Buffer
    text_index: Buffer
    subset_starts: Buffer
    column_codes: Buffer
    column_r0: Buffer
    column_flags: Buffer
    column_text_slot: Buffer
    column_scale: Buffer
    column_reference: Buffer
    column_wide_slot: Buffer
    cells: Buffer
    wide_increments: Buffer
    text_cells: Buffer
    def decoded_values(self) -> List[DecodedValue]: ...
    def new_references(self) -> List[List[int]]: ...

def scan(data: bytes) -> List[Tuple[int, int, Optional[str]]]:
    """The (start, length, error) of each message of `data`."""

def with_code_tables(tables: TableSet, code_tables: Mapping[int, Mapping[int, str]]) -> TableSet:
    """A new TableSet: `tables` plus the code and flag tables given as
    {element code: {raw value: meaning}}."""

def decode_arrays(data: bytes, tables: TableSet) -> Decoded: ...
def decode_many(
    messages: Sequence[bytes], tables: Union[TableSet, Sequence[TableSet]], threads: int
) -> List[Union[Decoded, str]]: ...
def json_columns(decoded: Decoded, kinds: bytes, widths: bytes) -> List[Optional[str]]: ...
def item_name(tables: TableSet, code: int, flags: int) -> str: ...
def meaning(tables: TableSet, code: int, raw: int, width: int) -> Optional[str]: ...
def encode(
    tables: TableSet,
    descriptors: Sequence[int],
    values: Union[
        Decoded, Tuple[bytes, bytes, List[Tuple[int, Optional[Union[str, bytes]]]], Optional[List[List[int]]]]
    ],
    subsets: Optional[Sequence[int]],
    compressed: bool,
    edits: Optional[List[Tuple[int, int, Union[float, str, bytes, None]]]],
) -> bytes: ...
def layout(tables: TableSet, descriptors: Sequence[int], counts: bytes) -> Tuple[bytes, bytes, Optional[List[int]]]: ...
