// The package's one result per decoded message: a Decoded object owns the
// message in column form (see the array sink) and the TableSet that decoded
// it. Its columns are handed to numpy without a copy, as Buffer views that
// numpy reads through __array_interface__ (the buffer protocol is not in the
// limited API of CPython 3.9) and that keep the Decoded object alive as long
// as any array made from them lives. Every other form of the message (the
// DecodedValue records, raw values, meanings) is made from it on demand.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ext/functions.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/decoded_arrays.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

struct DecodedObject {
    PyObject_HEAD
    DecodedArrays* arrays;             // owned
    PyObject* tables;                  // the TableSet that decoded it (names and meanings point into it)
    std::vector<std::uint64_t>* raws;  // compressed: raw values in result order, made on first use
};

struct BufferObject {
    PyObject_HEAD
    PyObject* owner;  // the Decoded object that owns the memory
    const void* data;
    Py_ssize_t length;  // items
    Py_ssize_t item_size;
    char typestr[8];
};

// Made once at import; _ext, like _corvena, lives in one interpreter.
PyTypeObject* g_decoded_type = nullptr;
PyTypeObject* g_buffer_type = nullptr;

DecodedObject* as_decoded(PyObject* self) { return reinterpret_cast<DecodedObject*>(self); }

void free_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

void decoded_dealloc(PyObject* self) {
    DecodedObject* d = as_decoded(self);
    if (d->arrays != nullptr) recycle_cells(std::move(*d->arrays));
    delete d->arrays;
    delete d->raws;
    Py_XDECREF(d->tables);
    free_object(self);
}

void buffer_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<BufferObject*>(self)->owner);
    free_object(self);
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

template <class T, class A>
PyObject* view(PyObject* owner, const std::vector<T, A>& v, const char* typestr) {
    return buffer_of(owner, v.data(), v.size(), sizeof(T), typestr);
}

// The attributes of a Decoded object, told apart by their closure.
enum class Field {
    Compressed, Subsets, Columns, Items, Texts, Raw, Nbytes,
    Codes, Values, Flags, TextIndex, SubsetStarts,
    ColumnCodes, ColumnR0, ColumnFlags, ColumnTextSlot, ColumnScale, ColumnReference, ColumnWideSlot, Cells,
    WideIncrements, TextCells,
};

template <class T, class A>
std::size_t bytes_in(const std::vector<T, A>& v) {
    return v.size() * sizeof(T);
}

std::size_t nbytes_of(const DecodedArrays& a) {
    return bytes_in(a.codes) + bytes_in(a.values) + bytes_in(a.raws) + bytes_in(a.flags) + bytes_in(a.text_index) +
           bytes_in(a.subset_starts) + bytes_in(a.column_codes) + bytes_in(a.column_r0) + bytes_in(a.column_flags) +
           bytes_in(a.column_text_slot) + bytes_in(a.column_scale) + bytes_in(a.column_reference) +
           bytes_in(a.column_wide_slot) + bytes_in(a.cells) + bytes_in(a.wide_increments) + bytes_in(a.text_cells);
}

PyObject* texts_of(const DecodedArrays& a) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(a.texts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < a.texts.size(); ++i) {
        PyObject* s = py::text_to_str(a.texts[i]);
        if (s == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* decoded_get(PyObject* self, void* closure) {
    CORVENA_GUARD({
        DecodedObject* d = as_decoded(self);
        const DecodedArrays& a = *d->arrays;
        switch (static_cast<Field>(reinterpret_cast<std::intptr_t>(closure))) {
        case Field::Compressed: return PyBool_FromLong(a.compressed);
        case Field::Subsets: return PyLong_FromUnsignedLong(a.subsets);
        case Field::Columns: return PyLong_FromSize_t(a.compressed ? a.column_codes.size() : 0);
        case Field::Items:
            return PyLong_FromSize_t(a.compressed ? a.column_codes.size() * a.subsets : a.codes.size());
        case Field::Texts: return texts_of(a);
        case Field::Nbytes: return PyLong_FromSize_t(nbytes_of(a));
        case Field::Raw:
            if (!a.compressed) return view(self, a.raws, "<u8");
            if (d->raws == nullptr) d->raws = new std::vector<std::uint64_t>(raws_by_item(a));
            return view(self, *d->raws, "<u8");
        case Field::Codes: return view(self, a.codes, "<u4");
        case Field::Values: return view(self, a.values, "<f8");
        case Field::Flags: return view(self, a.flags, "|u1");
        case Field::TextIndex: return view(self, a.text_index, "<i4");
        case Field::SubsetStarts: return view(self, a.subset_starts, "<u8");
        case Field::ColumnCodes: return view(self, a.column_codes, "<u4");
        case Field::ColumnR0: return view(self, a.column_r0, "<u8");
        case Field::ColumnFlags: return view(self, a.column_flags, "|u1");
        case Field::ColumnTextSlot: return view(self, a.column_text_slot, "<i4");
        case Field::ColumnScale: return view(self, a.column_scale, "<i4");
        case Field::ColumnReference: return view(self, a.column_reference, "<i8");
        case Field::ColumnWideSlot: return view(self, a.column_wide_slot, "<i4");
        case Field::Cells: return view(self, a.cells, "<f8");
        case Field::WideIncrements: return view(self, a.wide_increments, "<u8");
        case Field::TextCells: return view(self, a.text_cells, "<i4");
        }
        PyErr_SetString(PyExc_AttributeError, "unknown field");
        return nullptr;
    })
}

PyObject* decoded_values(PyObject* self, PyObject*) {
    CORVENA_GUARD({
        const DecodedObject* d = as_decoded(self);
        DecodedValues values = as_decoded_values(*d->arrays, tables_of(d->tables));
        PyObject* list = corvena_api().decoded_list(values, d->tables);
        recycle_items(std::move(values));
        return list;
    })
}

PyObject* new_references(PyObject* self, PyObject*) {
    CORVENA_GUARD({
        const DecodedArrays& a = *as_decoded(self)->arrays;
        // Compressed data holds one list for every subset.
        const std::size_t lists = a.compressed ? a.subsets : a.new_reference_starts.size();
        Ref out(PyList_New(static_cast<Py_ssize_t>(lists)));
        if (!out) return nullptr;
        for (std::size_t s = 0; s < lists; ++s) {
            std::size_t begin = 0, end = a.new_references.size();
            if (!a.compressed) {
                begin = a.new_reference_starts[s];
                if (s + 1 < lists) end = a.new_reference_starts[s + 1];
            }
            Ref one(PyList_New(static_cast<Py_ssize_t>(end - begin)));
            if (!one) return nullptr;
            for (std::size_t k = begin; k < end; ++k) {
                PyObject* v = PyLong_FromLongLong(a.new_references[k]);
                if (v == nullptr) return nullptr;
                PyList_SetItem(one.get(), static_cast<Py_ssize_t>(k - begin), v);
            }
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(s), one.release());
        }
        return out.release();
    })
}

#define CORVENA_FIELD(name, field, doc) \
    {name, decoded_get, nullptr, doc, reinterpret_cast<void*>(static_cast<std::intptr_t>(Field::field))}

PyGetSetDef decoded_getset[] = {
    CORVENA_FIELD("compressed", Compressed, "Whether the message holds compressed data."),
    CORVENA_FIELD("subsets", Subsets, "The number of subsets."),
    CORVENA_FIELD("columns", Columns, "Compressed: the number of items of each subset (0 when uncompressed)."),
    CORVENA_FIELD("items", Items, "The number of items of the message."),
    CORVENA_FIELD("texts", Texts, "The texts of the character items, as text_index and text_cells count them."),
    CORVENA_FIELD("raw", Raw, "The raw value of every item, in result order (uint64)."),
    CORVENA_FIELD("nbytes", Nbytes, "Bytes held by the columns (not counting the texts)."),
    CORVENA_FIELD("codes", Codes, "Uncompressed: the descriptor of each item (uint32)."),
    CORVENA_FIELD("values", Values, "Uncompressed: the value of each item (float64, NaN when missing)."),
    CORVENA_FIELD("flags", Flags, "Uncompressed: the flags of each item (uint8)."),
    CORVENA_FIELD("text_index", TextIndex, "Uncompressed: each item's index into texts, -1 for none (int32)."),
    CORVENA_FIELD("subset_starts", SubsetStarts, "Uncompressed: the first item of each subset (uint64)."),
    CORVENA_FIELD("column_codes", ColumnCodes, "Compressed: the descriptor of each column (uint32)."),
    CORVENA_FIELD("column_r0", ColumnR0, "Compressed: the local reference of each column (uint64)."),
    CORVENA_FIELD("column_flags", ColumnFlags, "Compressed: the flags of each column (uint8)."),
    CORVENA_FIELD("column_text_slot", ColumnTextSlot, "Compressed: each column's block in text_cells, or -1."),
    CORVENA_FIELD("column_scale", ColumnScale, "Compressed: the scale in force for each column (int32)."),
    CORVENA_FIELD("column_reference", ColumnReference, "Compressed: the reference in force for each column."),
    CORVENA_FIELD("column_wide_slot", ColumnWideSlot, "Compressed: each column's block in wide_increments, or -1."),
    CORVENA_FIELD("cells", Cells, "Compressed: the values, column after column (float64, NaN when missing)."),
    CORVENA_FIELD("wide_increments", WideIncrements, "Compressed: the increments of the wide columns (uint64)."),
    CORVENA_FIELD("text_cells", TextCells, "Compressed: per text column and subset, an index into texts or -1."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef CORVENA_FIELD

PyMethodDef decoded_methods[] = {
    {"decoded_values", decoded_values, METH_NOARGS,
     "decoded_values($self)\n--\n\n"
     "The message as a list of DecodedValue items, exactly as decode_values_with_tables\n"
     "gives them."},
    {"new_references", new_references, METH_NOARGS,
     "new_references($self)\n--\n\n"
     "The new reference values that operator 2-03 defined (they are no items), as\n"
     "one list per subset, in data order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef buffer_getset[] = {
    {"__array_interface__", buffer_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef buffer_methods[] = {
    {"tobytes", buffer_tobytes, METH_NOARGS, "tobytes($self)\n--\n\nA copy of the memory as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoded_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_dealloc)},
    {Py_tp_getset, decoded_getset},
    {Py_tp_methods, decoded_methods},
    {Py_tp_doc, const_cast<char*>("One decoded message in column form, and the TableSet that decoded it.")},
    {0, nullptr},
};
PyType_Spec decoded_spec = {"corvena._ext.Decoded", sizeof(DecodedObject), 0, Py_TPFLAGS_DEFAULT, decoded_slots};

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

bool create_result_types(PyObject* module) {
    g_decoded_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoded_spec));
    if (g_decoded_type == nullptr) return false;
    g_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
    if (g_buffer_type == nullptr) return false;
    Py_INCREF(g_decoded_type);
    if (PyModule_AddObject(module, "Decoded", reinterpret_cast<PyObject*>(g_decoded_type)) != 0) {
        Py_DECREF(g_decoded_type);
        return false;
    }
    return true;
}

PyObject* own_decoded(DecodedArrays&& arrays, PyObject* tables) {
    auto* owned = new DecodedArrays(std::move(arrays));
    PyObject* obj = alloc(g_decoded_type);
    if (obj == nullptr) {
        delete owned;
        return nullptr;
    }
    DecodedObject* d = as_decoded(obj);
    d->arrays = owned;
    d->raws = nullptr;
    Py_INCREF(tables);
    d->tables = tables;
    return obj;
}

const DecodedArrays* decoded_arg(PyObject* obj, const char* name, const TableSet** tables) {
    if (Py_TYPE(obj) != g_decoded_type) {
        PyErr_Format(PyExc_TypeError, "argument '%s': a Decoded object of decode_arrays is expected", name);
        return nullptr;
    }
    if (tables != nullptr) *tables = &tables_of(as_decoded(obj)->tables);
    return as_decoded(obj)->arrays;
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
