"""Setting header keys of a message in place: :meth:`corvena.Message.replace`.

The keys that section 1 holds as plain fields are written into the
message's own octets, in its own edition's layout (see :mod:`._editions`);
every other octet stays as it was, so its data read as before. Each value
is checked against its field's width and meaning before anything changes.
Editions 2 and 3 hold the year of its century, read back as 2000 + year,
so their year is one of 2000..2099.
"""

from __future__ import annotations

import calendar
import difflib
from typing import Any, Dict, Mapping, Tuple

__all__ = ["SETTABLE", "set_header", "unknown_key"]

# Where each key lives in section 1, edition by edition: the offset of its
# first octet from the start of section 1, and its width in octets.
_FIELDS: Dict[int, Dict[str, Tuple[int, int]]] = {
    4: {
        "bufrHeaderCentre": (4, 2), "bufrHeaderSubCentre": (6, 2), "updateSequenceNumber": (8, 1),
        "dataCategory": (10, 1), "internationalDataSubCategory": (11, 1), "dataSubCategory": (12, 1),
        "masterTablesVersionNumber": (13, 1), "localTablesVersionNumber": (14, 1), "typicalYear": (15, 2),
        "typicalMonth": (17, 1), "typicalDay": (18, 1), "typicalHour": (19, 1), "typicalMinute": (20, 1),
        "typicalSecond": (21, 1),
    },
    3: {
        "bufrHeaderSubCentre": (4, 1), "bufrHeaderCentre": (5, 1), "updateSequenceNumber": (6, 1),
        "dataCategory": (8, 1), "dataSubCategory": (9, 1), "masterTablesVersionNumber": (10, 1),
        "localTablesVersionNumber": (11, 1), "typicalYearOfCentury": (12, 1), "typicalMonth": (13, 1),
        "typicalDay": (14, 1), "typicalHour": (15, 1), "typicalMinute": (16, 1),
    },
    2: {
        "bufrHeaderCentre": (4, 2), "updateSequenceNumber": (6, 1), "dataCategory": (8, 1),
        "dataSubCategory": (9, 1), "masterTablesVersionNumber": (10, 1), "localTablesVersionNumber": (11, 1),
        "typicalYearOfCentury": (12, 1), "typicalMonth": (13, 1), "typicalDay": (14, 1), "typicalHour": (15, 1),
        "typicalMinute": (16, 1),
    },
}

# The greatest value of each time field (the day's depends on the month).
_LIMITS = {"typicalMonth": (1, 12), "typicalHour": (0, 23), "typicalMinute": (0, 59), "typicalSecond": (0, 59),
           "typicalYearOfCentury": (0, 99)}

#: Every key :func:`set_header` takes, whatever the edition.
SETTABLE = frozenset(k for fields in _FIELDS.values() for k in fields) | {"typicalYear", "typicalDate", "typicalTime"}

# Header keys that are not set in place, and why.
_REFUSED = {
    "edition": "changing the edition re-lays section 1, which is not done",
    "masterTableNumber": "it chooses the tables the data are read with",
    "numberOfSubsets": "it is in section 3 and changes how the data are read",
    "observedData": "it is in section 3 and changes how the data are read",
    "compressedData": "it is in section 3 and changes how the data are read",
}


def unknown_key(key: str, known: Any, what: str = "header key") -> str:
    """The text of an error for a key that is none of `known`, with the
    closest of them."""
    close = difflib.get_close_matches(key, sorted(known), 3)
    return "unknown %s %r%s" % (what, key, " (closest: %s)" % ", ".join(close) if close else "")


def _number(key: str, value: Any) -> int:
    if isinstance(value, bool):
        raise ValueError("%s=%r: a whole number is needed" % (key, value))
    if isinstance(value, int):
        return value
    if isinstance(value, str) and value.strip().isdigit():
        return int(value.strip())
    raise ValueError("%s=%r: a whole number is needed" % (key, value))


def _digits(key: str, value: Any, count: int) -> str:
    text = str(value).strip() if isinstance(value, (int, str)) and not isinstance(value, bool) else ""
    if isinstance(value, int) and not isinstance(value, bool):
        text = text.zfill(count)
    if len(text) != count or not text.isdigit():
        raise ValueError("%s=%r: %d digits are needed" % (key, value, count))
    return text


def _fields(edition: int, header: Mapping[str, Any]) -> Dict[str, int]:
    """The section 1 fields that `header` sets, by key, shorthands expanded."""
    fields = _FIELDS[edition]
    out: Dict[str, Tuple[int, str]] = {}

    def put(key: str, value: int, given: str) -> None:
        if key in out and out[key][0] != value:
            raise ValueError("%s=%r: %s sets %s to %d already" % (given, header[given], out[key][1], key, out[key][0]))
        out[key] = (value, given)

    for key, value in header.items():
        if key in _REFUSED:
            raise ValueError("%s cannot be set: %s" % (key, _REFUSED[key]))
        if key not in SETTABLE:
            from ._frame.headers import KNOWN

            if key in KNOWN:
                raise ValueError("%s cannot be set: it is not a field of section 1" % key)
            raise KeyError(unknown_key(key, SETTABLE | set(_REFUSED)))
        if key == "typicalDate":
            text = _digits(key, value, 8)
            parts = [("typicalYear", int(text[:4])), ("typicalMonth", int(text[4:6])), ("typicalDay", int(text[6:]))]
        elif key == "typicalTime":
            text = _digits(key, value, 6)
            parts = [("typicalHour", int(text[:2])), ("typicalMinute", int(text[2:4]))]
            if edition == 4:
                parts.append(("typicalSecond", int(text[4:])))
            elif text[4:] != "00":
                raise ValueError("%s=%r: an edition %d message has no second" % (key, value, edition))
        else:
            parts = [(key, _number(key, value))]
        for name, number in parts:
            if name == "typicalYear" and edition != 4:
                if not 2000 <= number <= 2099:
                    raise ValueError("%s=%r: an edition %d message holds a year of 2000 to 2099 (its year of the "
                                     "century)" % (key, value, edition))
                name, number = "typicalYearOfCentury", number - 2000
            if name not in fields:
                raise ValueError("%s cannot be set: an edition %d message has no such field" % (key, edition))
            put(name, number, key)
    return {k: v for k, (v, _) in out.items()}


def set_header(data: bytes, header: Mapping[str, Any]) -> bytes:
    """`data`, one message of edition 2, 3 or 4, with the section 1 fields
    of `header` (ecCodes key names) set in place.

    Raises KeyError for an unknown key and ValueError, naming the key, the
    value and why, for a key that cannot be set or a value that does not
    fit its field; then nothing is changed."""
    edition = data[7]
    if edition not in _FIELDS:
        raise ValueError("unsupported BUFR edition %s: corvena sets header keys of editions 2, 3 and 4" % edition)
    values = _fields(edition, header)
    layout = _FIELDS[edition]
    section1 = bytearray(data[8 : 8 + int.from_bytes(data[8:11], "big")])
    for key, (offset, width) in layout.items():
        if key in values:
            value = values[key]
            low, high = _LIMITS.get(key, (0, (1 << (8 * width)) - 1))
            if not low <= value <= high:
                too_wide = value > (1 << (8 * width)) - 1
                raise ValueError("%s=%r: %s" % (key, value, "does not fit its %d bits in an edition %d message"
                                                % (8 * width, edition) if too_wide
                                                else "out of its range %d..%d" % (low, high)))
            section1[offset : offset + width] = value.to_bytes(width, "big")
    year = int.from_bytes(section1[slice(*_span(layout, "typicalYear"))], "big") if edition == 4 else \
        2000 + section1[layout["typicalYearOfCentury"][0]]
    month, day = section1[layout["typicalMonth"][0]], section1[layout["typicalDay"][0]]
    if {"typicalYear", "typicalYearOfCentury", "typicalMonth", "typicalDay"} & set(values):
        if not 1 <= month <= 12 or not 1 <= day <= calendar.monthrange(year, month)[1]:
            given = [k for k in header if k in ("typicalDate", "typicalYear", "typicalYearOfCentury", "typicalMonth",
                                                "typicalDay")]
            raise ValueError("%s: %.4d-%.2d-%.2d is no date" % (
                ", ".join("%s=%r" % (k, header[k]) for k in given), year, month, day))
    return data[:8] + bytes(section1) + data[8 + len(section1) :]


def _span(layout: Mapping[str, Tuple[int, int]], key: str) -> Tuple[int, int]:
    offset, width = layout[key]
    return offset, offset + width
