"""What ``corvena dump`` writes: text for people, JSON for programs.

The writers take records, never the decoder: per subset, a list of
:class:`Item` (text, and JSON of uncompressed messages); for a compressed
message, one column per element position holding the values of all subsets
(JSON). Both come from the producers below, which build them from the native
decoded values; a faster producer of the same records (a native array path)
replaces ``columns`` or ``Message.subsets`` without touching the writers.
"""

from __future__ import annotations

import array
import functools
import json
from typing import Any, Dict, List, Optional, TextIO

from . import _ext
from ._reader import Column, Item, Message, _flag_meaning, compressed_columns

# Units that say nothing a reader needs beside the value.
SILENT_UNITS = frozenset(("Numeric", "CCITT IA5", "CODE TABLE", "FLAG TABLE", "Code table", "Flag table", ""))


def typical_time(message: Message) -> str:
    when = message.typical_time
    if when is None:
        return "invalid"
    return "%04d-%02d-%02dT%02d:%02d:%02dZ" % (when.year, when.month, when.day, when.hour, when.minute, when.second)


def message_record(message: Message) -> Dict[str, Any]:
    """The header part of a message as the dump shows it."""
    h = message.header
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


def columns(message: Message) -> List[Dict[str, Any]]:
    """The columns of a compressed message: per element position its key,
    descriptor and unit, and the values of all subsets: ``"value"`` when
    every subset holds the same, else ``"values"``, one per subset (likewise
    ``"meaning"``/``"meanings"`` for code and flag tables)."""
    n = message.header.number_of_subsets
    out = []
    found = native_columns(message)
    for column in found if found is not None else compressed_columns(message):
        out.append(columns_record(column, n))
    return out


def native_columns(message: Message, wanted: Optional[set] = None,
                   parts: Optional[Dict[str, Any]] = None) -> Optional[List[Column]]:
    """The columns of ``compressed_columns`` from the native array decoder of
    corvena._ext, without a Python object per value on the way; None where
    that decoder is not built (or numpy is missing). With `wanted`, only the
    columns of those positions are made (the others are None); `parts` is
    the message already decoded by ``_ext.decode_arrays``."""
    if getattr(_ext, "decode_arrays", None) is None:
        return None
    try:
        import numpy as np

        from .arrays import MessageArrays, decode_arrays
    except ImportError:
        return None
    try:
        arrays = MessageArrays(parts) if parts is not None else decode_arrays(message.data, message.tables)
    except ValueError as exc:
        raise message._error(exc) from None
    n = message.header.number_of_subsets
    if not arrays.compressed or arrays.subsets != n or n == 0:
        return None
    tables = message.loaded_tables()
    m = arrays.columns
    cells = arrays.values_2d
    raws = arrays.raw.reshape(n, m)
    text_index = None
    out = []
    for j, descriptor in enumerate(arrays.column_descriptors.tolist()):
        if wanted is not None and j not in wanted:
            out.append(None)
            continue
        info = tables.info(descriptor)
        if info.text or not info.name:
            if text_index is None:
                text_index = arrays.text_index.reshape(n, m)
            slots = text_index[:, j]
            if (slots >= 0).any():
                texts = arrays.texts
                data: list = [texts[k].rstrip("\x00") if k >= 0 else None for k in slots.tolist()]
                out.append(Column(descriptor, info, info.name, data, None, None))
                continue
        column = cells[:, j]
        missing = np.isnan(column)
        some_missing = bool(missing.any())
        same = bool(missing.all()) or (not some_missing and bool((column == column[0]).all()))
        column_raws = raws[:, j]
        same_raw = bool((column_raws == column_raws[0]).all())
        shown = column
        if info.integral and not missing.all():
            at = int(np.argmin(missing))
            if (int(raws[at, j]) + info.reference) * info.factor == column[at]:
                shown = np.where(missing, 0, column).astype(np.int64)
        if some_missing:
            boxed = shown.astype(object)
            boxed[missing] = None
            data = boxed.tolist()
        else:
            data = shown.tolist()
        meanings: Optional[list] = None
        if info.flag or info.coded or not info.name:
            # One look-up per distinct figure; a missing flag value has no meaning.
            if same_raw:
                distinct, where = column_raws[:1], np.zeros(n, dtype=np.intp)
            else:
                distinct, where = np.unique(column_raws, return_inverse=True)
            if info.flag:
                found = [_flag_meaning(tables, descriptor, r, info.width) for r in distinct.tolist()]
            else:
                found = [tables.tableset.get_meaning(descriptor, r) for r in distinct.tolist()]
            where = where.reshape(-1)
            if info.flag and some_missing:
                where = np.where(missing, len(found), where)
            if len(found) == 1 and not (info.flag and some_missing):
                meanings = found * n
            else:
                meanings = np.array(found + [None], dtype=object)[where].tolist()
        out.append(Column(descriptor, info, info.name, data, meanings, None, same))
    return out


def _put(record: Dict[str, Any], name: str, data: list, same: Optional[bool] = None) -> None:
    first = data[0]
    if same if same is not None else data.count(first) == len(data):
        record[name] = first
    else:
        record[name + "s"] = data


def shown(value: object) -> str:
    if value is None:
        return "missing"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    return repr(value)


def write_text(message: Message, out: TextIO) -> None:
    r = message_record(message)
    out.write(
        "== %s message %d: centre %d/%d, category %d, %s, %d subset(s), %s\n   tables: %s\n"
        % (r["file"], r["index"], r["centre"], r["subcentre"], r["category"], r["typical_time"],
           r["number_of_subsets"], "compressed" if r["compressed"] else "uncompressed", r["tables"])
    )
    for number, subset in enumerate(message.subsets(), 1):
        lines = ["-- subset %d\n" % number]
        for item in subset:
            line = "%06d %s = %s" % (item.descriptor, item.key, shown(item.value))
            if item.value is not None and item.unit not in SILENT_UNITS:
                line += " " + item.unit
            if item.meaning is not None:
                line += " (%s)" % item.meaning
            lines.append(line + "\n")
        out.write("".join(lines))


def message_json(message: Message) -> str:
    """One message as a JSON object: the header record, then ``"subsets"``
    (a list per subset of item objects) for an uncompressed message or
    ``"items"`` (the columns) for a compressed one."""
    record = message_record(message)
    if message.header.compressed_data:
        texts = native_json_columns(message)
        if texts is not None:
            head = json.dumps(record, ensure_ascii=False)
            return head[:-1] + ', "items": [' + ", ".join(texts) + "]}"
        record["items"] = columns(message)
    else:
        record["subsets"] = [[item_record(item) for item in subset] for subset in message.subsets()]
    return json.dumps(record, ensure_ascii=False)


def native_json_columns(message: Message) -> Optional[List[str]]:
    """The JSON text of each column of a compressed message, the numbers
    written by the native writer straight from their exact integers (no
    Python number per value); the records are those of ``columns``. None
    where the native array path is not there."""
    if getattr(_ext, "json_columns", None) is None:
        return None
    n = message.header.number_of_subsets
    if n == 0:
        return None
    try:
        parts = _ext.decode_arrays(message.data, message.tables)
    except ValueError as exc:
        raise message._error(exc) from None
    tables = message.loaded_tables()
    codes = _column_codes(parts)
    infos = [tables.info(code) for code in codes]
    scales = memoryview(parts["column_scale"]).cast("i").tolist()
    references = memoryview(parts["column_reference"]).cast("q").tolist()
    # Where an operator changed the scale or reference of an element without
    # decimals, the item records give floats: so does the dump (0x10).
    kinds = bytes((2 if info.flag else 1 if info.coded else 0)
                  | (0x10 if scale <= 0 and not (info.integral and 10 ** -scale == info.factor
                                                 and reference == info.reference) else 0)
                  for info, scale, reference in zip(infos, scales, references))
    widths = array.array("H", [min(info.width, 64) for info in infos]).tobytes()
    numbers = _ext.json_columns(parts, message.tables, kinds, widths)
    out: List[str] = []
    for j, (column, text, info) in enumerate(zip(codes, numbers, infos)):
        if text is None:
            out.append(_text_column_json(info, column, parts, j, n))
            continue
        head = _column_head(info.key, column, info.unit)
        key = "values" if text.startswith("[") else "value"
        out.append(head + '"%s": %s}' % (key, text))
    return out


def _text_column_json(info, descriptor: int, parts: Dict[str, Any], j: int, n: int) -> str:
    """The record of a character column, its texts without trailing NULs."""
    slot = memoryview(parts["column_text_slot"]).cast("i")[j]
    cells = memoryview(parts["text_cells"].tobytes()).cast("i")[slot * n:(slot + 1) * n].tolist()
    texts = parts["texts"]
    values = [texts[k].rstrip("\x00") if k >= 0 else None for k in cells]
    head = _column_head(info.key, descriptor, info.unit)
    if values.count(values[0]) == n:
        return head + '"value": %s}' % json.dumps(values[0], ensure_ascii=False)
    return head + '"values": %s}' % json.dumps(values, ensure_ascii=False)


@functools.lru_cache(maxsize=4096)
def _column_head(key: str, descriptor: int, unit: str) -> str:
    return '{"key": %s, "descriptor": "%06d", "unit": %s, ' % (
        json.dumps(key, ensure_ascii=False), descriptor, json.dumps(unit, ensure_ascii=False))


def _column_codes(parts: Dict[str, Any]) -> List[int]:
    return memoryview(parts["column_codes"]).cast("I").tolist()


def columns_record(column: Column, n: int) -> Dict[str, Any]:
    info = column.info
    record: Dict[str, Any] = {"key": info.key, "descriptor": "%06d" % column.descriptor, "unit": info.unit}
    _put(record, "value", column.values, column.same)
    if column.meanings is not None and column.meanings.count(None) != n:
        _put(record, "meaning", column.meanings)
    return record
