"""Types of the corvena package: the Python face and the native classes it re-exports."""

import os
from typing import List, Optional, Sequence, Union

from ._keys import key_from_name as key_from_name
from ._reader import Item as Item
from ._reader import Items as Items
from ._reader import Message as Message
from ._reader import ReadError as ReadError
from ._reader import ReadWarning as ReadWarning
from ._reader import read as read
from ._tables import DEBIAN_DEFINITIONS as DEBIAN_DEFINITIONS
from ._tables import SHIPPED_TABLES as SHIPPED_TABLES
from ._tables import Tables as Tables
from ._tables import load_wmo_code_tables as load_wmo_code_tables
from ._encoder import EncodeError as EncodeError
from ._encoder import encode as encode
from ._writer import write as write
from .frame import read_bufr as read_bufr

__version__: str
__all__: List[str]

_Path = Union[str, "os.PathLike[str]"]

class BufrMessage:
    """The framing and identification data of one message (sections 0, 1
    and 3), as the native scanner reads them."""

    edition: int
    total_length: int
    master_table_number: int
    originating_centre: int
    originating_subcentre: int
    update_sequence_number: int
    local_section_present: bool
    data_category: int
    international_data_subcategory: int
    local_data_subcategory: int
    master_tables_version_number: int
    local_tables_version_number: int
    typical_year: int
    typical_month: int
    typical_day: int
    typical_hour: int
    typical_minute: int
    typical_second: int
    number_of_subsets: int
    observed_data: bool
    compressed_data: bool
    unexpanded_descriptors: List[int]
    section1_length: int
    section2_length: int
    section3_length: int
    section4_length: int
    section4_data_offset: int
    section4_data_length: int

class DecodedValue:
    """One value as the native decoder gives it (not picklable: use
    :meth:`Message.items` for records that pickle)."""

    descriptor: int
    name: str
    raw_value: Optional[float]  # scaled number; None when missing or text
    raw: Optional[int]  # the integer as coded; None for text
    raw_text: Optional[str]  # character data
    raw_meaning: Optional[str]  # code-table entry
    data: Union[None, float, str]  # text, meaning or number, whichever applies

class Descriptor:
    """An F-X-Y descriptor."""

    f: int
    x: int
    y: int
    fxy: int
    def __init__(self, f: int, x: int, y: int) -> None: ...
    @staticmethod
    def from_fxy(code: int) -> "Descriptor": ...

class ElementDefinition:
    """A Table B entry."""

    code: int
    name: str
    unit: str
    abbreviation: str  # the ecCodes key; "" with the WMO CSV tables
    scale: int
    reference: int
    width: int
    element_type: str

class SequenceDefinition:
    """A Table D entry."""

    code: int
    members: List[int]

class TableSet:
    """Table B, Table D and code tables, loaded once and used for many messages."""

    element_count: int
    sequence_count: int
    @staticmethod
    def from_eccodes(path: _Path) -> "TableSet":
        """One ecCodes table directory (``element.table``, ``sequence.def``, ``codetables/``)."""
    @staticmethod
    def from_bufr4_45(path: _Path) -> "TableSet":
        """The WMO BUFR4 CSV tables (Table B and D) of a directory."""
    @staticmethod
    def from_definitions(path: _Path, message: BufrMessage) -> "TableSet":
        """The master and local tables `message` asks for under an ecCodes definitions root."""
    def get_element(self, code: int) -> Optional[ElementDefinition]: ...
    def get_sequence(self, code: int) -> Optional[SequenceDefinition]: ...
    def get_meaning(self, code: int, raw: int) -> Optional[str]: ...
    def expand(self, descriptors: Sequence[int]) -> List[int]:
        """The element descriptors `descriptors` expand to."""

def parse_bytes(data: bytes) -> BufrMessage: ...
def parse_file(path: _Path) -> BufrMessage: ...
def parse_all_bytes(data: bytes) -> List[BufrMessage]: ...
def parse_all_file(path: _Path) -> List[BufrMessage]: ...
def decode_values(data: bytes, table_dir: _Path) -> List[DecodedValue]: ...
def decode_values_with_tables(data: bytes, tables: TableSet) -> List[DecodedValue]: ...
def decode_values_with_definitions(data: bytes, definitions_root: _Path) -> List[DecodedValue]: ...
def expand_descriptors(table_dir: _Path, descriptors: Sequence[int]) -> List[int]: ...
