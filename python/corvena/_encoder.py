"""Encoding messages: :func:`corvena.encode` and the data keys of
:meth:`corvena.Message.replace`.

Section 4 is written by the native encoder, which walks the template as the
decoder does and writes each value where the decoder reads one; this module
gathers the values, lays out sections 0 to 5 and turns a refused value into
an error that names its key and subset. Nothing is returned or written
until the whole message is encoded.
"""

from __future__ import annotations

import array
import math
import struct
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import _corvena

from . import _ext
from ._flags import LOCAL, OPERATOR, TEXT
from ._header_set import SETTABLE, set_header, unknown_key
from ._tables import LoadedTables, TablesSource, shared_tables

__all__ = ["encode", "encode_message", "header_keys", "EncodeError", "reencode"]

Header = Union[Mapping[str, Any], Any]
Subset = Union[Sequence[Any], Mapping[Any, Any]]

FACTOR = 1  # the layout's flag of a replication factor

# The header attributes of a message and the ecCodes keys of section 1.
_ATTRIBUTES = {
    "originating_centre": "bufrHeaderCentre",
    "originating_subcentre": "bufrHeaderSubCentre",
    "update_sequence_number": "updateSequenceNumber",
    "data_category": "dataCategory",
    "international_data_subcategory": "internationalDataSubCategory",
    "local_data_subcategory": "dataSubCategory",
    "master_tables_version_number": "masterTablesVersionNumber",
    "local_tables_version_number": "localTablesVersionNumber",
    "typical_year": "typicalYear",
    "typical_month": "typicalMonth",
    "typical_day": "typicalDay",
    "typical_hour": "typicalHour",
    "typical_minute": "typicalMinute",
    "typical_second": "typicalSecond",
}
_EDITION4_ONLY = {"internationalDataSubCategory", "typicalSecond"}
_NEEDED = ("masterTablesVersionNumber", "typicalYear", "typicalMonth", "typicalDay")


class EncodeError(ValueError):
    """A value that cannot be encoded: ``key``, ``subset`` (from 1) and
    ``reason`` say which and why."""

    def __init__(self, text: str, key: Optional[str] = None, subset: Optional[int] = None,
                 reason: Optional[str] = None) -> None:
        super().__init__(text)
        self.key = key
        self.subset = subset
        self.reason = reason


def header_keys(header: Header) -> Tuple[Dict[str, Any], int, Optional[bytes]]:
    """(section 1 keys, master table number, section 2 octets or None) of `header`:
    a :class:`corvena.Message` or :class:`corvena.BufrMessage` (its own
    fields and local section), or a mapping of ecCodes keys or of those
    attribute names (plus ``masterTableNumber``)."""
    if header is None:
        header = {}
    if isinstance(header, Mapping):
        keys: Dict[str, Any] = {}
        master = 0
        for key, value in header.items():
            if key in ("masterTableNumber", "master_table_number"):
                master = int(value)
                continue
            name = _ATTRIBUTES.get(key, key)
            if name not in SETTABLE:
                raise KeyError(unknown_key(key, SETTABLE | set(_ATTRIBUTES) | {"masterTableNumber"}))
            keys[name] = value
        return keys, master, None
    keys = {}
    for attribute, name in _ATTRIBUTES.items():
        value = getattr(header, attribute, None)
        if value is not None:
            keys[name] = value
    return keys, int(header.master_table_number), _local_section(header)


def _head(data: bytes) -> bytes:
    """Sections 1 and 2 of a message of edition 2, 3 or 4, as they are."""
    at = 8 + int.from_bytes(data[8:11], "big")
    if data[8 + (9 if data[7] == 4 else 7)] & 0x80:  # the flag of a local section
        at += int.from_bytes(data[at : at + 3], "big")
    return data[8:at]


def _local_section(header: Any) -> Optional[bytes]:
    """The section 2 of a Message (its octets after the first four, which
    may be none), or None when it has none."""
    data = getattr(header, "data", None)
    if not isinstance(data, bytes):
        return None
    head = _head(data)
    length1 = int.from_bytes(head[0:3], "big")
    return head[length1 + 4 :] if len(head) > length1 else None


def _section(body: bytes, even: bool) -> bytes:
    if even and (len(body) + 3) % 2:
        body += b"\0"
    return (len(body) + 3).to_bytes(3, "big") + body


def assemble(edition: int, master_table: int, keys: Mapping[str, Any], local: Optional[bytes],
             descriptors: Sequence[int], subsets: int, observed: bool, compressed: bool, data: bytes) -> bytes:
    """One message of `edition` (3 or 4) from its parts; the section 1 keys
    are checked and set as :meth:`Message.replace` sets them."""
    if edition not in (3, 4):
        raise ValueError("edition=%r: corvena writes editions 3 and 4" % (edition,))
    section1 = bytearray(22 if edition == 4 else 18)
    section1[0:3] = len(section1).to_bytes(3, "big")
    section1[3] = master_table
    section1[9 if edition == 4 else 7] = 0x80 if local is not None else 0
    head = bytes(section1) + (b"" if local is None else _section(b"\0" + local, edition < 4))
    message = _sections(edition, head, descriptors, subsets, observed, compressed, data)
    wanted = {k: v for k, v in keys.items() if edition == 4 or k not in _EDITION4_ONLY}
    return set_header(message, wanted)


def _sections(edition: int, head: bytes, descriptors: Sequence[int], subsets: int, observed: bool,
              compressed: bool, data: bytes, reserved: int = 0) -> bytes:
    """A message from its sections 1 and 2 as they are (`head`), section
    3's fields (`reserved`: its fourth octet) and section 4's data."""
    even = edition < 4  # the sections of editions 2 and 3 have an even number of octets
    words = [(c // 100000) << 14 | ((c // 1000) % 100) << 8 | c % 1000 for c in descriptors]
    flags = (0x80 if observed else 0) | (0x40 if compressed else 0)
    s3 = bytes([reserved]) + subsets.to_bytes(2, "big") + bytes([flags]) + struct.pack(">%dH" % len(words), *words)
    body = head + _section(s3, even) + _section(b"\0" + data, even) + b"7777"
    return b"BUFR" + (len(body) + 8).to_bytes(3, "big") + bytes([edition]) + body


def _descriptor_list(descriptors: Iterable[Union[int, str]]) -> List[int]:
    out = []
    for d in descriptors:
        code = int(d)
        if isinstance(d, bool) or not 0 <= code <= 363255 or code % 1000 > 255 or (code // 1000) % 100 > 63:
            raise ValueError("descriptor %r: F (0 to 3), X (0 to 63) and Y (0 to 255) as FXXYYY are expected" % (d,))
        out.append(code)
    return out


class _Gathered:
    """Values of items in data order, subset after subset, in the form the
    native encoder takes."""

    def __init__(self) -> None:
        self.numbers: List[float] = []
        self.starts: List[int] = []
        self.texts: List[Tuple[int, Optional[str]]] = []
        self.keys: List[List[str]] = []  # the key of each item, per subset (for errors)

    def begin(self) -> None:
        self.starts.append(len(self.numbers))
        self.keys.append([])

    def add(self, value: Any, key: str = "") -> None:
        subset, item = len(self.starts), len(self.numbers) - self.starts[-1]
        if isinstance(value, (str, bytes)):
            self.texts.append((len(self.numbers), value))
            self.numbers.append(0.0)
        elif value is None or _is_missing(value):
            self.numbers.append(math.nan)
        else:
            try:
                number = float(value)
            except (TypeError, ValueError):
                raise EncodeError("%s: %r is no number, text or None" % (_where(key, subset, item), value),
                                  key or None, subset, "not a number") from None
            if isinstance(value, bool) or math.isnan(number) and not _is_missing(value):
                raise EncodeError("%s: %r is no number, text or None" % (_where(key, subset, item), value),
                                  key or None, subset, "not a number")
            self.numbers.append(number)
        self.keys[-1].append(key)

    def native(self, new_references: Optional[List[List[int]]]) -> tuple:
        try:
            numbers = array.array("d", self.numbers).tobytes()
        except OverflowError:
            at = next(i for i, v in enumerate(self.numbers) if isinstance(v, int) and abs(v) > 2 ** 1023)
            subset = max(s for s, start in enumerate(self.starts, 1) if start <= at)
            raise EncodeError("subset %d, item %d: %d is too large for any element"
                              % (subset, at - self.starts[subset - 1] + 1, self.numbers[at]), None, subset,
                              "too large") from None
        return (numbers, array.array("Q", self.starts).tobytes(), self.texts, new_references)


def _is_missing(value: Any) -> bool:
    """NaN, and pandas' NA and NaT."""
    if type(value).__name__ in ("NAType", "NaTType"):
        return True
    try:
        return math.isnan(value)
    except TypeError:
        return False


def _where(key: str, subset: int, item: int) -> str:
    return "%ssubset %d, item %d" % ("%s: " % key if key else "", subset, item + 1)


def _layout(loaded: LoadedTables, descriptors: List[int], given: Mapping[str, List[Any]],
            ranked: Mapping[Tuple[str, int], Any]) -> Tuple[List[int], bytes, List[int]]:
    """The descriptors and flags of the items of a subset given by key
    (`given`: its values by plain key, `ranked`: by key and rank), and the
    replication counts: those given under the factor's key, else the number
    of values given for the first element of the group that were not
    placed yet."""
    counts: List[int] = []
    tables = loaded.tableset
    while True:
        codes_b, flags, group = _ext.layout(tables, descriptors, struct.pack("<%dQ" % len(counts), *counts))
        codes = list(struct.unpack("<%dI" % (len(codes_b) // 4), codes_b))
        if group is None:
            return codes, flags, counts
        factor = codes[-1]
        factor_key = loaded.info(factor).key
        placed = sum(1 for c, f in zip(codes, flags) if f & FACTOR and loaded.info(c).key == factor_key) - 1
        explicit = given.get(factor_key)
        if (factor_key, placed + 1) in ranked or explicit is not None and placed < len(explicit):
            count = ranked.get((factor_key, placed + 1), explicit[placed] if explicit else None)
            if count is None or int(count) != count or count < 0:
                raise EncodeError("%s: %r is no replication count" % (factor_key, count), factor_key, 1,
                                  "not a count")
            counts.append(int(count))
            continue
        first = _first_element(tables, group)
        key = loaded.info(first).key if first is not None else None
        if key is None or key not in given:
            counts.append(0)
            continue
        placed_k = sum(1 for c, f in zip(codes, flags) if not f & (OPERATOR | FACTOR) and c == first)
        counts.append(max(len(given[key]) - placed_k, 0))


def _first_element(tables: Any, codes: Sequence[int]) -> Optional[int]:
    for code in codes:
        f = code // 100000
        if f == 0:
            return code
        if f == 3:
            try:
                found = _first_element(tables, tables.get_sequence(code).members)
            except (KeyError, LookupError, ValueError, AttributeError):
                return None
            if found is not None:
                return found
        if f == 1:
            return None  # a replication's first element depends on its count
    return None


def _by_name(loaded: LoadedTables, values: Mapping[Any, Any]) -> Dict[str, List[Any]]:
    """The values given under plain keys (no rank) as lists, keyed by the
    element's key (a descriptor given is named as the tables name it)."""
    from ._reader import split_key

    out: Dict[str, List[Any]] = {}
    for key, value in values.items():
        rank, code, name = split_key(key)
        if rank is not None:
            continue
        if code is not None:
            name = loaded.info(code).key
        out[name] = list(value) if isinstance(value, (list, tuple)) or _is_array(value) else [value]
    return out


def _by_rank(loaded: LoadedTables, values: Mapping[Any, Any]) -> Dict[Tuple[str, int], Any]:
    """The values given under ranked keys (``#n#key``), by (key, rank)."""
    from ._reader import split_key

    out = {}
    for key, value in values.items():
        rank, code, name = split_key(key)
        if rank is not None:
            out[(loaded.info(code).key if code is not None else name, rank)] = value
    return out


def _is_array(value: Any) -> bool:
    return hasattr(value, "__array__") and getattr(value, "ndim", 0) == 1


def _gather_mapping(loaded: LoadedTables, descriptors: List[int], values: Mapping[Any, Any], out: _Gathered,
                    subset: int) -> None:
    plain = _by_name(loaded, values)
    ranked = _by_rank(loaded, values)
    codes, flags, counts = _layout(loaded, descriptors, plain, ranked)
    kinds = loaded.item_kinds
    keys = [kinds[(f & (TEXT | OPERATOR | LOCAL)) << 24 | c][0] for c, f in zip(codes, flags)]
    factors = iter(counts)
    seen: Dict[str, int] = {}
    used_ranked = set()
    for code, flag, key in zip(codes, flags, keys):
        if flag & OPERATOR:
            out.add(None, key)
            continue
        rank = seen[key] = seen.get(key, 0) + 1
        if flag & FACTOR:
            out.add(next(factors), key)  # as laid out, given or not
            used_ranked.add((key, rank))
        elif (key, rank) in ranked:
            out.add(ranked[(key, rank)], key)
            used_ranked.add((key, rank))
        elif key in plain and rank <= len(plain[key]):
            out.add(plain[key][rank - 1], key)
        else:
            out.add(None, key)
    for key, given in plain.items():
        if key not in seen:
            raise EncodeError("%s: subset %d: the template holds no such key" % (key, subset), key, subset,
                              "unknown key")
        if len(given) > seen[key]:
            raise EncodeError("%s: subset %d: %d values are given, the template holds the key %d times"
                              % (key, subset, len(given), seen[key]), key, subset, "too many values")
    for key, rank in ranked:
        if (key, rank) not in used_ranked:
            raise EncodeError("#%d#%s: subset %d: the template holds the key %d times"
                              % (rank, key, subset, seen.get(key, 0)), key, subset, "unknown key")


def _gather(loaded: LoadedTables, descriptors: List[int], subsets: Any) -> _Gathered:
    out = _Gathered()
    for number, subset in enumerate(_subset_rows(subsets), 1):
        out.begin()
        if isinstance(subset, Mapping):
            _gather_mapping(loaded, descriptors, subset, out, number)
        elif isinstance(subset, (str, bytes)) or not isinstance(subset, Iterable):
            raise TypeError("subset %d: a sequence of values or a mapping by key is expected, not %s"
                            % (number, type(subset).__name__))
        else:
            numbers, add = out.numbers, out.add
            for value in subset:
                kind = type(value)
                if kind is float or kind is int:  # the common case, kept short
                    numbers.append(value)
                else:
                    add(value)
    return out


def _subset_rows(subsets: Any) -> Iterable[Any]:
    """The subsets of a list, of a DataFrame (a mapping per row) or of
    MessageArrays-like columns (a mapping of key: one value per subset)."""
    if hasattr(subsets, "to_dict") and hasattr(subsets, "columns"):  # a DataFrame
        import pandas as pd

        rows = subsets.to_dict("records")
        # NaN, None, pd.NA and NaT are all missing values.
        return [{k: (None if pd.api.types.is_scalar(v) and pd.isna(v) else v) for k, v in row.items()}
                for row in rows]
    if isinstance(subsets, Mapping):
        columns = {k: list(v) for k, v in subsets.items()}
        n = {len(v) for v in columns.values()}
        if len(n) > 1:
            raise ValueError("columns of %s values: one value per subset is expected in every column" % sorted(n))
        return [{k: v[i] for k, v in columns.items()} for i in range(n.pop() if n else 0)]
    return subsets


def _raise_fault(exc: ValueError, keys: Optional[List[List[str]]], loaded: LoadedTables) -> None:
    if len(exc.args) != 4:
        raise exc
    why, subset, item, code = exc.args
    key = ""
    if keys is not None and subset < len(keys) and item < len(keys[subset]):
        key = keys[subset][item]
    if not key and code and code < 100000:
        key = loaded.info(code).key
    where = "%ssubset %d, item %d (%06d)" % (key + ": " if key else "", subset + 1, item + 1, code)
    raise EncodeError("%s: %s" % (where, why), key or None, subset + 1, why) from None


def encode_message(loaded: LoadedTables, descriptors: List[int], values: Any, *, subsets: Optional[List[int]],
                   compressed: bool, edits: Optional[list], keys: Optional[List[List[str]]] = None) -> bytes:
    """Section 4 data of `values` (a Decoded object or gathered values)."""
    try:
        return _ext.encode(loaded.tableset, descriptors, values, subsets, compressed, edits)
    except ValueError as exc:
        _raise_fault(exc, keys, loaded)
        raise


def encode(header: Header, descriptors: Iterable[Union[int, str]], subsets: Any, *, compressed: bool = False,
           edition: int = 4, tables: TablesSource = None, observed: Optional[bool] = None,
           new_references: Optional[Sequence[Sequence[int]]] = None) -> bytes:
    """The bytes of one BUFR message of `descriptors` (the unexpanded list
    of section 3) holding `subsets`.

    `header` gives section 1: a :class:`Message` (its section 1 and local
    section as they are when it is of `edition`, else its fields), a
    :class:`corvena.BufrMessage` (its fields),
    or a mapping of ecCodes keys (``bufrHeaderCentre``, ``dataCategory``,
    ``masterTablesVersionNumber``, ``typicalDate``, ...) or of the
    attribute names (``originating_centre``, ...), plus
    ``masterTableNumber``; fields not given are 0, but the tables version and
    the typical date must be given. `observed` (section 3's flag of observed
    data) is the header's, or True.

    Each subset is a sequence of values, one per item in data order as
    :meth:`Message.items` gives them (replication factors, operator items
    and associated fields included; an operator item's value is not used),
    or a mapping by key (``"airTemperature"``, ``"#2#airTemperature"``,
    ``12101`` or ``"012101"``): a list gives a key's values in order, a
    single value its first. By key, a delayed replication repeats as many
    times as its factor's key says, else as many times as there are values
    of the group's first element left to place; the items of a subset given
    by key are laid out with every data present indicator 0 (data present),
    so give a template whose bitmaps mark data absent as lists. `subsets` may also be a
    DataFrame or a mapping of columns (one row per subset, one column per
    key), a numeric numpy array of subsets x items (NaN: missing), or the
    :class:`corvena.arrays.MessageArrays` of a decoded message. Numbers
    are floats or ints, texts str, missing values None (or NaN). The new
    reference values of operator 2-03 are given per subset in
    `new_references`.

    Raises :class:`EncodeError` (a ValueError) naming the key, subset and
    reason for a value that does not fit its element (its width after scale
    and reference), a text longer than its field, a replication count that
    disagrees with the data, an unknown key; ValueError for a descriptor
    the tables lack."""
    if edition not in (3, 4):
        raise ValueError("edition=%r: corvena writes editions 3 and 4" % (edition,))
    if observed is None:
        observed = bool(getattr(header, "observed_data", True))
    codes = _descriptor_list(descriptors)
    raw = getattr(header, "data", None)
    if isinstance(raw, bytes) and raw[7:8] == bytes([edition]) and hasattr(header, "header"):
        # A Message of this edition: its own section 1 and 2, as they are.
        keys, head = None, _head(raw)
        loaded = shared_tables(tables).for_message(header.header)
    else:
        keys, master, local = header_keys(header)
        missing = [k for k in _NEEDED if k not in keys and not (k.startswith("typical") and "typicalDate" in keys)]
        if missing:
            raise ValueError("header: %s must be given" % ", ".join(missing))
        skeleton = assemble(4, master, keys, None, codes, 0, observed, compressed, b"")
        loaded = shared_tables(tables).for_message(_corvena.parse_bytes(skeleton))
    decoded = getattr(subsets, "decoded", None)
    if isinstance(decoded, _ext.Decoded):  # MessageArrays: its decoded message, as it is
        count, item_keys, values = subsets.subsets, None, decoded
    else:
        matrix = _matrix(subsets)
        if matrix is not None:
            count, item_keys, gathered = matrix
        else:
            gathered = _gather(loaded, codes, subsets)
            count, item_keys = len(gathered.starts), gathered.keys
        refs = [list(r) for r in new_references] if new_references is not None else None
        if refs is not None and len(refs) == 1 and count > 1:
            refs = refs * count
        values = gathered.native(refs)
    data = encode_message(loaded, codes, values, subsets=None, compressed=compressed, edits=None, keys=item_keys)
    if keys is None:
        return _sections(edition, head, codes, count, observed, compressed, data)
    return assemble(edition, master, keys, local, codes, count, observed, compressed, data)


class _Matrix:
    def __init__(self, numbers: bytes, starts: bytes) -> None:
        self.numbers, self.starts = numbers, starts

    def native(self, new_references: Optional[List[List[int]]]) -> tuple:
        return (self.numbers, self.starts, [], new_references)


def _matrix(subsets: Any) -> Optional[Tuple[int, None, _Matrix]]:
    """A numeric numpy array of subsets x items (NaN missing), given to the
    native encoder as it is."""
    if type(subsets).__module__ != "numpy" or getattr(subsets, "ndim", 0) != 2 or subsets.dtype.kind not in "fiu":
        return None
    import numpy as np

    rows, columns = subsets.shape
    numbers = np.ascontiguousarray(subsets, dtype="<f8").tobytes()
    starts = (np.arange(rows, dtype="<u8") * columns).tobytes()
    return rows, None, _Matrix(numbers, starts)


def _edits(message: Any, values: Mapping[Any, Any]) -> Tuple[list, List[List[str]]]:
    """(subset, item, value) for each item that `values` sets, by key: a
    single value sets every item of the key (in every subset), a list one
    item each, in order."""
    parts = message.subsets()
    keys = [[item.key for item in part] for part in parts]
    edits = []
    for key, value in values.items():
        where = [(s, j) for s, part in enumerate(parts) for j in part.positions(key)]
        if not where:
            raise EncodeError("%s: the message holds no such key" % (key,), str(key), None, "unknown key")
        many = isinstance(value, (list, tuple)) or _is_array(value)
        given = list(value) if many else [value] * len(where)
        if len(given) != len(where):
            raise EncodeError("%s: %d values are given for the %d items of the key" % (key, len(given), len(where)),
                              str(key), None, "too many values" if len(given) > len(where) else "too few values")
        for (s, j), v in zip(where, given):
            if v is not None and not isinstance(v, (str, bytes)) and _is_missing(v):
                v = None
            edits.append((s, j, v))
    return edits, keys


def reencode(message: Any, values: Optional[Mapping[Any, Any]], subsets: Optional[Sequence[int]],
             compressed: Optional[bool]) -> bytes:
    """`message` (a :class:`Message`) with data keys set, only the subsets
    `subsets` (indexes from 0, in that order) kept, or its compression
    changed: its data encoded anew, every section before section 3 as it
    was."""
    loaded = message.loaded_tables()
    edits, keys = _edits(message, values) if values else (None, None)
    n = message.number_of_subsets
    chosen = None
    if subsets is not None:
        chosen = [int(s) for s in subsets]
        bad = [s for s in chosen if not 0 <= s < n]
        if bad:
            raise IndexError("subsets %s: the message holds subsets 0 to %d" % (bad, n - 1))
        if keys is not None:
            keys = [keys[s] for s in chosen]
    packed = message.compressed_data if compressed is None else bool(compressed)
    descriptors = list(message.unexpanded_descriptors)
    data = encode_message(loaded, descriptors, message.decoded(), subsets=chosen, compressed=packed, edits=edits,
                          keys=keys)
    raw = message.data
    head = _head(raw)
    count = n if chosen is None else len(chosen)
    return _sections(raw[7], head, descriptors, count, message.observed_data, packed, data,
                     reserved=raw[8 + len(head) + 3])
