// Turning core errors and C++ failures into Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "common/error.hpp"

namespace corvena::py {

// A str from UTF-8 text, invalid sequences replaced.
PyObject* text_to_str(std::string_view text);

// Raises ValueError with the error's text; returns null.
PyObject* raise_bufr(const BufrError& error);
// Raises OSError built from the failure's text alone; returns null.
PyObject* raise_os(const IoFailure& failure);
// Raises the exception for an unexpected C++ failure; returns null.
PyObject* raise_internal(const char* what);

}  // namespace corvena::py

// Runs `body` (a block returning PyObject*) and turns any C++ exception into
// a Python exception, so nothing can unwind into the interpreter.
#define CORVENA_GUARD(...)                                               \
    try {                                                                \
        __VA_ARGS__                                                      \
    } catch (const std::bad_alloc&) {                                    \
        return PyErr_NoMemory();                                         \
    } catch (const std::exception& e) {                                  \
        return ::corvena::py::raise_internal(e.what());                  \
    } catch (...) {                                                      \
        return ::corvena::py::raise_internal("unknown internal failure"); \
    }
