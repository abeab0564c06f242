// The guard at every Python entry: a C++ exception becomes a Python
// exception carrying its text, never an end of the interpreter. No message
// or table reaches this path, so it is driven here directly.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "lib/errors.hpp"

namespace {

PyObject* throws_runtime() {
    CORVENA_GUARD({
        throw std::runtime_error("broken invariant");
        return Py_None;
    })
}

PyObject* throws_bad_alloc() {
    CORVENA_GUARD({
        throw std::bad_alloc();
        return Py_None;
    })
}

PyObject* throws_other() {
    CORVENA_GUARD({
        throw 42;
        return Py_None;
    })
}

std::string pending_text(PyObject* expected_type) {
    EXPECT_TRUE(PyErr_ExceptionMatches(expected_type));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text;
    if (value != nullptr) {
        PyObject* s = PyObject_Str(value);
        PyObject* b = PyUnicode_AsUTF8String(s);
        text = PyBytes_AsString(b);
        Py_XDECREF(b);
        Py_XDECREF(s);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
}

TEST(Guard, ExceptionsBecomePythonErrors) {
    Py_Initialize();
    EXPECT_EQ(throws_runtime(), nullptr);
    EXPECT_EQ(pending_text(PyExc_RuntimeError), "internal failure in _corvena: broken invariant");
    EXPECT_EQ(throws_bad_alloc(), nullptr);
    pending_text(PyExc_MemoryError);
    EXPECT_EQ(throws_other(), nullptr);
    EXPECT_EQ(pending_text(PyExc_RuntimeError), "internal failure in _corvena: unknown internal failure");
    Py_Finalize();
}

}  // namespace
