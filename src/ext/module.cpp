// corvena._ext: the package's native extras over the same core as
// _corvena. It takes and returns _corvena's own objects (TableSet,
// BufrMessage), whose types it looks up in _corvena when it is imported.
#include <Python.h>

#include "ext/functions.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"

namespace {

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"scan", cfunc(corvena::ext::fn_scan), kFlags,
     "scan(data, base)\n--\n\n"
     "The messages of `data` as (start, length, error) triples in buffer order, found\n"
     "by the BUFR marker, the total length of section 0 and the end marker 7777;\n"
     "error is None for a framed message, else the text saying why what starts at\n"
     "`start` cannot be framed. The scan goes on past damage: after a framed\n"
     "message it resumes at its end, after a failure at the next marker. Offsets in\n"
     "error texts count from `base`, the offset of `data` in its file."},
    {"with_code_tables", cfunc(corvena::ext::fn_with_code_tables), kFlags,
     "with_code_tables(tables, code_tables)\n--\n\n"
     "A new TableSet holding everything of `tables` plus the code and flag tables of\n"
     "`code_tables`, a mapping {element code: {raw value: meaning}}; a table given\n"
     "here replaces the one `tables` has for that code."},
    {"decode_arrays", cfunc(corvena::ext::fn_decode_arrays), kFlags,
     "decode_arrays(data, tables)\n--\n\n"
     "The first message of `data` decoded once, as a Decoded object: its columns as\n"
     "Buffer views that numpy reads in place, and every other form of the message\n"
     "on demand. Fails with the same ValueError as decode_values_with_tables."},
    {"item_name", cfunc(corvena::ext::fn_item_name), kFlags,
     "item_name(tables, code, flags)\n--\n\n"
     "The name that an item of `code` with the column flags `flags` carries in\n"
     "DecodedValue.name: the fixed name of an operator item, an associated field,\n"
     "inserted characters or a local element, else the element's name in `tables`."},
    {"meaning", cfunc(corvena::ext::fn_meaning), kFlags,
     "meaning(tables, code, raw, width)\n--\n\n"
     "The meaning of a figure of element `code`: with `width` 0, the entry of its code\n"
     "table for `raw`; else, for a flag table of `width` bits, the entries of the set\n"
     "bits of `raw` (\"bit N\" where the table has none) joined with \"; \". None when\n"
     "there is no meaning."},
    {"decode_many", cfunc(corvena::ext::fn_decode_many), kFlags,
     "decode_many(messages, tables, threads)\n--\n\n"
     "decode_arrays for each bytes object of `messages`, on `threads` threads\n"
     "with the interpreter lock released. `tables` is one TableSet for all\n"
     "or one per message. Gives a list in message order: the Decoded object of a\n"
     "decoded message, or the text of its error."},
    {"unknown_codes", cfunc(corvena::ext::fn_unknown_codes), kFlags,
     "unknown_codes(decoded, lut)\n--\n\n"
     "The distinct descriptors (a sorted list) of the items of the Decoded objects of\n"
     "`decoded` that the int16 table `lut` holds as -2: those to look up before rows()."},
    {"rows", cfunc(corvena::ext::fn_rows), kFlags,
     "rows(decoded, lut, key_of, width, required, positions)\n--\n\n"
     "The rows of observations of the Decoded objects of `decoded` (all decoded with\n"
     "one TableSet), one message after the other, as (messages, values, present,\n"
     "texts, seen): bytes of the message (index into `decoded`) of each row (int64);\n"
     "bytes of the value of each of the `width` keys in each row, key after key\n"
     "(float64, NaN when absent, missing or characters); bytes of whether each row\n"
     "holds each key, key after key (uint8); for each key that `positions` marks, a\n"
     "list of its text in each row (None where absent or missing); bytes of whether\n"
     "any item, read through a bitmap or not, is of each key (uint8). The element of\n"
     "each item is `lut`[descriptor] (int16 per descriptor, negative: none, -2: not\n"
     "looked up, refused; descriptors beyond it: none), `key_of` each element's key\n"
     "(int32); `required` and `positions` hold a byte per key, or none. Within a\n"
     "subset the elements met stay in force; an element met again gives out the row\n"
     "built so far and drops itself and every element set after it; the last row of\n"
     "a subset is given out at its end. Of two elements of one key in a row, the\n"
     "later one fills it. Items read through a bitmap fill no key; the subsets of a\n"
     "compressed message share the rows of one. Rows without every key that\n"
     "`required` marks are left out."},
    {"datetimes", cfunc(corvena::ext::fn_datetimes), kFlags,
     "datetimes(year, month, day, hour, minute, second)\n--\n\n"
     "Microseconds since 1970-01-01 (int64 bytes, the lowest int64 for no time) of\n"
     "dates and times given as float64 bytes, one number per row in each part: no\n"
     "time where the year, month, day or hour is NaN or out of its range, or the day\n"
     "past its month's end; a NaN minute or second counts as 0. Year, month and day\n"
     "lose their fractions."},
    {"items", cfunc(corvena::ext::fn_items), kFlags,
     "items(decoded, item_type, kinds, by_subset)\n--\n\n"
     "The items of a decoded message, in result order (subset after subset), as a list\n"
     "(or, by_subset, a list per subset) of item_type (a tuple subclass) holding (key, value, unit, descriptor, name,\n"
     "meaning, raw). kinds[flags << 24 | code] (flags: the item's TEXT, OPERATOR and\n"
     "LOCAL bits) gives (key, unit, name, lookup, integral, dump_unit) once per element\n"
     "met: lookup None for no meaning, 0 for a code table, or a flag table's width;\n"
     "integral when values without an operator's scale are whole numbers (int). Values\n"
     "are None when missing; texts lose their trailing NULs and have no raw value. An\n"
     "item equal to the last one at its place in a subset is that same object."},
    {"encode", cfunc(corvena::ext::fn_encode), kFlags,
     "encode(tables, descriptors, values, subsets, compressed, edits)\n--\n\n"
     "The data of section 4 (the octets after its first four) of a message of the\n"
     "unexpanded `descriptors`, as bytes. `values` is a Decoded object, or a tuple\n"
     "(numbers, starts, texts, new_references) of values gathered elsewhere: float64\n"
     "bytes of one number per item, subset after subset (NaN: missing); uint64 bytes\n"
     "of each subset's first item; a list of (item, str or None) for the text items;\n"
     "None or one list of new reference values (2-03) per subset. `subsets` lists the\n"
     "subsets of `values` to write, in order (None: all). `edits`, None or a list of\n"
     "(subset, item, value), changes a copy of a Decoded object's values first. A\n"
     "value that cannot be written raises ValueError(why, subset, item, descriptor)."},
    {"layout", cfunc(corvena::ext::fn_layout), kFlags,
     "layout(tables, descriptors, counts)\n--\n\n"
     "The items of a template for the delayed replication counts `counts` (uint64\n"
     "bytes, in the order the factors come), as (codes, flags, group): uint32 bytes\n"
     "of each item's descriptor, a byte of column flags per item (1 marks a\n"
     "replication factor), and None, or, when the counts ran out, the descriptors\n"
     "of the group whose count is needed (its factor is the last item). Data\n"
     "present indicators are taken as 0."},
    {"dump_text", cfunc(corvena::ext::fn_dump_text), kFlags,
     "dump_text(decoded, kinds)\n--\n\n"
     "The text dump of a decoded message: uncompressed, a line per item under a line\n"
     "per subset; compressed, a line per element with its one value where every\n"
     "subset holds the same, else a list of one per subset. kinds is as for items."},
    {"json_columns", cfunc(corvena::ext::fn_json_columns), kFlags,
     "json_columns(decoded, kinds, widths)\n--\n\n"
     "JSON text of each column of a compressed message, from its Decoded object: one\n"
     "number (or null) when every subset holds the same, else an array of one per\n"
     "subset; None for character columns.\n"
     "Numbers are written from their exact integers with the decimal point placed by\n"
     "the column's scale. For a column whose kind (one byte per column) is 1 (code\n"
     "table) or 2 (flag table, of the width given, two bytes per column), the\n"
     "meanings follow as ', \"meaning\": ...' or ', \"meanings\": [...]'. A kind with the\n"
     "bit 0x10 set writes whole numbers with a decimal point (\"846000.0\")."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "corvena._ext", "Native extras of the corvena package.", 0,
                            g_functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__ext(void) {
    try {
        if (!corvena::ext::link_corvena_types()) return nullptr;
        corvena::py::Ref module(PyModule_Create(&g_module_def));
        if (!module || !corvena::ext::create_result_types(module.get())) return nullptr;
        return module.release();
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "corvena._ext failed to initialise");
        return nullptr;
    }
}
