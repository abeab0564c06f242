// The functions of corvena._ext and the _corvena types they work with.
#pragma once

#include <Python.h>

#include <string_view>

#include "lib/objects.hpp"
#include "message/array_sink.hpp"
#include "message/framing.hpp"
#include "tables/table_set.hpp"

namespace corvena::ext {

// Looks up the TableSet and BufrMessage types in _corvena (importing it);
// false with an exception set on failure. Called once, at import.
bool link_corvena_types();

// The linked types. _corvena keeps a single class object per process
// (it refuses sub-interpreters), so these stay valid for the process.
PyTypeObject* tableset_type();
PyTypeObject* message_type();

// What _corvena offers this module (valid once linked).
const py::CApi& corvena_api();

const TableSet& tables_of(PyObject* tableset);
const BufrMessage& message_of(PyObject* message);
// A new _corvena.TableSet that owns `tables`.
PyObject* wrap_tables(TableSet tables);

// Decoded and Buffer objects (decoded.cpp): one decoded message, its
// columns given to numpy without a copy. The Decoded type is added to
// `module`.
bool create_result_types(PyObject* module);
// A new Decoded object that owns `arrays`, decoded with the TableSet `tables`.
PyObject* own_decoded(DecodedArrays&& arrays, PyObject* tables);
// The arrays of a Decoded object (and, when `tables` is given, the tables
// that decoded them); null with TypeError for anything else.
const DecodedArrays* decoded_arg(PyObject* obj, const char* name, const TableSet** tables = nullptr);
// A view of `length` items of `item_size` bytes at `data`, owned by `owner`,
// that numpy reads as the type `typestr` ("<f8", "<u4", ...).
PyObject* buffer_of(PyObject* owner, const void* data, std::size_t length, std::size_t item_size,
                    const char* typestr);

PyObject* fn_scan(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_with_code_tables(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_decode_arrays(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_decode_many(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_rows(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_unknown_codes(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_datetimes(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_json_columns(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_meaning(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_item_name(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_items(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_dump_text(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_encode(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_layout(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace corvena::ext
