"""What ``corvena dump`` writes: text for people, JSON for programs.

Text and the JSON of uncompressed messages come from the item records of
each subset (:class:`Item`); the JSON of a compressed message is one record
per element position holding the values of all subsets, written by the
native writer of corvena._ext from the decoded columns.
"""
from __future__ import annotations

import array
import functools
import json
from typing import Any, Dict, List, TextIO

from . import _ext
from ._flags import whole
from ._reader import Item, Message



def typical_time(message: Message) -> str:
    when = message.typical_time
    if when is None:
        return "invalid"
    return "%04d-%02d-%02dT%02d:%02d:%02dZ" % (when.year, when.month, when.day, when.hour, when.minute, when.second)


def message_record(message: Message) -> Dict[str, Any]:
    """The header part of a message as the dump shows it."""
    h = message  # its own header fields, whatever its edition
    return {
        "file": message.source,
        "index": message.index,
        "edition": h.edition,
        "centre": h.originating_centre,
        "subcentre": h.originating_subcentre,
        "category": h.data_category,
        "master_table": h.master_table_number,
        "master_tables_version": h.master_tables_version_number,
        "local_tables_version": h.local_tables_version_number,
        "typical_time": typical_time(message),
        "number_of_subsets": h.number_of_subsets,
        "compressed": bool(h.compressed_data),
        "descriptors": ["%06d" % d for d in h.unexpanded_descriptors],
        "tables": message.tables_used,
    }


def item_record(item: Item) -> Dict[str, Any]:
    record = {"key": item.key, "descriptor": "%06d" % item.descriptor, "value": item.value, "unit": item.unit}
    if item.meaning is not None:
        record["meaning"] = item.meaning
    return record


def write_text(message: Message, out: TextIO) -> None:
    """The message for people: its header, then (written natively) a line per
    item under a line per subset, or for a compressed message a line per
    element with its one value where every subset holds the same, else the
    list of one value per subset."""
    r = message_record(message)
    out.write(
        "== %s message %d: centre %d/%s, category %d, %s, %d subset(s), %s\n   tables: %s\n"
        % (r["file"], r["index"], r["centre"], "-" if r["subcentre"] is None else r["subcentre"], r["category"],
           r["typical_time"],
           r["number_of_subsets"], "compressed" if r["compressed"] else "uncompressed", r["tables"])
    )
    out.write(_ext.dump_text(message.decoded(), message.loaded_tables().item_kinds))


def message_json(message: Message) -> str:
    """One message as a JSON object: the header record, then ``"subsets"``
    (a list per subset of item objects) for an uncompressed message or
    ``"items"`` (the columns) for a compressed one."""
    record = message_record(message)
    if message.header.compressed_data:
        head = json.dumps(record, ensure_ascii=False)
        return head[:-1] + ', "items": [' + ", ".join(native_json_columns(message)) + "]}"
    else:
        record["subsets"] = [[item_record(item) for item in subset] for subset in message.subsets()]
    return json.dumps(record, ensure_ascii=False)


def native_json_columns(message: Message) -> List[str]:
    """The JSON text of each column of a compressed message: per element
    position its key, descriptor and unit, and the values of all subsets,
    ``"value"`` when every subset holds the same, else ``"values"``, one per
    subset (likewise ``"meaning"``/``"meanings"`` for code and flag tables).
    The numbers are written by the native writer straight from their exact
    integers, with no Python number per value."""
    n = message.header.number_of_subsets
    if n == 0:
        return []
    decoded = message.decoded()
    tables = message.loaded_tables()
    codes = memoryview(decoded.column_codes.tobytes()).cast("I").tolist()
    infos = [tables.info(code) for code in codes]
    scales = memoryview(decoded.column_scale.tobytes()).cast("i").tolist()
    flags = decoded.column_flags.tobytes()
    # Whole numbers that the item records give as floats are written as
    # floats (0x10).
    kinds = bytes((2 if info.flag else 1 if info.coded else 0)
                  | (0x10 if scale <= 0 and not whole(info.integral, f) else 0)
                  for info, scale, f in zip(infos, scales, flags))
    widths = array.array("H", [min(info.width, 64) for info in infos]).tobytes()
    numbers = _ext.json_columns(decoded, kinds, widths)
    out: List[str] = []
    text_slots = memoryview(decoded.column_text_slot.tobytes()).cast("i").tolist()
    text_cells = memoryview(decoded.text_cells.tobytes()).cast("i")
    texts = decoded.texts
    for j, (column, text, info) in enumerate(zip(codes, numbers, infos)):
        head = _column_head(info.key, column, info.unit)
        if text is None:
            slot = text_slots[j]
            out.append(head + _text_values_json(texts, text_cells[slot * n:(slot + 1) * n].tolist()))
            continue
        key = "values" if text.startswith("[") else "value"
        out.append(head + '"%s": %s}' % (key, text))
    return out


def _text_values_json(texts: List[str], cells: List[int]) -> str:
    """The values of a character column, its texts without trailing NULs."""
    values = [texts[k].rstrip("\x00") if k >= 0 else None for k in cells]
    if values.count(values[0]) == len(values):
        return '"value": %s}' % json.dumps(values[0], ensure_ascii=False)
    return '"values": %s}' % json.dumps(values, ensure_ascii=False)


@functools.lru_cache(maxsize=4096)
def _column_head(key: str, descriptor: int, unit: str) -> str:
    return '{"key": %s, "descriptor": "%06d", "unit": %s, ' % (
        json.dumps(key, ensure_ascii=False), descriptor, json.dumps(unit, ensure_ascii=False))

