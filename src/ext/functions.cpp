#include "ext/functions.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/objects.hpp"
#include "lib/pyref.hpp"
#include "message/scan.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

// The two _corvena classes and its C API, looked up once at import.
struct LinkedTypes {
    PyTypeObject* tableset = nullptr;
    PyTypeObject* message = nullptr;
    const py::CApi* api = nullptr;
};
LinkedTypes g_types;

PyTypeObject* type_attr(PyObject* module, const char* name) {
    Ref attr(PyObject_GetAttrString(module, name));
    if (!attr) return nullptr;
    if (!PyType_Check(attr.get())) {
        PyErr_Format(PyExc_ImportError, "_corvena.%s is not a class", name);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(attr.release());  // kept for the process
}

// This module reads and makes the objects of these classes through the
// layouts of lib/objects.hpp: a _corvena of another build could lay them
// out otherwise, and would be read wrongly. Its object sizes must be ours.
bool same_layout(PyTypeObject* type, const char* name, std::size_t size) {
    Ref basic(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__basicsize__"));
    if (!basic) return false;
    const long long got = PyLong_AsLongLong(basic.get());
    if (got == -1 && PyErr_Occurred()) return false;
    if (got != static_cast<long long>(size)) {
        PyErr_Format(PyExc_ImportError,
                     "corvena._ext and _corvena come from different builds (_corvena.%s objects have %lld "
                     "bytes, %zu expected): reinstall corvena",
                     name, got, size);
        return false;
    }
    return true;
}

}  // namespace

bool link_corvena_types() {
    if (g_types.tableset != nullptr) return true;
    Ref module(PyImport_ImportModule("_corvena"));
    if (!module) return false;
    PyTypeObject* tableset = type_attr(module.get(), "TableSet");
    if (tableset == nullptr) return false;
    PyTypeObject* message = type_attr(module.get(), "BufrMessage");
    if (message == nullptr) return false;
    if (!same_layout(tableset, "TableSet", sizeof(py::TableSetObject)) ||
        !same_layout(message, "BufrMessage", sizeof(py::MessageObject))) {
        return false;
    }
    const auto* api = static_cast<const py::CApi*>(PyCapsule_Import(py::kCApiName, 0));
    if (api == nullptr) return false;
    const py::CApi ours = py::make_c_api(nullptr);
    if (api->version != ours.version || api->decoded_value_size != ours.decoded_value_size ||
        api->decoded_values_size != ours.decoded_values_size) {
        PyErr_SetString(PyExc_ImportError,
                        "corvena._ext and _corvena come from different builds (their C API differs): reinstall corvena");
        return false;
    }
    g_types.tableset = tableset;
    g_types.message = message;
    g_types.api = api;
    return true;
}

const py::CApi& corvena_api() { return *g_types.api; }

PyTypeObject* tableset_type() { return g_types.tableset; }
PyTypeObject* message_type() { return g_types.message; }

const TableSet& tables_of(PyObject* tableset) { return *reinterpret_cast<py::TableSetObject*>(tableset)->tables; }
const BufrMessage& message_of(PyObject* message) { return *reinterpret_cast<py::MessageObject*>(message)->record; }

PyObject* wrap_tables(TableSet tables) {
    auto* owned = new TableSet(std::move(tables));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_types.tableset, Py_tp_alloc));
    PyObject* obj = alloc(g_types.tableset, 0);
    if (obj == nullptr) {
        delete owned;
        return nullptr;
    }
    reinterpret_cast<py::TableSetObject*>(obj)->tables = owned;
    return obj;
}

PyObject* fn_scan(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string_view data;
        std::uint64_t base = 0;
        if (!py::bind_args(args, kwargs, "scan", {"data", "base"}, a) || !py::bytes_arg(a[0], "data", data) ||
            !py::u64_arg(a[1], "base", base)) {
            return nullptr;
        }
        const std::vector<ScanEntry> entries = scan_messages_resync(data, base);
        Ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            Ref error;
            if (entries[i].error) {
                error = Ref(py::text_to_str(entries[i].error->text()));
                if (!error) return nullptr;
            } else {
                error = Ref::borrow(Py_None);
            }
            PyObject* entry = Py_BuildValue("(KKO)", static_cast<unsigned long long>(entries[i].start),
                                            static_cast<unsigned long long>(entries[i].length), error.get());
            if (entry == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry);
        }
        return list.release();
    })
}

PyObject* fn_with_code_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        if (!py::bind_args(args, kwargs, "with_code_tables", {"tables", "code_tables"}, a) ||
            !py::instance_arg(a[0], "tables", g_types.tableset, "TableSet")) {
            return nullptr;
        }
        if (!PyDict_Check(a[1])) {
            PyErr_SetString(PyExc_TypeError, "argument 'code_tables': a dict {code: {raw: meaning}} is expected");
            return nullptr;
        }
        TableSet out = tables_of(a[0]);
        PyObject *code_obj, *entries;
        Py_ssize_t pos = 0;
        while (PyDict_Next(a[1], &pos, &code_obj, &entries)) {
            std::uint32_t code = 0;
            if (!py::u32_arg(code_obj, "code_tables", code)) return nullptr;
            if (!PyDict_Check(entries)) {
                PyErr_SetString(PyExc_TypeError, "argument 'code_tables': each table must be a dict {raw: meaning}");
                return nullptr;
            }
            CodeTable table;
            PyObject *raw_obj, *text_obj;
            Py_ssize_t inner = 0;
            while (PyDict_Next(entries, &inner, &raw_obj, &text_obj)) {
                std::uint64_t raw = 0;
                std::string text;
                if (!py::u64_arg(raw_obj, "code_tables", raw) || !py::str_arg(text_obj, "code_tables", text)) {
                    return nullptr;
                }
                table.insert_or_assign(raw, std::move(text));
            }
            out.store_code_table(code, std::move(table));
        }
        return wrap_tables(std::move(out));
    })
}

}  // namespace corvena::ext
