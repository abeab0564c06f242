// The module functions, each taking (module, args, kwargs).
#pragma once

#include <Python.h>

namespace corvena::py {

PyObject* fn_parse_bytes(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_parse_file(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_parse_all_bytes(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_parse_all_file(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_expand_descriptors(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_decode_values(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_decode_values_with_tables(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* fn_decode_values_with_definitions(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace corvena::py
