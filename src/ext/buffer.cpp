// Columns decoded by the array path, handed to numpy without a copy: a
// Columns object owns the decoded vectors; a Buffer is a view of one of
// them that numpy reads through __array_interface__ (the buffer protocol
// is not in the limited API of CPython 3.9), and that keeps its Columns
// alive as long as any array made from it lives.
#include <cstring>
#include <string>
#include <utility>

#include "ext/functions.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

struct ColumnsObject {
    PyObject_HEAD
    DecodedArrays* arrays;  // owned
};

struct BufferObject {
    PyObject_HEAD
    PyObject* owner;  // the Columns object that owns the memory
    const void* data;
    Py_ssize_t length;  // items
    Py_ssize_t item_size;
    char typestr[8];
};

// Made once at import; _ext, like _corvena, lives in one interpreter.
PyTypeObject* g_columns_type = nullptr;
PyTypeObject* g_buffer_type = nullptr;

void columns_dealloc(PyObject* self) {
    delete reinterpret_cast<ColumnsObject*>(self)->arrays;
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

void buffer_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<BufferObject*>(self)->owner);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* buffer_interface(PyObject* self, void*) {
    CORVENA_GUARD({
        const BufferObject* b = reinterpret_cast<BufferObject*>(self);
        // A length of 0 still needs a valid address for numpy.
        static const char empty[8] = {};
        const void* data = b->length == 0 ? static_cast<const void*>(empty) : b->data;
        return Py_BuildValue("{s:(n),s:s,s:(Ni),s:i}", "shape", b->length, "typestr", b->typestr, "data",
                             PyLong_FromVoidPtr(const_cast<void*>(data)), 1, "version", 3);
    })
}

PyObject* buffer_tobytes(PyObject* self, PyObject*) {
    const BufferObject* b = reinterpret_cast<BufferObject*>(self);
    return PyBytes_FromStringAndSize(static_cast<const char*>(b->data), b->length * b->item_size);
}

Py_ssize_t buffer_len(PyObject* self) { return reinterpret_cast<BufferObject*>(self)->length; }

PyGetSetDef buffer_getset[] = {
    {"__array_interface__", buffer_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef buffer_methods[] = {
    {"tobytes", buffer_tobytes, METH_NOARGS, "tobytes($self)\n--\n\nA copy of the memory as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot columns_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(columns_dealloc)},
    {0, nullptr},
};
PyType_Spec columns_spec = {"corvena._ext.Columns", sizeof(ColumnsObject), 0, Py_TPFLAGS_DEFAULT, columns_slots};

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_getset, buffer_getset},
    {Py_tp_methods, buffer_methods},
    {Py_sq_length, reinterpret_cast<void*>(buffer_len)},
    {0, nullptr},
};
PyType_Spec buffer_spec = {"corvena._ext.Buffer", sizeof(BufferObject), 0, Py_TPFLAGS_DEFAULT, buffer_slots};

PyObject* alloc(PyTypeObject* type) {
    auto alloc_fn = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc_fn(type, 0);
}

}  // namespace

bool create_buffer_types() {
    g_columns_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&columns_spec));
    if (g_columns_type == nullptr) return false;
    g_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
    return g_buffer_type != nullptr;
}

PyObject* own_columns(DecodedArrays&& arrays) {
    auto* owned = new DecodedArrays(std::move(arrays));
    PyObject* obj = alloc(g_columns_type);
    if (obj == nullptr) {
        delete owned;
        return nullptr;
    }
    reinterpret_cast<ColumnsObject*>(obj)->arrays = owned;
    return obj;
}

const DecodedArrays& columns_of(PyObject* columns) { return *reinterpret_cast<ColumnsObject*>(columns)->arrays; }

const DecodedArrays* columns_arg(PyObject* obj, const char* name) {
    if (Py_TYPE(obj) != g_columns_type) {
        PyErr_Format(PyExc_TypeError, "argument '%s': the columns of decode_arrays are expected", name);
        return nullptr;
    }
    return &columns_of(obj);
}

PyObject* buffer_of(PyObject* owner, const void* data, std::size_t length, std::size_t item_size,
                    const char* typestr) {
    PyObject* obj = alloc(g_buffer_type);
    if (obj == nullptr) return nullptr;
    auto* b = reinterpret_cast<BufferObject*>(obj);
    Py_INCREF(owner);
    b->owner = owner;
    b->data = data;
    b->length = static_cast<Py_ssize_t>(length);
    b->item_size = static_cast<Py_ssize_t>(item_size);
    std::strncpy(b->typestr, typestr, sizeof b->typestr - 1);
    b->typestr[sizeof b->typestr - 1] = '\0';
    return obj;
}

}  // namespace corvena::ext
