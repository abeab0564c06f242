// The Python classes of the module and the helpers that wrap core records
// in them.
#pragma once

#include <Python.h>

#include "message/framing.hpp"
#include "message/value.hpp"
#include "tables/table_set.hpp"

namespace corvena::py {

// Creates the six classes; false with an exception set on failure.
bool create_message_type();
bool create_descriptor_type();
bool create_table_types();
bool create_value_type();

PyTypeObject* message_type();
PyTypeObject* descriptor_type();
PyTypeObject* element_type();
PyTypeObject* sequence_type();
PyTypeObject* tableset_type();
PyTypeObject* value_type();

PyObject* wrap_message(BufrMessage record);
const BufrMessage& message_of(PyObject* obj);

PyObject* wrap_tableset(TableSet tables);
const TableSet& tableset_of(PyObject* obj);

// A list of new DecodedValue objects, one per item, in order.
// `tableset`, when given, is the TableSet object the values were decoded
// with: its names and meanings then become str objects once for the set.
PyObject* decoded_list(const DecodedValues& values, PyObject* tableset);

// A list of int from codes.
PyObject* code_list(const std::vector<std::uint32_t>& codes);

// Frees an object of a class made by PyType_FromSpec and releases the
// reference that the instance held on its class.
void free_heap_object(PyObject* self);

}  // namespace corvena::py
