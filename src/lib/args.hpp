// Conversion of Python arguments into plain values, in one place. Every
// function returns false with a Python exception set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace corvena::py {

// Binds positional-or-keyword parameters, all required, by name.
bool bind_args(PyObject* args, PyObject* kwargs, const char* function,
               std::initializer_list<const char*> names, PyObject** out);

// `bytes` or a subclass; the view reads the object's buffer in place.
bool bytes_arg(PyObject* obj, const char* name, std::string_view& out);
// `str` or a subclass, as UTF-8.
bool str_arg(PyObject* obj, const char* name, std::string& out);
// A path: a `str` as for str_arg, refused with ValueError("embedded null
// byte") when it holds a NUL, as Python's open() refuses it, since the
// file system would read it only up to the NUL.
bool path_arg(PyObject* obj, const char* name, std::string& out);
bool u8_arg(PyObject* obj, const char* name, std::uint8_t& out);
bool u32_arg(PyObject* obj, const char* name, std::uint32_t& out);
bool u64_arg(PyObject* obj, const char* name, std::uint64_t& out);
// A sequence of integers 0 to 2^32 - 1; a str is refused.
bool codes_arg(PyObject* obj, const char* name, std::vector<std::uint32_t>& out);
// An instance of `type` (or a subclass).
bool instance_arg(PyObject* obj, const char* name, PyTypeObject* type, const char* type_name);

// "cannot create '_corvena.X' instances" for classes Python may not call.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace corvena::py
