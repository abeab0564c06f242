"""corvena: a fast, exact reader of WMO FM 94 BUFR edition 4.

Read the messages of a file and their values::

    import corvena

    for message in corvena.read("observations.bufr"):
        print(message.index, message.originating_centre, message.typical_time, message.tables_used)
        for subset in message.subsets():
            print(subset.get("airTemperature"), subset.get("#1#pressure"))

Messages are written back as they were read (a selection, or messages of
several files into one) with ``corvena.write(path, messages)``.

Tables come from an ecCodes definitions root when one is found
(``ECCODES_DEFINITION_PATH``, then ``/usr/share/eccodes/definitions``),
otherwise from the WMO BUFR4 tables shipped with the package; pass
``tables=`` to choose. The native classes (:class:`TableSet`,
:class:`BufrMessage`, :class:`DecodedValue`, ...) come from the extension
``_corvena`` and are re-exported here.
"""

from _corvena import (
    BufrMessage,
    DecodedValue,
    Descriptor,
    ElementDefinition,
    SequenceDefinition,
    TableSet,
    decode_values,
    decode_values_with_definitions,
    decode_values_with_tables,
    expand_descriptors,
    parse_all_bytes,
    parse_all_file,
    parse_bytes,
    parse_file,
)

from ._keys import key_from_name
from ._reader import Item, Items, Message, ReadError, ReadWarning, read
from ._tables import DEBIAN_DEFINITIONS, SHIPPED_TABLES, Tables, load_wmo_code_tables
from ._writer import write
from ._encoder import EncodeError, encode

try:
    from ._version import __version__  # written when the package is built
except ImportError:  # a source tree on the path
    __version__ = "0+unknown"

__all__ = [
    "__version__",
    # files, messages, items
    "read",
    "read_bufr",
    "write",
    "encode",
    "EncodeError",
    "Message",
    "Item",
    "Items",
    "ReadError",
    "ReadWarning",
    # tables
    "Tables",
    "TableSet",
    "ElementDefinition",
    "SequenceDefinition",
    "SHIPPED_TABLES",
    "DEBIAN_DEFINITIONS",
    "load_wmo_code_tables",
    "key_from_name",
    # the native layer
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "parse_bytes",
    "parse_file",
    "parse_all_bytes",
    "parse_all_file",
    "decode_values",
    "decode_values_with_tables",
    "decode_values_with_definitions",
    "expand_descriptors",
]


def __getattr__(name: str):
    # The DataFrame reader needs numpy and pandas: loaded on first use only.
    if name == "read_bufr":
        from .frame import read_bufr

        globals()["read_bufr"] = read_bufr  # found directly from now on
        return read_bufr
    raise AttributeError("module 'corvena' has no attribute %r" % name)
