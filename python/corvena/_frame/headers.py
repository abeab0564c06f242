"""The keys of a message's header, by their ecCodes names.

Sections 0, 1 and 3 give ``edition``, ``bufrHeaderCentre``,
``typicalDate`` and the like, edition by edition as ecCodes names them
(editions 2 and 3 have ``typicalYearOfCentury`` and no ``typicalSecond``).
ECMWF's local section (centre 98, a section 2 of 52 octets) gives the keys of
its report database: ``rdbType``, ``rdbtimeTime``, the corrections, and
either the satellite keys (``satelliteID``, ``localLatitude1`` ...) or, for
one-subset reports of other types, ``localLatitude``, ``localLongitude`` and
``ident``. ``count`` is the message's place in its file, counted from 1.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

from .._reader import Message

if TYPE_CHECKING:
    import numpy as np


def header_keys(message: Message) -> Dict[str, Any]:
    """The header and local section keys of `message` in ecCodes' order,
    with their values (text for the dates and times, ``ident``)."""
    h = message
    edition = h.edition
    out: Dict[str, Any] = {"edition": edition, "masterTableNumber": h.master_table_number}
    if edition == 4:
        out["bufrHeaderCentre"] = h.originating_centre
        out["bufrHeaderSubCentre"] = h.originating_subcentre
    elif edition == 3:
        out["bufrHeaderSubCentre"] = h.originating_subcentre
        out["bufrHeaderCentre"] = h.originating_centre
    else:
        out["bufrHeaderCentre"] = h.originating_centre
    out["updateSequenceNumber"] = h.update_sequence_number
    out["dataCategory"] = h.data_category
    if edition == 4:
        out["internationalDataSubCategory"] = h.international_data_subcategory
    out["dataSubCategory"] = h.local_data_subcategory
    out["masterTablesVersionNumber"] = h.master_tables_version_number
    out["localTablesVersionNumber"] = h.local_tables_version_number
    second = h.typical_second or 0
    if edition == 4:
        out["typicalYear"] = h.typical_year
    else:
        out["typicalYearOfCentury"] = h.typical_year % 100
    out["typicalMonth"] = h.typical_month
    out["typicalDay"] = h.typical_day
    out["typicalHour"] = h.typical_hour
    out["typicalMinute"] = h.typical_minute
    if edition == 4:
        out["typicalSecond"] = second
    if edition >= 3:
        year = h.typical_year + 2000 if h.typical_year < 100 else h.typical_year
        out["typicalDate"] = "%.4d%.2d%.2d" % (year, h.typical_month, h.typical_day)
        out["typicalTime"] = "%.2d%.2d%.2d" % (h.typical_hour, h.typical_minute, second)
    local = _ecmwf_local(message)
    satellite = local.pop(None, None)
    out.update(local)
    out["numberOfSubsets"] = h.number_of_subsets
    if satellite is not None:
        out.update(satellite)
    out["observedData"] = int(h.observed_data)
    out["compressedData"] = int(h.compressed_data)
    return out


def answers(message: Message, keys: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """Every key `message` answers in columns and filters: its header keys
    (`keys`, when already made), a full ``typicalYear`` and a
    ``typicalSecond`` whatever its edition, and ``count``."""
    out = dict(header_keys(message) if keys is None else keys)
    if "typicalYear" not in out:
        out["typicalYear"] = message.typical_year
    out.setdefault("typicalSecond", message.typical_second or 0)
    out["count"] = message.index + 1
    return out


def lookup(message: Message, names: List[str]) -> List[Any]:
    """The values of `names` in `message` (None where it has no such key)."""
    keys = answers(message)
    return [keys.get(name) for name in names]


def column(key: str, values: List[Any]) -> Tuple[np.ndarray, np.ndarray]:
    """Values of header key `key` (one per row) as a column, float64 for
    numbers and objects for text, and where the rows hold the key."""
    import numpy as np  # here: the header keys alone (corvena copy) need no numpy

    present = np.array([v is not None for v in values], dtype=bool)
    if key in TEXT:
        out = np.empty(len(values), dtype=object)
        out[:] = values
        return out, present
    return np.array([np.nan if v is None else v for v in values], dtype=np.float64), present


def passes(test: Callable[[np.ndarray, np.ndarray], np.ndarray], key: str, value: Any) -> bool:
    """Whether a message's value of header key `key` passes a filter test."""
    return bool(test(*column(key, [value]))[0])


def _bits(data: bytes, offset: int, width: int) -> int:
    """`width` bits of `data` from bit `offset`, most significant first."""
    first, last = offset // 8, (offset + width + 7) // 8
    whole = int.from_bytes(data[first:last], "big")
    return (whole >> (last * 8 - offset - width)) & ((1 << width) - 1)


def _ecmwf_local(message: Message) -> Dict[Any, Any]:
    """The keys of ECMWF's report database section (empty for other
    messages); the keys that follow numberOfSubsets are under None."""
    if message.originating_centre != 98 or not message.local_section_present or message.section2_length != 52:
        return {}
    start = 8 + message.header.section1_length + 4  # in the edition 4 form
    s2 = message.edition4_data[start : start + 48]
    if len(s2) < 48:
        return {}
    rdb_type, old_subtype = s2[0], s2[1]
    key_data, key_more, key_sat = s2[2:15], s2[15:23], s2[23:32]
    rdbtime, rectime, corrections = s2[34:37], s2[37:40], s2[40:44]
    out: Dict[Any, Any] = {"rdbType": rdb_type, "oldSubtype": old_subtype}
    for name, offset, width in (("localYear", 0, 12), ("localMonth", 12, 4), ("localDay", 16, 6),
                                ("localHour", 22, 5), ("localMinute", 27, 6), ("localSecond", 33, 6)):
        out[name] = _bits(key_data, offset, width)
    for prefix, data in (("rdbtime", rdbtime), ("rectime", rectime)):
        for name, offset, width in (("Day", 0, 6), ("Hour", 6, 5), ("Minute", 11, 6), ("Second", 17, 6)):
            out[prefix + name] = _bits(data, offset, width)
        if prefix == "rdbtime":
            out["rdbtimeTime"] = "%.2d%.2d%.2d" % (out["rdbtimeHour"], out["rdbtimeMinute"], out["rdbtimeSecond"])
    out["restricted"] = _bits(rectime, 23, 1)
    for k in range(4):
        out["correction%d" % (k + 1)] = corrections[k] >> 2
        out["correction%dPart" % (k + 1)] = (corrections[k] >> 1) & 1
    out["qualityControl"] = s2[44]
    out["newSubtype"] = int.from_bytes(s2[45:47], "big")
    subsets = message.number_of_subsets
    after: Dict[str, Any] = {}
    if rdb_type in (2, 3, 8, 12) or subsets > 1:
        after["localLongitude1"] = (_bits(key_data, 40, 26) - 18000000) / 100000
        after["localLatitude1"] = (_bits(key_data, 72, 25) - 9000000) / 100000
        after["localLongitude2"] = (_bits(key_more, 0, 26) - 18000000) / 100000
        after["localLatitude2"] = (_bits(key_more, 32, 25) - 9000000) / 100000
        if old_subtype == 255 or subsets > 255 or 121 <= old_subtype <= 130 or old_subtype == 31:
            after["localNumberOfObservations"] = _bits(key_sat, 0, 16)
            after["satelliteID"] = _bits(key_sat, 16, 16)
        else:
            after["localNumberOfObservations"] = _bits(key_sat, 0, 8)
            after["satelliteID"] = _bits(key_sat, 8, 16)
    else:
        after["localLatitude"] = (_bits(key_data, 72, 25) - 9000000) / 100000
        after["localLongitude"] = (_bits(key_data, 40, 26) - 18000000) / 100000
        after["ident"] = key_more.decode("ascii", "replace").strip()
    out[None] = after
    return out


# Every key a header can have (the vocabulary of columns and filters).
KNOWN = frozenset(
    """edition masterTableNumber bufrHeaderCentre bufrHeaderSubCentre updateSequenceNumber dataCategory
    internationalDataSubCategory dataSubCategory masterTablesVersionNumber localTablesVersionNumber typicalYear
    typicalYearOfCentury typicalMonth typicalDay typicalHour typicalMinute typicalSecond typicalDate typicalTime
    rdbType oldSubtype localYear localMonth localDay localHour localMinute localSecond rdbtimeDay rdbtimeHour
    rdbtimeMinute rdbtimeSecond rdbtimeTime rectimeDay rectimeHour rectimeMinute rectimeSecond restricted
    correction1 correction1Part correction2 correction2Part correction3 correction3Part correction4
    correction4Part qualityControl newSubtype numberOfSubsets localLongitude1 localLatitude1 localLongitude2
    localLatitude2 localNumberOfObservations satelliteID localLatitude localLongitude ident observedData
    compressedData count""".split()
)
# The keys whose values are text.
TEXT = frozenset(("typicalDate", "typicalTime", "rdbtimeTime", "ident"))
