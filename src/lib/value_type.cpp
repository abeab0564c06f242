// DecodedValue: one decoded item. Objects are lean: the name and the
// meaning are str objects shared by every item that has the same one.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sys/mman.h>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/objects.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"
#include "message/value.hpp"

namespace corvena::py {

namespace {

// An item has a text or a meaning, never both, so one slot holds either:
// the text when flags has kHasText, else the meaning (or null).
struct ValueObject {
    PyObject_HEAD
    PyObject* name;  // str
    PyObject* text_or_meaning;
    double raw_value;
    unsigned long long raw;
    std::uint32_t descriptor;
    std::uint8_t flags;
};

PyObject* text_of(const ValueObject* v) {
    return (v->flags & DecodedValue::kHasText) != 0 ? v->text_or_meaning : nullptr;
}
PyObject* meaning_of(const ValueObject* v) {
    return (v->flags & DecodedValue::kHasText) != 0 ? nullptr : v->text_or_meaning;
}

PyTypeObject* g_type = nullptr;

ValueObject* self_of(PyObject* o) { return reinterpret_cast<ValueObject*>(o); }

// DecodedValue objects come from chunks of the module's own: a result of
// many thousand items is made and dropped again and again, and reusing the
// chunks of a dropped result spares the page faults of fresh memory. Empty
// chunks beyond a small cache go back to the system. Only code holding the
// interpreter lock allocates or frees here.
class ValuePool {
public:
    static constexpr std::size_t kSlot = (sizeof(ValueObject) + 7) / 8 * 8;
    static constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
    static constexpr std::size_t kSlots = kChunkBytes / kSlot - 1;  // the first slot is the header
    static constexpr std::size_t kCachedEmpty = 32;
    static_assert(sizeof(ValueObject) <= kSlot, "a DecodedValue must fit its slot");

    void* allocate() {
        if (open_ == nullptr && !open_chunk()) return nullptr;
        Chunk* c = open_;
        void* slot;
        if (c->free != nullptr) {
            slot = c->free;
            c->free = *static_cast<void**>(slot);
        } else {
            slot = reinterpret_cast<char*>(c) + kSlot * (1 + c->bumped++);
        }
        if (++c->live == kSlots) unlink(c);  // full: no longer open
        return slot;
    }

    void release(void* slot) {
        Chunk* c = reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(slot) & ~(kChunkBytes - 1));
        *static_cast<void**>(slot) = c->free;
        c->free = slot;
        if (c->live-- == kSlots) link(c);  // was full: open again
        if (c->live == 0) {
            unlink(c);
            if (cached_ < kCachedEmpty) {
                c->free = nullptr;
                c->bumped = 0;
                c->next = empty_;
                empty_ = c;
                ++cached_;
            } else {
                unmap_chunk(c);
            }
        }
    }

private:
    struct Chunk {
        Chunk* prev;
        Chunk* next;
        void* free;
        std::size_t live;
        std::size_t bumped;
    };
    static_assert(sizeof(Chunk) <= kSlot, "the chunk header must fit one slot");

    bool open_chunk() {
        Chunk* c = empty_;
        if (c != nullptr) {
            empty_ = c->next;
            --cached_;
        } else {
            c = static_cast<Chunk*>(map_chunk());
            if (c == nullptr) return false;
            c->free = nullptr;
            c->bumped = 0;
        }
        c->live = 0;
        c->prev = c->next = nullptr;
        link(c);
        return true;
    }
    // Chunks are mapped from the system directly, aligned to their size,
    // so that a chunk given back is returned to the system at once: a large
    // result, once dropped, leaves no resident memory behind (the heap
    // would keep it).
    static void* map_chunk() {
        void* p = mmap(nullptr, 2 * kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (start + kChunkBytes - 1) & ~(std::uintptr_t{kChunkBytes} - 1);
        if (aligned > start) munmap(p, aligned - start);
        const std::uintptr_t end = start + 2 * kChunkBytes;
        if (end > aligned + kChunkBytes) munmap(reinterpret_cast<void*>(aligned + kChunkBytes), end - aligned - kChunkBytes);
        return reinterpret_cast<void*>(aligned);
    }
    static void unmap_chunk(void* c) { munmap(c, kChunkBytes); }

    // The open chunks form a list; allocation takes from its head.
    void link(Chunk* c) {
        c->prev = nullptr;
        c->next = open_;
        if (open_ != nullptr) open_->prev = c;
        open_ = c;
    }
    void unlink(Chunk* c) {
        if (c->prev != nullptr) c->prev->next = c->next;
        else if (open_ == c) open_ = c->next;
        if (c->next != nullptr) c->next->prev = c->prev;
        c->prev = c->next = nullptr;
    }

    Chunk* open_ = nullptr;
    Chunk* empty_ = nullptr;
    std::size_t cached_ = 0;
};

ValuePool g_pool;

void value_dealloc(PyObject* self) {
    ValueObject* v = self_of(self);
    Py_XDECREF(v->name);
    Py_XDECREF(v->text_or_meaning);
    PyTypeObject* type = Py_TYPE(self);
    g_pool.release(self);
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
    PyObject* t = text_of(self_of(self));
    if (t == nullptr) Py_RETURN_NONE;
    return new_ref(t);
}
PyObject* get_raw_meaning(PyObject* self, void*) {
    PyObject* m = meaning_of(self_of(self));
    if (m == nullptr) Py_RETURN_NONE;
    return new_ref(m);
}
PyObject* get_data(PyObject* self, void*) {
    const ValueObject* v = self_of(self);
    if (v->text_or_meaning != nullptr) return new_ref(v->text_or_meaning);
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
        if (text_of(v) != nullptr) {
            if (!utf8_of(text_of(v), text)) return nullptr;
            item.flags |= DecodedValue::kHasText;
        } else if (meaning_of(v) != nullptr) {
            if (!utf8_of(meaning_of(v), meaning)) return nullptr;
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

}  // namespace

// One str per distinct table text, found through a small direct-mapped
// cache in front of the map. Kept by a TableSet object for all its
// results, or made for one list.
class StrCache {
public:
    ~StrCache() {
        for (auto& [key, obj] : map_) Py_DECREF(obj);
    }
    // A borrowed reference owned by the cache, or null with an exception set.
    PyObject* get(const std::string* text) {
        const std::size_t slot = (reinterpret_cast<std::uintptr_t>(text) >> 4) & (kWays - 1);
        if (keys_[slot] == text) return objs_[slot];
        auto it = map_.find(text);
        PyObject* obj;
        if (it != map_.end()) {
            obj = it->second;
        } else {
            obj = text_to_str(*text);
            if (obj == nullptr) return nullptr;
            map_.emplace(text, obj);
        }
        keys_[slot] = text;
        objs_[slot] = obj;
        return obj;
    }

private:
    static constexpr std::size_t kWays = 256;
    std::unordered_map<const std::string*, PyObject*> map_;
    const std::string* keys_[kWays] = {};
    PyObject* objs_[kWays] = {};
};

void free_str_cache(StrCache* cache) { delete cache; }

namespace {

// A new DecodedValue for `item`, its strings taken from the caches.
PyObject* make_value(const DecodedValues& values, const DecodedValue& item, PyObject* name, StrCache& meanings) {
    auto* v = static_cast<ValueObject*>(g_pool.allocate());
    if (v == nullptr) return PyErr_NoMemory();
    PyObject* obj = PyObject_Init(reinterpret_cast<PyObject*>(v), g_type);
    Py_INCREF(name);
    v->name = name;
    v->text_or_meaning = nullptr;
    v->raw_value = item.raw_value;
    v->raw = item.raw;
    v->descriptor = item.descriptor;
    v->flags = item.flags;
    if (item.has_text()) {
        const std::string_view t = values.text_of(item);
        v->text_or_meaning = PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
        if (v->text_or_meaning == nullptr) {
            Py_DECREF(obj);
            return nullptr;
        }
    } else if (item.meaning != nullptr) {
        PyObject* m = meanings.get(item.meaning);
        if (m == nullptr) {
            Py_DECREF(obj);
            return nullptr;
        }
        Py_INCREF(m);
        v->text_or_meaning = m;
    }
    return obj;
}

}  // namespace

bool create_value_type() {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&value_spec));
    return g_type != nullptr;
}

PyTypeObject* value_type() { return g_type; }

PyObject* decoded_list(const DecodedValues& values, PyObject* tableset) {
    const std::size_t n = values.size();
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    std::unique_ptr<StrCache> local;
    StrCache* shared = nullptr;
    if (tableset != nullptr) {
        StrCache*& kept = reinterpret_cast<TableSetObject*>(tableset)->strings;
        if (kept == nullptr) kept = new StrCache();
        shared = kept;
    } else {
        local = std::make_unique<StrCache>();
        shared = local.get();
    }
    StrCache& names = *shared;
    StrCache& meanings = *shared;
    if (!values.by_column) {
        for (std::size_t i = 0; i < n; ++i) {
            const DecodedValue& item = values.items[i];
            PyObject* name = names.get(item.name);
            if (name == nullptr) return nullptr;
            PyObject* obj = make_value(values, item, name, meanings);
            if (obj == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), obj);
        }
        return list.release();
    }
    // Column-major storage: one name per column, items taken subset by
    // subset (the list, and later its release, then run in memory order).
    std::vector<PyObject*> column_names(values.columns);
    for (std::size_t j = 0; j < values.columns; ++j) {
        column_names[j] = names.get(values.cell(0, j).name);
        if (column_names[j] == nullptr) return nullptr;
    }
    std::size_t k = 0;
    for (std::size_t s = 0; s < values.subsets; ++s) {
        for (std::size_t j = 0; j < values.columns; ++j, ++k) {
            PyObject* obj = make_value(values, values.cell(s, j), column_names[j], meanings);
            if (obj == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), obj);
        }
    }
    return list.release();
}

}  // namespace corvena::py
