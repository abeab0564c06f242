#include "lib/args.hpp"

#include "lib/errors.hpp"
#include "lib/pyref.hpp"

namespace corvena::py {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

std::string type_name_of(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Ref utf8(PyUnicode_AsUTF8String(name.get()));
    if (!utf8) {
        PyErr_Clear();
        return "object";
    }
    return PyBytes_AsString(utf8.get());
}

bool arg_type_error(const char* name, const std::string& reason) {
    std::string text = std::string("argument '") + name + "': " + reason;
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

// __index__ conversion; a TypeError names the argument.
Ref index_of(PyObject* obj, const char* name) {
    Ref index(PyNumber_Index(obj));
    if (!index && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        arg_type_error(name, "'" + type_name_of(obj) + "' object cannot be interpreted as an integer");
    }
    return index;
}

}  // namespace

bool bind_args(PyObject* args, PyObject* kwargs, const char* function,
               std::initializer_list<const char*> names, PyObject** out) {
    char* keywords[8] = {};
    std::string format;
    std::size_t i = 0;
    for (const char* n : names) {
        keywords[i++] = const_cast<char*>(n);
        format += 'O';
    }
    format += ':';
    format += function;
    PyObject* slots[8] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords, &slots[0], &slots[1], &slots[2],
                                     &slots[3], &slots[4], &slots[5], &slots[6], &slots[7])) {
        return false;
    }
    for (std::size_t k = 0; k < names.size(); ++k) out[k] = slots[k];
    return true;
}

bool bytes_arg(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyBytes_Check(obj)) {
        return arg_type_error(name, "'" + type_name_of(obj) + "' object cannot be converted to 'bytes'");
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool str_arg(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        return arg_type_error(name, "'" + type_name_of(obj) + "' object cannot be converted to 'str'");
    }
    Ref utf8(PyUnicode_AsUTF8String(obj));
    if (!utf8) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool path_arg(PyObject* obj, const char* name, std::string& out) {
    if (!str_arg(obj, name, out)) return false;
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    return true;
}

bool u8_arg(PyObject* obj, const char* name, std::uint8_t& out) {
    Ref index = index_of(obj, name);
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool u64_arg(PyObject* obj, const char* name, std::uint64_t& out) {
    Ref index = index_of(obj, name);
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool u32_arg(PyObject* obj, const char* name, std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!u64_arg(obj, name, v)) return false;
    if (v > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool codes_arg(PyObject* obj, const char* name, std::vector<std::uint32_t>& out) {
    if (PyUnicode_Check(obj)) return arg_type_error(name, "a str is not a sequence of descriptor codes");
    if (!PySequence_Check(obj)) {
        return arg_type_error(name, "'" + type_name_of(obj) + "' object is not a sequence");
    }
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item) return false;
        std::uint32_t code = 0;
        if (!u32_arg(item.get(), name, code)) return false;
        out.push_back(code);
    }
    return true;
}

bool instance_arg(PyObject* obj, const char* name, PyTypeObject* type, const char* type_name) {
    const int ok = PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(type));
    if (ok < 0) return false;
    if (ok == 0) {
        return arg_type_error(name, "'" + type_name_of(obj) + "' object cannot be converted to '" + type_name + "'");
    }
    return true;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!module || !qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
    return nullptr;
}

}  // namespace corvena::py
