// DecodedValue: one decoded item. Objects are lean: the name and the
// meaning are str objects shared by every item that has the same one.
#include <string>
#include <unordered_map>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"
#include "message/value.hpp"

namespace corvena::py {

namespace {

struct ValueObject {
    PyObject_HEAD
    PyObject* name;     // str
    PyObject* text;     // str or null
    PyObject* meaning;  // str or null
    double raw_value;
    unsigned long long raw;
    std::uint32_t descriptor;
    std::uint8_t flags;
};

PyTypeObject* g_type = nullptr;

ValueObject* self_of(PyObject* o) { return reinterpret_cast<ValueObject*>(o); }

void value_dealloc(PyObject* self) {
    ValueObject* v = self_of(self);
    Py_XDECREF(v->name);
    Py_XDECREF(v->text);
    Py_XDECREF(v->meaning);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

PyObject* get_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(self_of(self)->descriptor); }
PyObject* get_name(PyObject* self, void*) { return new_ref(self_of(self)->name); }
PyObject* get_raw_value(PyObject* self, void*) {
    const ValueObject* v = self_of(self);
    if ((v->flags & DecodedValue::kHasValue) == 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(v->raw_value);
}
PyObject* get_raw(PyObject* self, void*) {
    const ValueObject* v = self_of(self);
    if ((v->flags & DecodedValue::kHasRaw) == 0) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(v->raw);
}
PyObject* get_raw_text(PyObject* self, void*) {
    PyObject* t = self_of(self)->text;
    if (t == nullptr) Py_RETURN_NONE;
    return new_ref(t);
}
PyObject* get_raw_meaning(PyObject* self, void*) {
    PyObject* m = self_of(self)->meaning;
    if (m == nullptr) Py_RETURN_NONE;
    return new_ref(m);
}
PyObject* get_data(PyObject* self, void*) {
    const ValueObject* v = self_of(self);
    if (v->text != nullptr) return new_ref(v->text);
    if (v->meaning != nullptr) return new_ref(v->meaning);
    return get_raw_value(self, nullptr);
}

// Reads a str back as UTF-8 for the repr.
bool utf8_of(PyObject* s, std::string& out) {
    Ref bytes(PyUnicode_AsUTF8String(s));
    if (!bytes) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

PyObject* value_repr(PyObject* self) {
    CORVENA_GUARD({
        const ValueObject* v = self_of(self);
        DecodedValue item;
        item.descriptor = v->descriptor;
        item.raw_value = v->raw_value;
        item.flags = v->flags & DecodedValue::kHasValue;
        std::string text, meaning;
        if (v->text != nullptr) {
            if (!utf8_of(v->text, text)) return nullptr;
            item.flags |= DecodedValue::kHasText;
        } else if (v->meaning != nullptr) {
            if (!utf8_of(v->meaning, meaning)) return nullptr;
            item.meaning = &meaning;
        }
        return text_to_str(decoded_value_repr(item, text));
    })
}

PyGetSetDef value_getset[] = {
    {"descriptor", get_descriptor, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"raw_value", get_raw_value, nullptr, nullptr, nullptr},
    {"raw", get_raw, nullptr, nullptr, nullptr},
    {"raw_text", get_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, nullptr, nullptr},
    {"data", get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(value_repr)},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec value_spec = {"_corvena.DecodedValue", sizeof(ValueObject), 0, Py_TPFLAGS_DEFAULT, value_slots};

// One str per distinct table text for the whole list.
class StrCache {
public:
    ~StrCache() {
        for (auto& [key, obj] : map_) Py_DECREF(obj);
    }
    // A new reference, or null with an exception set.
    PyObject* get(const std::string* text) {
        if (text == last_key_) return new_ref(last_obj_);
        auto it = map_.find(text);
        PyObject* obj;
        if (it != map_.end()) {
            obj = it->second;
        } else {
            obj = text_to_str(*text);
            if (obj == nullptr) return nullptr;
            map_.emplace(text, obj);
        }
        last_key_ = text;
        last_obj_ = obj;
        return new_ref(obj);
    }

private:
    std::unordered_map<const std::string*, PyObject*> map_;
    const std::string* last_key_ = nullptr;
    PyObject* last_obj_ = nullptr;
};

}  // namespace

bool create_value_type() {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&value_spec));
    return g_type != nullptr;
}

PyTypeObject* value_type() { return g_type; }

PyObject* decoded_list(const DecodedValues& values) {
    const std::size_t n = values.items.size();
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    StrCache names;
    StrCache meanings;
    for (std::size_t i = 0; i < n; ++i) {
        const DecodedValue& item = values.items[i];
        auto* v = static_cast<ValueObject*>(PyObject_Malloc(sizeof(ValueObject)));
        if (v == nullptr) return PyErr_NoMemory();
        PyObject* obj = PyObject_Init(reinterpret_cast<PyObject*>(v), g_type);
        v->name = nullptr;
        v->text = nullptr;
        v->meaning = nullptr;
        v->raw_value = item.raw_value;
        v->raw = item.raw;
        v->descriptor = item.descriptor;
        v->flags = item.flags;
        // The list owns the object from here on, so a failure below frees it.
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), obj);
        v->name = names.get(item.name);
        if (v->name == nullptr) return nullptr;
        if (item.has_text()) {
            const std::string_view t = values.text_of(item);
            v->text = PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
            if (v->text == nullptr) return nullptr;
        }
        if (item.meaning != nullptr) {
            v->meaning = meanings.get(item.meaning);
            if (v->meaning == nullptr) return nullptr;
        }
    }
    return list.release();
}

}  // namespace corvena::py
