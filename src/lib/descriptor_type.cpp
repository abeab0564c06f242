// Descriptor: the three parts F, X and Y of a descriptor code.
#include <cstdio>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"
#include "common/descriptor.hpp"

namespace corvena::py {

namespace {

struct DescriptorObject {
    PyObject_HEAD
    std::uint8_t f;
    std::uint8_t x;
    std::uint8_t y;
};

PyTypeObject* g_type = nullptr;

DescriptorObject* self_of(PyObject* o) { return reinterpret_cast<DescriptorObject*>(o); }

PyObject* make(PyTypeObject* type, std::uint8_t f, std::uint8_t x, std::uint8_t y) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    self_of(obj)->f = f;
    self_of(obj)->x = x;
    self_of(obj)->y = y;
    return obj;
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[3];
        if (!bind_args(args, kwargs, "Descriptor", {"f", "x", "y"}, a)) return nullptr;
        std::uint8_t f, x, y;
        if (!u8_arg(a[0], "f", f) || !u8_arg(a[1], "x", x) || !u8_arg(a[2], "y", y)) return nullptr;
        return make(type, f, x, y);
    })
}

PyObject* descriptor_from_fxy(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        if (!bind_args(args, kwargs, "from_fxy", {"code"}, a)) return nullptr;
        std::uint32_t code;
        if (!u32_arg(a[0], "code", code)) return nullptr;
        const DescriptorParts p = split_code(code);
        return make(g_type, p.f, p.x, p.y);
    })
}

std::uint32_t fxy_of(PyObject* self) {
    const DescriptorObject* d = self_of(self);
    return make_code(d->f, d->x, d->y);
}

PyObject* get_f(PyObject* self, void*) { return PyLong_FromLong(self_of(self)->f); }
PyObject* get_x(PyObject* self, void*) { return PyLong_FromLong(self_of(self)->x); }
PyObject* get_y(PyObject* self, void*) { return PyLong_FromLong(self_of(self)->y); }
PyObject* get_fxy(PyObject* self, void*) { return PyLong_FromUnsignedLong(fxy_of(self)); }

PyObject* descriptor_repr(PyObject* self) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "Descriptor(%06u)", fxy_of(self));
    return PyUnicode_FromString(buf);
}

void descriptor_dealloc(PyObject* self) { free_heap_object(self); }

PyMethodDef descriptor_methods[] = {
    {"from_fxy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(descriptor_from_fxy)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef descriptor_getset[] = {
    {"f", get_f, nullptr, nullptr, nullptr},
    {"x", get_x, nullptr, nullptr, nullptr},
    {"y", get_y, nullptr, nullptr, nullptr},
    {"fxy", get_fxy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_getset, descriptor_getset},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {"_corvena.Descriptor", sizeof(DescriptorObject), 0, Py_TPFLAGS_DEFAULT,
                               descriptor_slots};

}  // namespace

bool create_descriptor_type() {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&descriptor_spec));
    return g_type != nullptr;
}

PyTypeObject* descriptor_type() { return g_type; }

}  // namespace corvena::py
