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
     "The messages of `data` as (start, length) pairs, found by the BUFR marker and\n"
     "the total length of section 0, and the text of the error that stopped the scan\n"
     "(None when it reached the end): (slices, error)."},
    {"with_code_tables", cfunc(corvena::ext::fn_with_code_tables), kFlags,
     "with_code_tables(tables, code_tables)\n--\n\n"
     "A new TableSet holding everything of `tables` plus the code and flag tables of\n"
     "`code_tables`, a mapping {element code: {raw value: meaning}}; a table given\n"
     "here replaces the one `tables` has for that code."},
    {"decode_arrays", cfunc(corvena::ext::fn_decode_arrays), kFlags,
     "decode_arrays(data, tables)\n--\n\n"
     "The first message of `data` decoded as number columns (a dict of Buffer\n"
     "views, bytes and counts that corvena.arrays turns into numpy arrays). Fails\n"
     "with the same ValueError as decode_values_with_tables."},
    {"decode_many", cfunc(corvena::ext::fn_decode_many), kFlags,
     "decode_many(messages, tables, threads)\n--\n\n"
     "decode_arrays for each bytes object of `messages`, on `threads` threads\n"
     "with the interpreter lock released. `tables` is one TableSet for all\n"
     "or one per message. Gives a list in message order: the dict of a\n"
     "decoded message, or the text of its error."},
    {"json_columns", cfunc(corvena::ext::fn_json_columns), kFlags,
     "json_columns(parts, tables, kinds, widths)\n--\n\n"
     "JSON text of each column of a compressed message decoded by decode_arrays:\n"
     "one number (or null) when every subset holds the same, else an array of one\n"
     "per subset; None for character columns. Numbers are written from their\n"
     "exact integers with the decimal point placed by the column's scale. For a\n"
     "column whose kind (one byte per column) is 1 (code table) or 2 (flag table,\n"
     "of the width given, two bytes per column), the meanings follow as\n"
     "', \"meaning\": ...' or ', \"meanings\": [...]'. A kind with the bit 0x10 set writes\n"
     "whole numbers with a decimal point (\"846000.0\")."},
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
