// BufrMessage: the framing and identification data of one message.
#include <string>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/objects.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"

namespace corvena::py {

namespace {

PyTypeObject* g_type = nullptr;

const BufrMessage& rec(PyObject* self) { return *reinterpret_cast<MessageObject*>(self)->record; }

void message_dealloc(PyObject* self) {
    delete reinterpret_cast<MessageObject*>(self)->record;
    free_heap_object(self);
}

PyObject* message_repr(PyObject* self) {
    CORVENA_GUARD({
        const BufrMessage& m = rec(self);
        std::string text = "BufrMessage(edition=" + std::to_string(m.edition) +
                           ", length=" + std::to_string(m.total_length) +
                           ", subsets=" + std::to_string(m.number_of_subsets) + ", descriptors=[";
        for (std::size_t i = 0; i < m.unexpanded_descriptors.size(); ++i) {
            if (i != 0) text += ", ";
            text += std::to_string(m.unexpanded_descriptors[i]);
        }
        text += "])";
        return text_to_str(text);
    })
}

#define CORVENA_INT_GETTER(field)                                                   \
    PyObject* get_##field(PyObject* self, void*) {                                  \
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(rec(self).field)); \
    }
#define CORVENA_BOOL_GETTER(field) \
    PyObject* get_##field(PyObject* self, void*) { return PyBool_FromLong(rec(self).field ? 1 : 0); }

CORVENA_INT_GETTER(edition)
CORVENA_INT_GETTER(total_length)
CORVENA_INT_GETTER(section1_length)
CORVENA_INT_GETTER(section2_length)
CORVENA_INT_GETTER(section3_length)
CORVENA_INT_GETTER(section4_length)
CORVENA_INT_GETTER(section4_data_offset)
CORVENA_INT_GETTER(section4_data_length)
CORVENA_INT_GETTER(master_table_number)
CORVENA_INT_GETTER(originating_centre)
CORVENA_INT_GETTER(originating_subcentre)
CORVENA_INT_GETTER(update_sequence_number)
CORVENA_BOOL_GETTER(local_section_present)
CORVENA_INT_GETTER(data_category)
CORVENA_INT_GETTER(international_data_subcategory)
CORVENA_INT_GETTER(local_data_subcategory)
CORVENA_INT_GETTER(master_tables_version_number)
CORVENA_INT_GETTER(local_tables_version_number)
CORVENA_INT_GETTER(typical_year)
CORVENA_INT_GETTER(typical_month)
CORVENA_INT_GETTER(typical_day)
CORVENA_INT_GETTER(typical_hour)
CORVENA_INT_GETTER(typical_minute)
CORVENA_INT_GETTER(typical_second)
CORVENA_INT_GETTER(number_of_subsets)
CORVENA_BOOL_GETTER(observed_data)
CORVENA_BOOL_GETTER(compressed_data)

PyObject* get_unexpanded_descriptors(PyObject* self, void*) {
    CORVENA_GUARD({ return code_list(rec(self).unexpanded_descriptors); })
}

#define CORVENA_GETSET(field) {#field, get_##field, nullptr, nullptr, nullptr}

PyGetSetDef message_getset[] = {
    CORVENA_GETSET(edition),
    CORVENA_GETSET(total_length),
    CORVENA_GETSET(section1_length),
    CORVENA_GETSET(section2_length),
    CORVENA_GETSET(section3_length),
    CORVENA_GETSET(section4_length),
    CORVENA_GETSET(section4_data_offset),
    CORVENA_GETSET(section4_data_length),
    CORVENA_GETSET(master_table_number),
    CORVENA_GETSET(originating_centre),
    CORVENA_GETSET(originating_subcentre),
    CORVENA_GETSET(update_sequence_number),
    CORVENA_GETSET(local_section_present),
    CORVENA_GETSET(data_category),
    CORVENA_GETSET(international_data_subcategory),
    CORVENA_GETSET(local_data_subcategory),
    CORVENA_GETSET(master_tables_version_number),
    CORVENA_GETSET(local_tables_version_number),
    CORVENA_GETSET(typical_year),
    CORVENA_GETSET(typical_month),
    CORVENA_GETSET(typical_day),
    CORVENA_GETSET(typical_hour),
    CORVENA_GETSET(typical_minute),
    CORVENA_GETSET(typical_second),
    CORVENA_GETSET(number_of_subsets),
    CORVENA_GETSET(observed_data),
    CORVENA_GETSET(compressed_data),
    CORVENA_GETSET(unexpanded_descriptors),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot message_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(message_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(message_repr)},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {"_corvena.BufrMessage", sizeof(MessageObject), 0, Py_TPFLAGS_DEFAULT,
                            message_slots};

}  // namespace

bool create_message_type() {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&message_spec));
    return g_type != nullptr;
}

PyTypeObject* message_type() { return g_type; }

PyObject* wrap_message(BufrMessage record) {
    auto* owned = new BufrMessage(std::move(record));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_type, Py_tp_alloc));
    PyObject* obj = alloc(g_type, 0);
    if (obj == nullptr) {
        delete owned;
        return nullptr;
    }
    reinterpret_cast<MessageObject*>(obj)->record = owned;
    return obj;
}

const BufrMessage& message_of(PyObject* obj) { return rec(obj); }

PyObject* code_list(const std::vector<std::uint32_t>& codes) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(codes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* v = PyLong_FromUnsignedLong(codes[i]);
        if (v == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

void free_heap_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

}  // namespace corvena::py
