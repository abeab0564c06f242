// Module initialisation: records the first interpreter, builds the module
// once per process, and registers the classes and functions in the order of
// __all__.
#include <Python.h>

#include <cstdint>

#include "lib/errors.hpp"
#include "lib/functions.hpp"
#include "lib/objects.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"

namespace {

using corvena::py::Ref;

std::int64_t g_interpreter = -1;
PyObject* g_module = nullptr;

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"parse_bytes", cfunc(corvena::py::fn_parse_bytes), kFlags, "parse_bytes(data)\n--\n\n"},
    {"parse_file", cfunc(corvena::py::fn_parse_file), kFlags, "parse_file(path)\n--\n\n"},
    {"parse_all_bytes", cfunc(corvena::py::fn_parse_all_bytes), kFlags, "parse_all_bytes(data)\n--\n\n"},
    {"parse_all_file", cfunc(corvena::py::fn_parse_all_file), kFlags, "parse_all_file(path)\n--\n\n"},
    {"expand_descriptors", cfunc(corvena::py::fn_expand_descriptors), kFlags,
     "expand_descriptors(table_dir, descriptors)\n--\n\n"},
    {"decode_values", cfunc(corvena::py::fn_decode_values), kFlags, "decode_values(data, table_dir)\n--\n\n"},
    {"decode_values_with_tables", cfunc(corvena::py::fn_decode_values_with_tables), kFlags,
     "decode_values_with_tables(data, tables)\n--\n\n"},
    {"decode_values_with_definitions", cfunc(corvena::py::fn_decode_values_with_definitions), kFlags,
     "decode_values_with_definitions(data, definitions_root)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "_corvena", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Sets the attribute and appends the name to __all__.
bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    Ref held(value);
    if (PyModule_AddObject(module, name, value) < 0) return false;
    held.release();  // the module took the reference
    Ref text(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

PyObject* build_module() {
    if (!corvena::py::create_message_type() || !corvena::py::create_value_type() ||
        !corvena::py::create_descriptor_type() || !corvena::py::create_table_types()) {
        return nullptr;
    }
    Ref module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    Ref all(PyList_New(0));
    if (!all) return nullptr;
    if (PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    Py_INCREF(all.get());  // keep our reference; the module took one

    auto type_obj = [](PyTypeObject* t) {
        Py_INCREF(t);
        return reinterpret_cast<PyObject*>(t);
    };
    if (!add(module.get(), all.get(), "BufrMessage", type_obj(corvena::py::message_type())) ||
        !add(module.get(), all.get(), "DecodedValue", type_obj(corvena::py::value_type())) ||
        !add(module.get(), all.get(), "Descriptor", type_obj(corvena::py::descriptor_type())) ||
        !add(module.get(), all.get(), "ElementDefinition", type_obj(corvena::py::element_type())) ||
        !add(module.get(), all.get(), "SequenceDefinition", type_obj(corvena::py::sequence_type())) ||
        !add(module.get(), all.get(), "TableSet", type_obj(corvena::py::tableset_type()))) {
        return nullptr;
    }
    Ref name(PyUnicode_FromString("_corvena"));
    if (!name) return nullptr;
    for (PyMethodDef* def = g_functions; def->ml_name != nullptr; ++def) {
        if (!add(module.get(), all.get(), def->ml_name, PyCFunction_NewEx(def, nullptr, name.get()))) return nullptr;
    }
    // For the package's second native module only; not part of __all__.
    static corvena::py::CApi api = corvena::py::make_c_api(&corvena::py::decoded_list);
    PyObject* capsule = PyCapsule_New(&api, corvena::py::kCApiName, nullptr);
    if (capsule == nullptr) return nullptr;
    if (PyModule_AddObject(module.get(), "_C_API", capsule) < 0) {
        Py_DECREF(capsule);
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__corvena(void) {
    try {
        PyInterpreterState* interpreter = PyInterpreterState_Get();
        const std::int64_t id = PyInterpreterState_GetID(interpreter);
        if (id == -1 && PyErr_Occurred()) return nullptr;
        if (g_interpreter == -1) {
            g_interpreter = id;
        } else if (g_interpreter != id) {
            PyErr_SetString(PyExc_ImportError, "_corvena does not support sub-interpreters");
            return nullptr;
        }
        if (g_module != nullptr) {
            Py_INCREF(g_module);
            return g_module;
        }
        PyObject* module = build_module();
        if (module == nullptr) return nullptr;
        Py_INCREF(module);
        g_module = module;
        return module;
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "_corvena failed to initialise");
        return nullptr;
    }
}
