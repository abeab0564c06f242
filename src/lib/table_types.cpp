// TableSet and the snapshots ElementDefinition and SequenceDefinition.
#include <cstdio>
#include <string>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/objects.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"
#include "common/quote.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/expand.hpp"
#include "tables/wmo_csv.hpp"

namespace corvena::py {

namespace {

struct ElementObject {
    PyObject_HEAD
    ElementDefinition* def;
};

struct SequenceObject {
    PyObject_HEAD
    SequenceDefinition* def;
};

PyTypeObject* g_tableset = nullptr;
PyTypeObject* g_element = nullptr;
PyTypeObject* g_sequence = nullptr;

PyObject* alloc_of(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

std::string padded(std::uint32_t code) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%06u", code);
    return buf;
}

// ---- ElementDefinition ----------------------------------------------------

const ElementDefinition& element_of(PyObject* self) { return *reinterpret_cast<ElementObject*>(self)->def; }

void element_dealloc(PyObject* self) {
    delete reinterpret_cast<ElementObject*>(self)->def;
    free_heap_object(self);
}

PyObject* element_repr(PyObject* self) {
    CORVENA_GUARD({
        const ElementDefinition& e = element_of(self);
        return text_to_str("ElementDefinition(" + padded(e.code) + ", name=" + quote_text(e.name) + ")");
    })
}

PyObject* element_code(PyObject* self, void*) { return PyLong_FromUnsignedLong(element_of(self).code); }
PyObject* element_name(PyObject* self, void*) { return text_to_str(element_of(self).name); }
PyObject* element_unit(PyObject* self, void*) { return text_to_str(element_of(self).unit); }
PyObject* element_abbreviation(PyObject* self, void*) { return text_to_str(element_of(self).abbreviation); }
PyObject* element_reference(PyObject* self, void*) { return PyLong_FromLongLong(element_of(self).reference); }
PyObject* element_scale(PyObject* self, void*) { return PyLong_FromLong(element_of(self).scale); }
PyObject* element_width(PyObject* self, void*) { return PyLong_FromLong(element_of(self).width); }
PyObject* element_type_text(PyObject* self, void*) { return text_to_str(element_of(self).element_type); }

PyGetSetDef element_getset[] = {
    {"code", element_code, nullptr, nullptr, nullptr},
    {"name", element_name, nullptr, nullptr, nullptr},
    {"unit", element_unit, nullptr, nullptr, nullptr},
    {"abbreviation", element_abbreviation, nullptr, nullptr, nullptr},
    {"reference", element_reference, nullptr, nullptr, nullptr},
    {"scale", element_scale, nullptr, nullptr, nullptr},
    {"width", element_width, nullptr, nullptr, nullptr},
    {"element_type", element_type_text, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot element_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Spec element_spec = {"_corvena.ElementDefinition", sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT,
                            element_slots};

// ---- SequenceDefinition ---------------------------------------------------

const SequenceDefinition& sequence_of(PyObject* self) { return *reinterpret_cast<SequenceObject*>(self)->def; }

void sequence_dealloc(PyObject* self) {
    delete reinterpret_cast<SequenceObject*>(self)->def;
    free_heap_object(self);
}

PyObject* sequence_repr(PyObject* self) {
    CORVENA_GUARD({
        const SequenceDefinition& s = sequence_of(self);
        std::string text = "SequenceDefinition(" + padded(s.code) + ", members=[";
        for (std::size_t i = 0; i < s.members.size(); ++i) {
            if (i != 0) text += ", ";
            text += std::to_string(s.members[i]);
        }
        text += "])";
        return text_to_str(text);
    })
}

PyObject* sequence_code(PyObject* self, void*) { return PyLong_FromUnsignedLong(sequence_of(self).code); }
PyObject* sequence_members(PyObject* self, void*) {
    CORVENA_GUARD({ return code_list(sequence_of(self).members); })
}

PyGetSetDef sequence_getset[] = {
    {"code", sequence_code, nullptr, nullptr, nullptr},
    {"members", sequence_members, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sequence_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

PyType_Spec sequence_spec = {"_corvena.SequenceDefinition", sizeof(SequenceObject), 0, Py_TPFLAGS_DEFAULT,
                             sequence_slots};

// ---- TableSet -------------------------------------------------------------

const TableSet& tables_of(PyObject* self) { return *reinterpret_cast<TableSetObject*>(self)->tables; }

PyObject* wrap_into(PyTypeObject* type, TableSet tables) {
    auto* owned = new TableSet(std::move(tables));
    PyObject* obj = alloc_of(type);
    if (obj == nullptr) {
        delete owned;
        return nullptr;
    }
    reinterpret_cast<TableSetObject*>(obj)->tables = owned;
    return obj;
}

PyObject* tableset_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        if (!bind_args(args, kwargs, "TableSet", {}, nullptr)) return nullptr;
        return wrap_into(type, TableSet());
    })
}

void tableset_dealloc(PyObject* self) {
    free_str_cache(reinterpret_cast<TableSetObject*>(self)->strings);
    delete reinterpret_cast<TableSetObject*>(self)->tables;
    free_heap_object(self);
}

PyObject* tableset_repr(PyObject* self) {
    CORVENA_GUARD({
        const TableSet& t = tables_of(self);
        return text_to_str("TableSet(elements=" + std::to_string(t.element_count()) +
                           ", sequences=" + std::to_string(t.sequence_count()) + ")");
    })
}

PyObject* loaded(Result<TableSet> result) {
    if (!result) return raise_bufr(result.error());
    return wrap_into(g_tableset, std::move(result).value());
}

PyObject* tableset_from_eccodes(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::string path;
        if (!bind_args(args, kwargs, "from_eccodes", {"path"}, a) || !path_arg(a[0], "path", path)) return nullptr;
        return loaded(load_eccodes_dir(path));
    })
}

PyObject* tableset_from_bufr4_45(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::string path;
        if (!bind_args(args, kwargs, "from_bufr4_45", {"path"}, a) || !path_arg(a[0], "path", path)) return nullptr;
        return loaded(load_wmo_csv_dir(path));
    })
}

PyObject* tableset_from_definitions(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string path;
        if (!bind_args(args, kwargs, "from_definitions", {"path", "message"}, a) || !path_arg(a[0], "path", path) ||
            !instance_arg(a[1], "message", message_type(), "BufrMessage")) {
            return nullptr;
        }
        return loaded(load_definitions_tables(path, table_request(message_of(a[1]))));
    })
}

PyObject* tableset_get_element(PyObject* self, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::uint32_t code;
        if (!bind_args(args, kwargs, "get_element", {"code"}, a) || !u32_arg(a[0], "code", code)) return nullptr;
        const ElementDefinition* e = tables_of(self).find_element(code);
        if (e == nullptr) Py_RETURN_NONE;
        auto* copy = new ElementDefinition(*e);
        PyObject* obj = alloc_of(g_element);
        if (obj == nullptr) {
            delete copy;
            return nullptr;
        }
        reinterpret_cast<ElementObject*>(obj)->def = copy;
        return obj;
    })
}

PyObject* tableset_get_sequence(PyObject* self, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::uint32_t code;
        if (!bind_args(args, kwargs, "get_sequence", {"code"}, a) || !u32_arg(a[0], "code", code)) return nullptr;
        const SequenceDefinition* s = tables_of(self).find_sequence(code);
        if (s == nullptr) Py_RETURN_NONE;
        auto* copy = new SequenceDefinition(*s);
        PyObject* obj = alloc_of(g_sequence);
        if (obj == nullptr) {
            delete copy;
            return nullptr;
        }
        reinterpret_cast<SequenceObject*>(obj)->def = copy;
        return obj;
    })
}

PyObject* tableset_get_meaning(PyObject* self, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::uint32_t code;
        std::uint64_t raw;
        if (!bind_args(args, kwargs, "get_meaning", {"code", "raw"}, a) || !u32_arg(a[0], "code", code) ||
            !u64_arg(a[1], "raw", raw)) {
            return nullptr;
        }
        const std::string* meaning = tables_of(self).find_meaning(code, raw);
        if (meaning == nullptr) Py_RETURN_NONE;
        return text_to_str(*meaning);
    })
}

PyObject* tableset_expand(PyObject* self, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::vector<std::uint32_t> codes;
        if (!bind_args(args, kwargs, "expand", {"descriptors"}, a) || !codes_arg(a[0], "descriptors", codes)) {
            return nullptr;
        }
        auto out = expand(tables_of(self), codes);
        if (!out) return raise_bufr(out.error());
        return code_list(*out);
    })
}

PyObject* tableset_element_count(PyObject* self, void*) {
    return PyLong_FromSize_t(tables_of(self).element_count());
}
PyObject* tableset_sequence_count(PyObject* self, void*) {
    return PyLong_FromSize_t(tables_of(self).sequence_count());
}

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef tableset_methods[] = {
    {"from_eccodes", cfunc(tableset_from_eccodes), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_eccodes(path)\n--\n\n"},
    {"from_bufr4_45", cfunc(tableset_from_bufr4_45), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_bufr4_45(path)\n--\n\n"},
    {"from_definitions", cfunc(tableset_from_definitions), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_definitions(path, message)\n--\n\n"},
    {"get_element", cfunc(tableset_get_element), METH_VARARGS | METH_KEYWORDS, "get_element($self, code)\n--\n\n"},
    {"get_sequence", cfunc(tableset_get_sequence), METH_VARARGS | METH_KEYWORDS,
     "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", cfunc(tableset_get_meaning), METH_VARARGS | METH_KEYWORDS,
     "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", cfunc(tableset_expand), METH_VARARGS | METH_KEYWORDS, "expand($self, descriptors)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tableset_getset[] = {
    {"element_count", tableset_element_count, nullptr, nullptr, nullptr},
    {"sequence_count", tableset_sequence_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tableset_slots[] = {
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tableset_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tableset_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tableset_repr)},
    {Py_tp_methods, tableset_methods},
    {Py_tp_getset, tableset_getset},
    {0, nullptr},
};

PyType_Spec tableset_spec = {"_corvena.TableSet", sizeof(TableSetObject), 0, Py_TPFLAGS_DEFAULT, tableset_slots};

}  // namespace

bool create_table_types() {
    g_element = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&element_spec));
    if (g_element == nullptr) return false;
    g_sequence = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&sequence_spec));
    if (g_sequence == nullptr) return false;
    g_tableset = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tableset_spec));
    return g_tableset != nullptr;
}

PyTypeObject* element_type() { return g_element; }
PyTypeObject* sequence_type() { return g_sequence; }
PyTypeObject* tableset_type() { return g_tableset; }

PyObject* wrap_tableset(TableSet tables) { return wrap_into(g_tableset, std::move(tables)); }
const TableSet& tableset_of(PyObject* obj) { return tables_of(obj); }

}  // namespace corvena::py
