// Numbers handed over as bytes objects (the limited API has no buffer
// protocol before 3.11): read in place or copied, as arrays of T.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "lib/args.hpp"

namespace corvena::ext {

// The bytes of `obj`, a whole number of T; false with ValueError when
// their size is no multiple of T's.
template <class T>
inline bool whole_numbers(PyObject* obj, const char* name, std::string_view& data) {
    if (!py::bytes_arg(obj, name, data)) return false;
    if (data.size() % sizeof(T) != 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': a whole number of %d-byte numbers is expected", name,
                     static_cast<int>(sizeof(T)));
        return false;
    }
    return true;
}

// The numbers of `obj`, read as an array of T (copied: a bytes object's
// buffer need not be aligned for T).
template <class T>
inline bool numbers_arg(PyObject* obj, const char* name, std::vector<T>& out) {
    std::string_view data;
    if (!whole_numbers<T>(obj, name, data)) return false;
    out.resize(data.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), data.data(), data.size());
    return true;
}

// The numbers of `obj` as T, read in place where its buffer is aligned for
// T (as bytes objects' are), else copied into `copy`.
template <class T>
inline bool numbers_view(PyObject* obj, const char* name, std::vector<T>& copy, std::span<const T>& out) {
    std::string_view data;
    if (!whole_numbers<T>(obj, name, data)) return false;
    if (reinterpret_cast<std::uintptr_t>(data.data()) % alignof(T) == 0) {
        out = {reinterpret_cast<const T*>(data.data()), data.size() / sizeof(T)};
        return true;
    }
    copy.resize(data.size() / sizeof(T));
    if (!copy.empty()) std::memcpy(copy.data(), data.data(), data.size());
    out = copy;
    return true;
}

}  // namespace corvena::ext
