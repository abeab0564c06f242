"""Files, messages and their decoded items."""

from __future__ import annotations

import dataclasses
import datetime
import gc
import itertools
import os
import warnings
from contextlib import closing
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import _corvena

from . import _ext
from ._files import open_binary
from ._editions import SUPPORTED, as_edition4, edition_of, unsupported
from ._tables import SHIPPED_DESCRIPTION, LoadedTables, Tables, TablesSource, shared_tables

if TYPE_CHECKING:
    from .arrays import MessageArrays

__all__ = ["Item", "Items", "Message", "ReadError", "ReadWarning", "read"]

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, Any]
ErrorPolicy = Union[str, Callable[["ReadError"], None]]
Key = Union[str, int]

# The fields of section 0, 1 and 3 that a message exposes, as _corvena names them.
HEADER_FIELDS = (
    "edition",
    "total_length",
    "master_table_number",
    "originating_centre",
    "originating_subcentre",
    "update_sequence_number",
    "local_section_present",
    "data_category",
    "international_data_subcategory",
    "local_data_subcategory",
    "master_tables_version_number",
    "local_tables_version_number",
    "typical_year",
    "typical_month",
    "typical_day",
    "typical_hour",
    "typical_minute",
    "typical_second",
    "number_of_subsets",
    "observed_data",
    "compressed_data",
    "unexpanded_descriptors",
    "section1_length",
    "section2_length",
    "section3_length",
    "section4_length",
    "section4_data_offset",
    "section4_data_length",
)


class ReadError(ValueError):
    """A message that cannot be framed, read or decoded; names the file (or
    ``<bytes>``) and the index of the message in it (counted from 0). A
    source that holds no message at all has no index (``None``)."""

    def __init__(self, source: str, index: Optional[int], reason: str) -> None:
        if index is None:
            super().__init__("%s: %s" % (source, reason))
        else:
            super().__init__("%s: message %d: %s" % (source, index, reason))
        self.source = source
        self.index = index
        self.reason = reason

    def __reduce__(self):
        return (ReadError, (self.source, self.index, self.reason))


# The core labels most failures of section 4 as table parse errors (the
# tables are read by the same machinery); the package says what failed.
_TABLE_PARSE_PREFIX = "csv/table parse error: "


def section4_reason(text: str) -> str:
    """The words for a failure to decode section 4."""
    if text.startswith(_TABLE_PARSE_PREFIX):
        return "cannot decode section 4: " + text[len(_TABLE_PARSE_PREFIX):]
    return text


def positive_threads(threads: Any) -> int:
    """`threads` checked: a whole number of at least 1."""
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError("threads must be a whole number of at least 1, not %r" % (threads,))
    return threads


class ReadWarning(RuntimeWarning):
    """Issued for a message passed over under ``errors="warn"``."""


class Item(NamedTuple):
    """One decoded value.

    `value` is ``None`` when missing, an ``int`` for elements without
    decimals (counts, years, code and flag figures) decoded at their table
    scale and reference, a ``float`` otherwise (also where an operator added
    decimals),
    and a ``str`` (trailing NULs removed) for character data. `meaning` is the
    code-table entry, or the entries of the set bits of a flag table joined
    with "; ". `raw` is the integer as coded (``None`` for character data).
    """

    key: str
    value: Union[None, int, float, str]
    unit: str
    descriptor: int
    name: str
    meaning: Optional[str]
    raw: Optional[int]

    @property
    def missing(self) -> bool:
        return self.value is None


class Items(List[Item]):
    """A list of items (a message's or one subset's) with look-ups by key.

    A key is an ecCodes-style name (``"airTemperature"``), a descriptor
    (``12101`` or ``"012101"``), or either with a rank, ``"#2#airTemperature"``
    for the second occurrence (counted from 1).
    """

    def find(self, key: Key) -> List[Item]:
        """Every item of `key`, in order (only the ranked one for ``#n#key``)."""
        return [self[i] for i in self.positions(key)]

    def positions(self, key: Key) -> List[int]:
        """The indexes of the items that :meth:`find` gives."""
        rank, match = _parse_key(key)
        found = [i for i, item in enumerate(self) if match(item)]
        if rank is None:
            return found
        return found[rank - 1 : rank] if rank >= 1 else []

    def values(self, key: Key) -> list:
        """The values of every item of `key`, in order."""
        return [item.value for item in self.find(key)]

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of the first item of `key` (or the ranked one), else `default`."""
        found = self.find(key)
        return found[0].value if found else default


def split_key(key: Key) -> Tuple[Optional[int], Optional[int], Any]:
    """(rank, descriptor, name) of a key: ``"name"``, ``"#n#name"``,
    ``12101``, ``"012101"`` or ``"#n#012101"``; the descriptor is None for a
    name, the name None for a descriptor, and the rank None without one."""
    rank = None
    if isinstance(key, str) and key.startswith("#"):
        parts = key.split("#", 2)
        if len(parts) == 3 and parts[1].isdigit():
            rank, key = int(parts[1]), parts[2]
    if isinstance(key, int):
        return rank, key, None
    if isinstance(key, str) and len(key) == 6 and key.isdigit():
        return rank, int(key), None
    return rank, None, key


def _parse_key(key: Key) -> Tuple[Optional[int], Callable[[Item], bool]]:
    rank, code, name = split_key(key)
    if code is not None:
        return rank, lambda item: item.descriptor == code
    return rank, lambda item: item.key == name


def build_items(decoded: "_ext.Decoded", tables: LoadedTables, by_subset: bool = False) -> Any:
    """Item records for a decoded message (``Items``, or a list of ``Items``
    per subset), made natively: what the items of one element share (key,
    unit, name) is one object, as is each meaning and each text."""
    # Millions of small tuples and no cycles among them: the cyclic
    # collector would only walk them again and again while they are built.
    enabled = gc.isenabled()
    gc.disable()
    try:
        made = _ext.items(decoded, Item, tables.item_kinds, by_subset)
        return [Items(part) for part in made] if by_subset else Items(made)
    finally:
        if enabled:
            gc.enable()


def _restored_tables(spec: Optional[str]) -> Tables:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return shared_tables(spec)


class Message:
    """One BUFR message of a file: its header, and its items decoded on demand.

    Every header field of :class:`corvena.BufrMessage` reads as an attribute
    (``message.originating_centre``, ``message.number_of_subsets``, ...).
    Decoding happens on the first call of :meth:`items`, :meth:`subsets`,
    :meth:`get` or :meth:`values`, and is kept. A message pickles (its bytes,
    where it came from and, if decoded, its items), so it can be sent to
    another process and decoded there.
    """

    if TYPE_CHECKING:  # read through __getattr__ from the native header
        edition: int
        total_length: int
        master_table_number: int
        originating_centre: int
        originating_subcentre: Optional[int]  # None in edition 2
        update_sequence_number: int
        local_section_present: bool
        data_category: int
        international_data_subcategory: Optional[int]  # None in editions 2 and 3
        local_data_subcategory: int
        master_tables_version_number: int
        local_tables_version_number: int
        typical_year: int
        typical_month: int
        typical_day: int
        typical_hour: int
        typical_minute: int
        typical_second: Optional[int]  # None in editions 2 and 3
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

    __slots__ = ("data", "edition4_data", "source", "index", "header", "_overrides", "_tables", "_loaded", "_decoded",
                 "_arrays", "_values", "_items", "_subsets", "_used")

    def __init__(self, data: bytes, source: str, index: int, tables: Optional[Tables]) -> None:
        """Frames `data` (one message of edition 2, 3 or 4); raises ValueError
        when it cannot."""
        #: The bytes of the message, from "BUFR" to "7777", as in the file.
        self.data = data
        #: The same message in edition 4 form (the same object for an edition
        #: 4 message): what the decoders read.
        self.edition4_data, self._overrides = as_edition4(data)
        #: The native header of the edition 4 form (section 0, 1 and 3), a
        #: :class:`corvena.BufrMessage`; the message's own attributes say
        #: what its edition holds.
        self.header = _corvena.parse_bytes(self.edition4_data)
        #: The file it came from (``<bytes>`` or a stream's name otherwise).
        self.source = source
        #: Its place in the file, counted from 0.
        self.index = index
        self._tables = tables
        self._loaded: Optional[LoadedTables] = None
        self._decoded: Optional[Any] = None  # the one native result of its decoding
        self._arrays: Optional["MessageArrays"] = None
        self._values: Optional[list] = None
        self._items: Optional[Items] = None
        self._subsets: Optional[List[Items]] = None
        self._used: Optional[str] = None

    def __getattr__(self, name: str) -> Any:
        if name in HEADER_FIELDS:
            overrides = self._overrides
            if overrides is None:
                return getattr(self.header, name)
            if name in overrides:
                return overrides[name]
            value = getattr(self.header, name)
            if name == "section4_data_offset":
                value += overrides["_shift"]
            return value
        raise AttributeError("'Message' object has no attribute %r" % name)

    def __repr__(self) -> str:
        return "<corvena.Message %s #%d centre=%d category=%d subsets=%d%s time=%s>" % (
            self.source,
            self.index,
            self.header.originating_centre,
            self.header.data_category,
            self.header.number_of_subsets,
            " compressed" if self.header.compressed_data else "",
            self.typical_time.isoformat() if self.typical_time else "invalid",
        )

    @property
    def typical_time(self) -> Optional[datetime.datetime]:
        """The typical time of section 1 (UTC), or ``None`` when it is no valid date."""
        h = self.header
        try:
            return datetime.datetime(
                h.typical_year, h.typical_month, h.typical_day, h.typical_hour, h.typical_minute, h.typical_second,
                tzinfo=datetime.timezone.utc,
            )
        except ValueError:
            return None

    def replace(self, *, header: Optional[Dict[str, Any]] = None, values: Optional[Dict[str, Any]] = None,
                subsets: Optional[Sequence[int]] = None, compressed: Optional[bool] = None) -> "Message":
        """A new message: this one with the section 1 keys of `header` set in
        place, in its own edition's layout, and, when `values`, `subsets` or
        `compressed` are given, its data encoded anew.

        The header keys are ecCodes' names: ``bufrHeaderCentre``,
        ``bufrHeaderSubCentre``, ``updateSequenceNumber``, ``dataCategory``,
        ``internationalDataSubCategory`` (edition 4), ``dataSubCategory``,
        ``masterTablesVersionNumber``, ``localTablesVersionNumber``,
        ``typicalYear`` (2000..2099 in editions 2 and 3, which hold the year of
        the century; ``typicalYearOfCentury`` there too), ``typicalMonth``,
        ``typicalDay``, ``typicalHour``, ``typicalMinute``, ``typicalSecond``
        (edition 4), and ``typicalDate`` (YYYYMMDD) and ``typicalTime``
        (HHMMSS) for several at once. An unknown key raises KeyError naming
        the closest known ones; a key that cannot be set (the edition,
        section 3's ``numberOfSubsets``, ``observedData`` and
        ``compressedData``, a field the edition lacks) or a value that does
        not fit its field or is no date or time raises ValueError naming the
        key, the value and why.

        `values` sets data keys (``"airTemperature"``, ``"#2#airTemperature"``,
        ``12101``): a single value sets every item of the key in every subset,
        a list one item each, in order (``None`` or NaN: missing). `subsets`
        keeps only those subsets (indexes from 0, in that order), and
        `compressed` chooses the layout of the data. A value that cannot be
        encoded raises :class:`corvena.EncodeError` naming the key, subset and
        why; nothing is changed then."""
        from ._header_set import set_header

        data = self.data
        if values or subsets is not None or compressed is not None:
            from ._encoder import reencode

            data = reencode(self, values, subsets, compressed)
        data = set_header(data, header or {})
        return Message(data, self.source, self.index, self._tables)

    def _error(self, reason: object) -> ReadError:
        return ReadError(self.source, self.index, str(reason))

    def loaded_tables(self) -> LoadedTables:
        if self._loaded is None:
            if self._tables is None:
                raise self._error("its tables were not kept when it was pickled")
            self._loaded = self._tables.for_message(self.header)
        return self._loaded

    @property
    def tables(self) -> "_corvena.TableSet":
        """The TableSet that decodes this message."""
        return self.loaded_tables().tableset

    @property
    def tables_used(self) -> str:
        """Which tables decode (or decoded) this message, in words."""
        if self._used is None:
            self._used = self.loaded_tables().description
        return self._used

    def decoded(self) -> "_ext.Decoded":
        """The native result of decoding this message (decoded once, on
        first use): every other form of its items is made from it."""
        if self._decoded is None:
            if self._tables is None:  # restored from a pickle with its items
                raise self._error("decoded values are not kept across pickling; use items()")
            tables = self.loaded_tables()
            try:
                self._decoded = _ext.decode_arrays(self.edition4_data, tables.tableset)
            except ValueError as exc:
                raise self._decode_failure(exc, tables) from None
        return self._decoded

    def _decode_failure(self, failure: object, tables: LoadedTables) -> "ReadError":
        reason = section4_reason(str(failure))
        if self.header.local_tables_version_number and tables.description.startswith(SHIPPED_DESCRIPTION):
            reason += (
                " (the message asks for local tables version %d of centre %d, which the shipped WMO tables"
                " lack: give tables= or ECCODES_DEFINITION_PATH an ecCodes definitions root)"
                % (self.header.local_tables_version_number, self.header.originating_centre)
            )
        return self._error(reason)

    def arrays(self) -> "MessageArrays":
        """The items of the message as numpy arrays (see :mod:`corvena.arrays`)."""
        if self._arrays is None:
            from .arrays import MessageArrays  # numpy is imported when first needed

            self._arrays = MessageArrays(self.decoded(), self.loaded_tables())
        return self._arrays

    def decoded_values(self) -> list:
        """The native :class:`corvena.DecodedValue` items of the whole message
        (all subsets, in order); not picklable."""
        if self._values is None:
            self._values = self.decoded().decoded_values()
        return self._values

    def items(self) -> Items:
        """Every decoded item of the message, all subsets in order."""
        if self._items is None:
            if self._subsets is not None:
                self._items = Items(itertools.chain.from_iterable(self._subsets))
            else:
                self._items = build_items(self.decoded(), self.loaded_tables())
        return self._items

    def subsets(self) -> List[Items]:
        """The items of each subset: a list of :class:`Items`, one per subset."""
        if self._subsets is None:
            if self._items is not None:
                starts = self.arrays().subset_offsets.tolist()
                self._subsets = [Items(self._items[a:b]) for a, b in zip(starts, starts[1:])]
            else:
                self._subsets = build_items(self.decoded(), self.loaded_tables(), by_subset=True)
        return self._subsets

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of the first item of `key` in the message, else `default`."""
        return self.items().get(key, default)

    def values(self, key: Key) -> list:
        """The values of every item of `key` in the message (all subsets)."""
        return self.items().values(key)

    def __reduce__(self):
        spec = self._tables.spec if self._tables is not None else None
        keep_items = self._items is not None or (self._tables is not None and spec is _UNPICKLABLE)
        items: Optional[List[Item]] = None
        starts: Optional[List[int]] = None
        if keep_items:
            try:
                subsets = self.subsets()
            except ReadError:  # kept undecoded: decoding it again raises the same
                pass
            else:
                items = list(self.items())
                starts = [0]
                for s in subsets:
                    starts.append(starts[-1] + len(s))
        used = self._used if self._used is not None else (self.tables_used if keep_items else None)
        return (_restore, (self.data, self.source, self.index, False if spec is _UNPICKLABLE else spec, used, items, starts))


_UNPICKLABLE = Tables.UNPICKLABLE


def _restore(data, source, index, spec, used, items, starts):
    message = Message(data, source, index, None if spec is False else _restored_tables(spec))
    message._used = used
    if items is not None:
        message._items = Items(Item(*i) for i in items)
        message._subsets = [Items(message._items[a:b]) for a, b in zip(starts, starts[1:])]
    return message


def read(source: Source, *, tables: TablesSource = None, errors: ErrorPolicy = "raise") -> Iterator[Message]:
    """The messages of a file, one at a time.

    `source` is a path (``str`` or ``os.PathLike``), the bytes of a file, or a
    binary file object (which need not seek). A path with a protocol
    (``s3://``, ``gs://``, ``https://``, ``memory://``, ``file://`` ...) is
    opened with fsspec, which must then be installed (``pip install
    'corvena[fsspec]'``); its errors name the URL. Messages are found by the
    native scan; their items are decoded when first asked for. Files and
    streams are read 16 MiB at a time: memory does not grow with their size.

    `tables` chooses the tables (see :class:`corvena.Tables`): ``None`` (an
    ecCodes definitions root if one is found, else the tables shipped with
    the package), a :class:`corvena.TableSet`, a directory (ecCodes
    definitions root, ecCodes table directory or WMO BUFR4 CSV tables), or a
    :class:`corvena.Tables` to share its cache between files.

    `errors` says what a message that cannot be framed or read does:
    ``"raise"`` raises :class:`ReadError` once every message before it has
    been delivered, ``"skip"`` passes over it, ``"warn"`` passes over it with
    a :class:`ReadWarning`; a callable is called with the :class:`ReadError`
    and the reading goes on. A message whose section 4 cannot be decoded
    raises :class:`ReadError` when its items are asked for, and leaves the
    other messages untouched.
    """
    name, blocks, resolver, part = _open(source, tables, errors)
    return _messages(name, blocks, resolver, errors, part)


# Files and streams are read and framed a block at a time, so that memory
# does not grow with their size. A message is at most 16 MiB (its length
# has three octets): one that a block cuts is carried into the next.
READ_BLOCK = 16 << 20
# A part of a file reads on past its end only as far as a message it holds
# needs, in blocks growing from this size.
PAST_END_BLOCK = 1 << 16


@dataclasses.dataclass(frozen=True)
class Part:
    """The messages of the file at `path` (a path or a URL) that start at
    or after `start` and before `end` (``None``: the end of the file),
    numbered from `index` as in the file. `start` is 0 or where the scan of
    the whole file finds message `index`; reading the part checks that it
    still does. Made by :func:`split`."""

    path: str
    start: int
    end: Optional[int]
    index: int


def _open(source: Source, tables: TablesSource,
          errors: ErrorPolicy) -> Tuple[str, Iterator[bytes], Tables, Optional[Part]]:
    """The name of `source`, its blocks of bytes, the tables to read them
    with, and the part of a file it is (None: the whole), once `errors` is
    known to be a policy."""
    if not (callable(errors) or errors in ("raise", "skip", "warn")):
        raise ValueError("errors must be 'raise', 'skip', 'warn' or a callable, not %r" % (errors,))
    resolver = shared_tables(tables)
    name, blocks = _load(source)
    return name, blocks, resolver, source if isinstance(source, Part) else None


def _load(source: Source) -> Tuple[str, Iterator[bytes]]:
    """The name of `source` and its bytes, block after block. The first
    block is read here, so that a file that cannot be opened or a stream in
    text mode fails the call itself."""
    if isinstance(source, bytes):
        return "<bytes>", iter((source,))
    if isinstance(source, (bytearray, memoryview)):
        return "<bytes>", iter((bytes(source),))
    if isinstance(source, Part):
        handle = open_binary(source.path)
        try:
            handle.seek(source.start)
        except BaseException:
            handle.close()
            raise
        return source.path, _part_blocks(handle, source)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        handle = open_binary(path)
        name = str(path)
    else:
        if getattr(source, "read", None) is None:
            raise TypeError("source: a path, bytes or a binary file object is expected, not %s"
                            % type(source).__name__)
        handle, name = None, str(getattr(source, "name", "<stream>"))
    stream = source if handle is None else handle
    try:
        first = _block(stream, _first_block_size(handle))
    except BaseException:
        if handle is not None:
            handle.close()
        raise
    if handle is not None and len(first) < READ_BLOCK:  # the whole file
        handle.close()
        return name, iter((first,) if first else ())
    return name, _blocks(first, stream, handle)


def _first_block_size(handle: Any) -> int:
    """How much to ask for first: a file of known size whole when it is
    smaller than a block (asking for 16 MiB of a small file costs more than
    reading it), else a block."""
    if handle is None:
        return READ_BLOCK
    try:
        known = os.fstat(handle.fileno()).st_size
    except (OSError, AttributeError, ValueError):  # no descriptor (fsspec) or none to ask
        return READ_BLOCK
    return known + 1 if 0 < known < READ_BLOCK else READ_BLOCK


def _block(stream: Any, size: int = READ_BLOCK) -> bytes:
    data = stream.read(size)
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError("source: the file object must be opened in binary mode")
    return bytes(data)


def _blocks(first: bytes, stream: Any, handle: Any) -> Iterator[bytes]:
    try:
        block = first
        while block:
            yield block
            block = _block(stream)
    finally:
        if handle is not None:
            handle.close()


def _part_blocks(handle: Any, part: Part) -> Iterator[bytes]:
    """The blocks of a part of a file, from its start (`handle` is there):
    up to its end, then on, in growing blocks, for as long as the scan asks."""
    try:
        at, past = part.start, PAST_END_BLOCK
        while True:
            if part.end is None:
                size = READ_BLOCK
            elif at < part.end:
                size = min(READ_BLOCK, part.end - at)
            else:
                size, past = past, min(2 * past, READ_BLOCK)
            block = _block(handle, size)
            if not block:
                return
            yield block
            at += len(block)
    finally:
        handle.close()


def _messages(name: str, blocks: Iterator[bytes], tables: Tables, errors: ErrorPolicy,
              part: Optional[Part] = None) -> Iterator[Message]:
    for index, data, _, entry in _part_entries(name, blocks, errors, part):
        message = _message_at(name, data, tables, errors, index, entry)
        if message is not None:
            yield message


Entry = Tuple[int, int, Optional[str]]


def _part_entries(name: str, blocks: Iterator[bytes], errors: ErrorPolicy,
                  part: Optional[Part]) -> Iterator[Tuple[int, bytes, int, Entry]]:
    """The entries of a whole file (`part` None) or of a part of one."""
    if part is None:
        return _entries(name, blocks, errors)
    return _entries(name, blocks, errors, start=part.start, end=part.end, index=part.index, exact=part.start > 0)


def _entries(name: str, blocks: Iterator[bytes], errors: ErrorPolicy, start: int = 0, end: Optional[int] = None,
             index: int = 0, exact: bool = False) -> Iterator[Tuple[int, bytes, int, Entry]]:
    """The scan of the bytes: (index, data, base, (start, length, failure))
    of each message, `data` the bytes it indexes, found at offset `base` in
    the file. The scan goes on past damage: each failure is reported once,
    in its place, and every message after it is still delivered. A failure
    keeps its index, so indices are places in the file. Finding none is a
    failure too.

    The blocks are scanned as they come; what the end of a block may have
    cut (a message running past it, a marker split by it) is scanned again
    with the next block, so the entries are those of the whole at once.

    The blocks may begin at offset `start` of the file, where the scan of
    the whole finds message `index` (`exact`: the first message must start
    there, or the file has changed), or where it resumes after one; then
    the entries are those the scan of the whole gives from there. Those
    that start at `end` or after are left out."""
    data, head, found = b"", b"", False
    base = start  # the offset of `data` in the file, for the offsets errors give
    try:
        following = next(blocks, None)
        while following is not None:
            data = data + following if data else following
            head = head or data[:8]
            following = next(blocks, None)
            entries = _ext.scan(data, base)
            carry = len(data)
            if following is not None:
                # A failure that reaches the end may be a message the block cut:
                # it and what follows are scanned again with the next block.
                # Else the scan would resume past the last entry: at least the
                # last three bytes go on, in case they begin a marker.
                cut = next((i for i, (at, length, failure) in enumerate(entries)
                            if failure is not None and at + length >= len(data)), None)
                if cut is not None:
                    carry = entries[cut][0]
                    entries = entries[:cut]
                else:
                    resume = 0
                    if entries:
                        at, length, failure = entries[-1]
                        resume = at + length if failure is None else at + 1
                    carry = max(resume, len(data) - 3)
            for entry in entries:
                if end is not None and base + entry[0] >= end:
                    return
                if exact and not found and base + entry[0] != start:
                    raise _changed(name, start, index)
                found = True
                yield index, data, base, entry
                index += 1
            data = data[carry:]
            base += carry
        if exact and not found:
            raise _changed(name, start, index)
        if not found:
            _handle(ReadError(name, None, _nothing_found(head)), errors, stacklevel=4)
    finally:
        close = getattr(blocks, "close", None)
        if close is not None:
            close()


def _changed(name: str, offset: int, index: int) -> ReadError:
    return ReadError(name, index, "no message starts at offset %d any more, where one did when the file was"
                                  " divided into parts: the file has changed" % offset)


def split(path: str, size: int, count: int) -> List[Union[str, Part]]:
    """The file at `path` (a path or a URL, of `size` bytes) in about
    `count` parts of about equal size, each beginning with a message:
    their messages in order are those of the whole file, each once, with
    its index in the file. `path` alone when it holds a single message (or
    none). Where the file is damaged the cuts are found by the same scan
    as reading it finds messages, so a "BUFR" within data never makes one."""
    targets = [size * i // count for i in range(1, count)]
    if not targets:
        return [path]
    cuts: List[Tuple[int, int]] = []  # (offset, index) of the first message of each part but the first
    with closing(_starts(path)) as starts:
        for offset, index in starts:
            if offset < targets[0]:
                continue
            if index > 0:  # else the part before would hold nothing
                cuts.append((offset, index))
            while targets and targets[0] <= offset:
                targets.pop(0)
            if not targets:
                break
    if not cuts:
        return [path]
    firsts = [(0, 0)] + cuts
    ends = [offset for offset, _ in cuts] + [None]
    return [Part(path, offset, end, index) for (offset, index), end in zip(firsts, ends)]


def _starts(path: str) -> Iterator[Tuple[int, int]]:
    """The offset and index of each message that the scan of the file
    finds, in order. While the messages follow one another whole, their
    lengths are followed: one small read at each end marker, none of the
    data. From the first place where they do not (damage, bytes between
    messages), the bytes are read and scanned."""
    handle = open_binary(path)
    with closing(handle):
        at, index = 0, 0
        head = handle.read(8)
        # What the scan frames: "BUFR", a total length of at least 8 octets
        # in the file, "7777" at its end.
        while len(head) == 8 and head[:4] == b"BUFR":
            total = int.from_bytes(head[4:7], "big")
            if total < 8:
                break
            handle.seek(at + total - 4)
            tail = handle.read(12)
            if tail[:4] != b"7777":
                break
            yield at, index
            at, index, head = at + total, index + 1, tail[4:]
        handle.seek(at)
        blocks = _blocks(_block(handle), handle, None)
        for index, _, base, entry in _entries(path, blocks, "skip", start=at, index=index):
            yield base + entry[0], index


def _message_at(name: str, data: bytes, tables: Tables, errors: ErrorPolicy, index: int,
                entry: Tuple[int, int, Optional[str]]) -> Optional[Message]:
    """The message of one scan entry; None when it cannot be read (its
    ReadError dealt with as `errors` says)."""
    start, length, failure = entry
    if failure is not None:
        edition = edition_of(data[start : start + 8])
        if edition is not None and edition not in SUPPORTED and edition < 2:
            # Editions 0 and 1 have no total length in section 0: their
            # framing fails, and the edition is what to say.
            failure = "%s (%s)" % (unsupported(edition), failure)
        _handle(ReadError(name, index, failure), errors, stacklevel=4)
        return None
    try:
        return Message(data[start : start + length], name, index, tables)
    except ValueError as exc:
        _handle(ReadError(name, index, str(exc)), errors, stacklevel=4)
        return None


class Framed:
    """An edition 4 message of a file, framed but not parsed: its bytes and
    the tables that decode it, which is all that decoding it in bulk needs.
    It is parsed into a :class:`Message` only when more is asked of it."""

    __slots__ = ("edition4_data", "source", "index", "_loaded", "_decoded", "_resolver")

    def loaded_tables(self) -> LoadedTables:
        return self._loaded

    def message(self) -> Message:
        """The message itself (ValueError when it cannot be parsed)."""
        message = Message(self.edition4_data, self.source, self.index, self._resolver)
        message._loaded, message._decoded = self._loaded, self._decoded
        return message

    def arrays(self) -> "MessageArrays":
        from .arrays import MessageArrays

        return MessageArrays(self._decoded, self.loaded_tables())

    def _decode_failure(self, failure: object, tables: LoadedTables) -> "ReadError":
        try:
            message = self.message()
        except ValueError as exc:  # what reading it as a Message would have said
            return ReadError(self.source, self.index, str(exc))
        return message._decode_failure(failure, tables)


def read_framed(source: Source, *, tables: TablesSource = None,
                errors: ErrorPolicy = "raise") -> Iterator[Union[Message, Framed]]:
    """The messages of a file for decoding in bulk: as :func:`read` gives
    them, except that an edition 4 message whose tables are known from an
    earlier one (the same master table, centre, sub-centre and versions in
    section 1) comes as a :class:`Framed` message, not parsed in Python."""
    name, blocks, resolver, part = _open(source, tables, errors)
    known: Dict[bytes, LoadedTables] = {}
    new = object.__new__
    for index, data, _, entry in _part_entries(name, blocks, errors, part):
        start, length, failure = entry
        key = None
        if failure is None and length >= 31 and data[start + 7] == 4:
            chunk = data[start : start + length]
            key = chunk[11:16] + chunk[21:23]
            loaded = known.get(key)
            if loaded is not None:
                framed = new(Framed)
                framed.edition4_data, framed.source, framed.index = chunk, name, index
                framed._loaded, framed._decoded, framed._resolver = loaded, None, resolver
                yield framed
                continue
        message = _message_at(name, data, resolver, errors, index, entry)
        if message is not None:
            if key is not None:
                known[key] = message.loaded_tables()
            yield message


def _nothing_found(data: bytes) -> str:
    if data[:2] == b"\x1f\x8b":
        return "no BUFR message found: the file is gzip-compressed; decompress it first (gunzip, or gzip.open)"
    if data[:3] == b"BZh" or data[:6] == b"\xfd7zXZ\x00":
        return "no BUFR message found: the file is compressed (bzip2 or xz); decompress it first"
    return "no BUFR message found"


def _handle(error: ReadError, errors: ErrorPolicy, stacklevel: int = 3) -> None:
    """What `errors` ("raise", "warn", "skip" or a callable) says to do with
    a message that cannot be read; a warning points `stacklevel` frames up."""
    if errors == "raise":
        raise error
    if errors == "warn":
        warnings.warn(str(error), ReadWarning, stacklevel=stacklevel)
    elif callable(errors):
        errors(error)
