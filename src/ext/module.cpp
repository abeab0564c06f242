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
     "scan(data)\n--\n\n"
     "The messages of `data` as (start, length, error) triples in buffer order, found\n"
     "by the BUFR marker, the total length of section 0 and the end marker 7777;\n"
     "error is None for a framed message, else the text saying why what starts at\n"
     "`start` cannot be framed. The scan goes on past damage: after a framed\n"
     "message it resumes at its end, after a failure at the next marker."},
    {"with_code_tables", cfunc(corvena::ext::fn_with_code_tables), kFlags,
     "with_code_tables(tables, code_tables)\n--\n\n"
     "A new TableSet holding everything of `tables` plus the code and flag tables of\n"
     "`code_tables`, a mapping {element code: {raw value: meaning}}; a table given\n"
     "here replaces the one `tables` has for that code."},
    {"decode_arrays", cfunc(corvena::ext::fn_decode_arrays), kFlags,
     "decode_arrays(data, tables)\n--\n\n"
     "The first message of `data` decoded as number columns (a dict of Buffer\n"
     "views, bytes and counts that corvena.arrays turns into numpy arrays, and\n"
     "the Columns object that owns them under 'columns'). Fails\n"
     "with the same ValueError as decode_values_with_tables."},
    {"decode_items", cfunc(corvena::ext::fn_decode_items), kFlags,
     "decode_items(data, tables)\n--\n\n"
     "The first message of `data` decoded as decode_values_with_tables decodes it, and\n"
     "where its subsets start: (values, starts), starts being the index of the first\n"
     "item of each subset, or None for compressed data (whose subsets are of one size).\n"
     "Fails with the same ValueError as decode_values_with_tables."},
    {"decode_many", cfunc(corvena::ext::fn_decode_many), kFlags,
     "decode_many(messages, tables, threads)\n--\n\n"
     "decode_arrays for each bytes object of `messages`, on `threads` threads\n"
     "with the interpreter lock released. `tables` is one TableSet for all\n"
     "or one per message. Gives a list in message order: the dict of a\n"
     "decoded message, or the text of its error."},
    {"json_columns", cfunc(corvena::ext::fn_json_columns), kFlags,
     "json_columns(columns, tables, kinds, widths)\n--\n\n"
     "JSON text of each column of a compressed message, from the Columns object that\n"
     "decode_arrays gives under 'columns': one number (or null) when every subset\n"
     "holds the same, else an array of one per subset; None for character columns.\n"
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
        if (!corvena::ext::link_corvena_types() || !corvena::ext::create_buffer_types()) return nullptr;
        return PyModule_Create(&g_module_def);
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "corvena._ext failed to initialise");
        return nullptr;
    }
}
