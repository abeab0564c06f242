#include "lib/errors.hpp"

#include <string>

#include "lib/pyref.hpp"

namespace corvena::py {

PyObject* text_to_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* raise_bufr(const BufrError& error) {
    Ref text(text_to_str(error.text()));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyObject* raise_os(const IoFailure& failure) {
    Ref text(text_to_str(failure.text()));
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return nullptr;
}

PyObject* raise_internal(const char* what) {
    if (PyErr_Occurred()) return nullptr;
    std::string text = std::string("internal failure in _corvena: ") + what;
    Ref s(text_to_str(text));
    if (s) PyErr_SetObject(PyExc_RuntimeError, s.get());
    return nullptr;
}

}  // namespace corvena::py
