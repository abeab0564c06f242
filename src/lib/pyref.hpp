// A small owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace corvena::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (which may be null).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace corvena::py
