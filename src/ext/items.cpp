// The item records of a decoded message (corvena.Item tuples) and its text
// dump, made natively from its column form. What every item of one element
// shares (key, unit, name, how its meaning is found) comes from the
// package once per element and call; each distinct meaning and text is
// made once and shared by the items that hold it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ext/functions.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/decoded_arrays.hpp"
#include "message/number_text.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

constexpr std::uint8_t kText = DecodedArrays::kHasText;
constexpr std::uint8_t kMissing = DecodedArrays::kMissing;

// What the items of one element share, as the package's mapping of kinds
// gives it for the key flags << 24 | code: (key, unit, name, lookup,
// integral, dump_unit). lookup is None (no meaning), 0 (a code table) or a
// flag table's width. The mapping lives as long as its tables (a dict
// subclass that makes a missing kind on first use), so each kind is made
// once per process.
struct Kind {
    Ref held;  // the tuple; key, unit and name are borrowed from it
    Ref code;
    PyObject* key = nullptr;
    PyObject* unit = nullptr;
    PyObject* name = nullptr;
    int lookup = -1;
    bool integral = false;
    std::string key_text, dump_unit;
};

class Kinds {
public:
    Kinds(PyObject* kinds, bool with_texts) : kinds_of_(kinds), with_texts_(with_texts) {}

    // Null with an exception set when the mapping fails or gives something else.
    const Kind* of(std::uint32_t code, std::uint8_t flags) {
        flags &= DecodedArrays::kHasText | DecodedArrays::kOperator | DecodedArrays::kLocal;
        const std::uint32_t key = (static_cast<std::uint32_t>(flags) << 24) | code;
        if (last_ != nullptr && key == last_key_) return last_;
        auto found = kinds_.find(key);
        if (found == kinds_.end()) {
            auto kind = make(code, flags);
            if (!kind) return nullptr;
            found = kinds_.emplace(key, std::move(kind)).first;
        }
        last_key_ = key;
        last_ = found->second.get();
        return last_;
    }

private:
    std::unique_ptr<Kind> make(std::uint32_t code, std::uint8_t flags) {
        auto kind = std::make_unique<Kind>();
        kind->code = Ref(PyLong_FromUnsignedLong(code));
        if (!kind->code) return nullptr;
        Ref key(PyLong_FromUnsignedLong((static_cast<std::uint32_t>(flags) << 24) | code));
        if (!key) return nullptr;
        kind->held = Ref(PyObject_GetItem(kinds_of_, key.get()));
        if (!kind->held) return nullptr;
        PyObject* t = kind->held.get();
        if (!PyTuple_Check(t) || PyTuple_Size(t) != 6) return refuse();
        kind->key = PyTuple_GetItem(t, 0);
        kind->unit = PyTuple_GetItem(t, 1);
        kind->name = PyTuple_GetItem(t, 2);
        PyObject* lookup = PyTuple_GetItem(t, 3);
        PyObject* integral = PyTuple_GetItem(t, 4);
        PyObject* dump_unit = PyTuple_GetItem(t, 5);
        if (!PyUnicode_Check(kind->key) || !PyUnicode_Check(kind->unit) || !PyUnicode_Check(kind->name) ||
            !PyUnicode_Check(dump_unit) || (lookup != Py_None && !PyLong_Check(lookup))) {
            return refuse();
        }
        if (lookup != Py_None) {
            const long width = PyLong_AsLong(lookup);
            if (width < 0 || width > 64) return refuse();
            kind->lookup = static_cast<int>(width);
        }
        const int truth = PyObject_IsTrue(integral);
        if (truth < 0) return nullptr;
        kind->integral = truth != 0;
        if (with_texts_ && (!py::str_arg(kind->key, "key", kind->key_text) ||
                            !py::str_arg(dump_unit, "dump_unit", kind->dump_unit))) {
            return nullptr;
        }
        return kind;
    }

    static std::unique_ptr<Kind> refuse() {
        PyErr_SetString(PyExc_TypeError,
                        "kinds must give (key, unit, name, lookup, integral, dump_unit): three str, None or "
                        "a width from 0 to 64, a truth value and a str");
        return nullptr;
    }

    PyObject* kinds_of_;
    bool with_texts_;
    std::unordered_map<std::uint32_t, std::unique_ptr<Kind>> kinds_;
    std::uint32_t last_key_ = 0;
    const Kind* last_ = nullptr;
};

// Whether a value reads as a whole number: an element without decimals in
// its table, read at its table's scale and reference.
bool whole(const Kind& kind, std::uint8_t flags) {
    return kind.integral && (flags & (DecodedArrays::kRescaled | DecodedArrays::kLocal)) == 0;
}

// Whether a meaning is looked up for a value: a code figure always (tables
// name missing figures too), a flag value only when present.
bool looks_up(const Kind& kind, bool missing) { return kind.lookup == 0 || (kind.lookup > 0 && !missing); }

struct FigureKey {
    std::uint32_t code;
    std::uint64_t raw;
    bool operator==(const FigureKey&) const = default;
};

struct FigureHash {
    std::size_t operator()(const FigureKey& k) const {
        return std::hash<std::uint64_t>()(k.raw * 0x9E3779B97F4A7C15ull ^ k.code);
    }
};

// The meanings of the figures met, each looked up once: as str objects for
// the items, as text for the dump.
class Meanings {
public:
    explicit Meanings(const TableSet& tables) : tables_(tables) {}

    // A borrowed str or None; null with an exception set.
    PyObject* object(const Kind& kind, std::uint32_t code, std::uint64_t raw) {
        auto [at, fresh] = objects_.try_emplace(FigureKey{code, raw});
        if (fresh) {
            if (figure_meaning(tables_, code, raw, kind.lookup > 0, static_cast<unsigned>(kind.lookup), scratch_)) {
                at->second = Ref(py::text_to_str(scratch_));
                if (!at->second) {
                    objects_.erase(at);
                    return nullptr;
                }
            } else {
                at->second = Ref::borrow(Py_None);
            }
        }
        return at->second.get();
    }

    // The meaning, or null when the tables give none.
    const std::string* text(const Kind& kind, std::uint32_t code, std::uint64_t raw) {
        auto [at, fresh] = texts_.try_emplace(FigureKey{code, raw});
        if (fresh) {
            at->second.first = figure_meaning(tables_, code, raw, kind.lookup > 0,
                                              static_cast<unsigned>(kind.lookup), at->second.second);
        }
        return at->second.first ? &at->second.second : nullptr;
    }

private:
    const TableSet& tables_;
    std::string scratch_;
    std::unordered_map<FigureKey, Ref, FigureHash> objects_;
    std::unordered_map<FigureKey, std::pair<bool, std::string>, FigureHash> texts_;
};

std::string_view without_trailing_nuls(std::string_view text) {
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    return text;
}

// Items are made as the tuple subclass they are, filled in place. CPython
// 3.14 caches a tuple's hash in the object, set by its own constructor:
// there the items go through tuple.__new__ instead.
bool fill_in_place() {
    static const bool in_place = [] {
        int major = 0, minor = 0;
        std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
        return major == 3 && minor < 14;
    }();
    return in_place;
}

// A new item of `type` holding `fields` (borrowed).
PyObject* new_item(PyTypeObject* type, PyObject* const (&fields)[7]) {
    if (fill_in_place()) {
        PyObject* item = PyType_GenericAlloc(type, 7);
        if (item == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < 7; ++i) {
            Py_INCREF(fields[i]);
            PyTuple_SetItem(item, i, fields[i]);
        }
        return item;
    }
    Ref values(PyTuple_New(7));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < 7; ++i) {
        Py_INCREF(fields[i]);
        PyTuple_SetItem(values.get(), i, fields[i]);
    }
    Ref tuple_new(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__new__"));
    if (!tuple_new) return nullptr;
    return PyObject_CallFunctionObjArgs(tuple_new.get(), reinterpret_cast<PyObject*>(type), values.get(), nullptr);
}

std::uint64_t bits_of(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The whole number `value` stands for. A negative scale multiplies by
// 10^-scale in doubles, one unit in the last place off at times
// (401499999.99999994 for 401500000 Hz): the nearest integer is the value.
PyObject* whole_number(double value) {
    value = std::nearbyint(value);
    constexpr double kLimit = 9.2e18;  // within long long
    if (value > -kLimit && value < kLimit) return PyLong_FromLongLong(static_cast<long long>(value));
    return PyLong_FromDouble(value);
}

// Builds the items in result order (subset after subset). Items are
// immutable, so an item equal to the last one made at the same place of a
// subset (the same column of a compressed message) is that item again:
// elements that hold one value in every subset cost no new objects. In an
// uncompressed message, whose subsets need not line up, an item equal to
// any made before is that item again (a SYNOP bulletin holds about one
// distinct item in ten).
class ItemMaker {
public:
    ItemMaker(const DecodedArrays& d, const TableSet& tables, PyTypeObject* type, PyObject* kinds)
        : d_(d), type_(type), kinds_(kinds, false), meanings_(tables), texts_(d.texts.size()),
          last_(d.compressed ? d.column_codes.size() : 0), made_(d.compressed ? 0 : d.codes.size()) {}

    // A new reference to item `i` of an uncompressed message; null with an
    // exception set.
    PyObject* item(std::size_t i) {
        const std::uint8_t flags = d_.flags[i];
        const double value = d_.values[i];
        const std::int32_t text = d_.text_index[i];
        const Same same = (flags & kText) != 0 ? Same{d_.codes[i], flags, text, 0, 0}
                                               : Same{d_.codes[i], flags, text, bits_of(value), d_.raws[i]};
        Made& at = made_.find(same);
        if (at.item != nullptr) return Ref::borrow(at.item).release();
        PyObject* item = fresh(previous_, same, value);
        if (item != nullptr) made_.fill(at, same, item);
        previous_.same = same;
        return item;
    }

    // A new reference to the item of column `j` in subset `s` of a
    // compressed message; null with an exception set.
    PyObject* cell(std::size_t j, std::size_t s) {
        const std::size_t n = d_.subsets;
        const std::uint8_t column_flags = d_.column_flags[j];
        const double value = d_.cells[j * n + s];
        std::int32_t text = -1;
        bool missing;
        if ((column_flags & kText) != 0) {
            const std::int32_t slot = d_.column_text_slot[j];
            if (slot >= 0) text = d_.text_cells[static_cast<std::size_t>(slot) * n + s];
            missing = text < 0;
        } else {
            missing = std::isnan(value);
        }
        const auto flags = static_cast<std::uint8_t>(column_flags | (missing ? kMissing : 0));
        // In one column, the same value is the same raw value.
        const std::uint64_t bits = (flags & kText) != 0 ? 0 : bits_of(value);
        Last& last = last_[j];
        if (last.item && last.same.flags == flags && last.same.bits == bits && last.same.text == text) {
            return Ref::borrow(last.item.get()).release();
        }
        const std::uint64_t raw = (flags & kText) != 0 ? 0 : cell_raw(d_, j, s);
        const Same same{d_.column_codes[j], flags, text, bits, raw};
        PyObject* item = fresh(last, same, value);
        if (item == nullptr) return nullptr;
        last.item = Ref::borrow(item);
        last.same = same;
        return item;
    }

private:
    // What makes two items equal.
    struct Same {
        std::uint32_t code = 0;
        std::uint8_t flags = 0;
        std::int32_t text = -1;
        std::uint64_t bits = 0, raw = 0;
        bool operator==(const Same&) const = default;
    };

    struct Made {
        Same same;
        PyObject* item = nullptr;  // borrowed: the result holds it; null for a free place
    };

    // The items made so far by what they hold: open addressing over a table
    // kept at most half full, which takes no more items once it is.
    class MadeItems {
    public:
        explicit MadeItems(std::size_t expected) {
            if (expected == 0) return;
            std::size_t size = 16;
            while (size < 2 * std::min<std::size_t>(expected, std::size_t{1} << 20)) size <<= 1;
            slots_.resize(size);
        }

        // The place of `same`: its item, or the free place where it goes.
        Made& find(const Same& same) {
            const std::size_t mask = slots_.size() - 1;
            std::uint64_t h = same.bits * 0x9E3779B97F4A7C15ull;
            h ^= (same.raw + (static_cast<std::uint64_t>(same.code) << 8 | same.flags)) * 0xC2B2AE3D27D4EB4Full;
            h ^= static_cast<std::uint64_t>(static_cast<std::uint32_t>(same.text)) * 0x165667B19E3779F9ull;
            for (std::size_t i = static_cast<std::size_t>(h ^ (h >> 29)) & mask;; i = (i + 1) & mask) {
                Made& m = slots_[i];
                if (m.item == nullptr || m.same == same) return m;
            }
        }

        void fill(Made& at, const Same& same, PyObject* item) {
            if (2 * (used_ + 1) > slots_.size()) return;
            at.same = same;
            at.item = item;
            ++used_;
        }

    private:
        std::vector<Made> slots_;
        std::size_t used_ = 0;
    };

    // The last item made at one place, and what it looked up.
    struct Last {
        Ref item;
        Same same;
        const Kind* kind = nullptr;   // of same.code and the kind's flags
        PyObject* meaning = nullptr;  // of same.code and same.raw, when looked up
    };

    // A new item; `last` is the last item at its place, whose kind and
    // meaning serve again where they are the same.
    PyObject* fresh(Last& last, const Same& same, double value) {
        constexpr std::uint8_t kKindFlags = kText | DecodedArrays::kOperator | DecodedArrays::kLocal;
        const std::uint32_t code = same.code;
        const std::uint8_t flags = same.flags;
        const bool same_kind =
            last.kind != nullptr && last.same.code == code && ((last.same.flags ^ flags) & kKindFlags) == 0;
        const Kind* kind = same_kind ? last.kind : kinds_.of(code, flags);
        if (kind == nullptr) return nullptr;
        if (!same_kind) last.meaning = nullptr;
        last.kind = kind;
        if ((flags & kText) != 0) {
            PyObject* shown = Py_None;
            if (same.text >= 0) {
                shown = text_object(static_cast<std::size_t>(same.text));
                if (shown == nullptr) return nullptr;
            }
            PyObject* const fields[7] = {kind->key, shown, kind->unit, kind->code.get(), kind->name, Py_None,
                                         Py_None};
            return new_item(type_, fields);
        }
        const bool missing = (flags & kMissing) != 0;
        Ref number(missing ? Ref::borrow(Py_None)
                           : Ref(whole(*kind, flags) ? whole_number(value) : PyFloat_FromDouble(value)));
        if (!number) return nullptr;
        PyObject* meaning = Py_None;
        if (looks_up(*kind, missing)) {
            meaning = last.meaning != nullptr && last.same.raw == same.raw ? last.meaning
                                                                          : meanings_.object(*kind, code, same.raw);
            if (meaning == nullptr) return nullptr;
        }
        last.meaning = looks_up(*kind, missing) ? meaning : nullptr;
        Ref raw(PyLong_FromUnsignedLongLong(same.raw));
        if (!raw) return nullptr;
        PyObject* const fields[7] = {kind->key, number.get(), kind->unit, kind->code.get(), kind->name, meaning,
                                     raw.get()};
        return new_item(type_, fields);
    }

    PyObject* text_object(std::size_t k) {
        if (!texts_[k]) texts_[k] = Ref(py::text_to_str(without_trailing_nuls(d_.texts[k])));
        return texts_[k].get();
    }

    const DecodedArrays& d_;
    PyTypeObject* type_;
    Kinds kinds_;
    Meanings meanings_;
    std::vector<Ref> texts_;
    std::vector<Last> last_;  // compressed: per column
    Last previous_;           // uncompressed: the item before
    MadeItems made_;          // uncompressed
};

PyTypeObject* item_type_arg(PyObject* obj) {
    if (!PyType_Check(obj) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "argument 'item_type': a subclass of tuple is expected");
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(obj);
}

// One value as the dump shows it.
void append_shown(std::string& out, const Kind& kind, std::uint8_t flags, double value, const std::string* text) {
    if ((flags & kText) != 0) {
        if (text == nullptr) out += "missing";
        else append_json_quoted(out, without_trailing_nuls(*text));
    } else if ((flags & kMissing) != 0) {
        out += "missing";
    } else if (whole(kind, flags)) {
        append_whole(out, value);
    } else {
        append_float_repr(out, value);
    }
}

void append_head(std::string& out, std::uint32_t code, const Kind& kind) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u ", code);
    out += digits;
    out += kind.key_text;
    out += " = ";
}

// The dump of an uncompressed message: a line per item, subset by subset.
bool dump_items(const DecodedArrays& d, Kinds& kinds, Meanings& meanings, std::string& out) {
    const std::size_t count = d.codes.size();
    for (std::size_t s = 0; s < d.subset_starts.size(); ++s) {
        out += "-- subset " + std::to_string(s + 1) + "\n";
        const std::size_t end = s + 1 < d.subset_starts.size() ? d.subset_starts[s + 1] : count;
        for (std::size_t i = d.subset_starts[s]; i < end; ++i) {
            const std::uint32_t code = d.codes[i];
            const std::uint8_t flags = d.flags[i];
            const Kind* kind = kinds.of(code, flags);
            if (kind == nullptr) return false;
            const std::int32_t t = d.text_index[i];
            append_head(out, code, *kind);
            append_shown(out, *kind, flags, d.values[i], t >= 0 ? &d.texts[static_cast<std::size_t>(t)] : nullptr);
            const bool missing = (flags & kMissing) != 0;
            if (!missing && !kind->dump_unit.empty()) {
                out.push_back(' ');
                out += kind->dump_unit;
            }
            if ((flags & kText) == 0 && looks_up(*kind, missing)) {
                const std::string* meaning = meanings.text(*kind, code, d.raws[i]);
                if (meaning != nullptr) {
                    out += " (";
                    out += *meaning;
                    out.push_back(')');
                }
            }
            out.push_back('\n');
        }
    }
    return true;
}

// The dump of a compressed message: a line per element, its one value when
// every subset holds the same, else [the value of each subset]; likewise
// its meaning, or (the meaning of each subset, "-" for none, joined by " | ").
bool dump_columns(const DecodedArrays& d, Kinds& kinds, Meanings& meanings, std::string& out) {
    const std::size_t n = d.subsets, m = d.column_codes.size();
    if (n == 0) return true;
    out += "-- " + std::to_string(n) + " subsets, compressed: one value per element where every subset holds it, "
           "else [one per subset]\n";
    std::vector<const std::string*> texts(n);
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t code = d.column_codes[j];
        const std::uint8_t column_flags = d.column_flags[j];
        const Kind* kind = kinds.of(code, column_flags);
        if (kind == nullptr) return false;
        const double* cells = d.cells.data() + j * n;
        const bool is_text = (column_flags & kText) != 0;
        const std::int32_t slot = d.column_text_slot[j];
        bool same = true, any_present = false;
        for (std::size_t s = 0; s < n; ++s) {
            bool missing;
            if (is_text) {
                const std::int32_t t = slot >= 0 ? d.text_cells[static_cast<std::size_t>(slot) * n + s] : -1;
                texts[s] = t >= 0 ? &d.texts[static_cast<std::size_t>(t)] : nullptr;
                missing = texts[s] == nullptr;
                if (s != 0 && same) {
                    same = (texts[s] == nullptr) == (texts[0] == nullptr) &&
                           (texts[s] == nullptr || without_trailing_nuls(*texts[s]) ==
                                                       without_trailing_nuls(*texts[0]));
                }
            } else {
                missing = std::isnan(cells[s]);
                if (s != 0 && same) same = missing == std::isnan(cells[0]) && (missing || cells[s] == cells[0]);
            }
            any_present = any_present || !missing;
        }
        auto flags_of = [&](std::size_t s) {
            const bool missing = is_text ? texts[s] == nullptr : std::isnan(cells[s]);
            return static_cast<std::uint8_t>(column_flags | (missing ? kMissing : 0));
        };
        const std::size_t shown = same ? 1 : n;
        append_head(out, code, *kind);
        if (!same) out.push_back('[');
        for (std::size_t s = 0; s < shown; ++s) {
            if (s != 0) out += ", ";
            append_shown(out, *kind, flags_of(s), cells[s], is_text ? texts[s] : nullptr);
        }
        if (!same) out.push_back(']');
        if (any_present && !kind->dump_unit.empty()) {
            out.push_back(' ');
            out += kind->dump_unit;
        }
        if (is_text || kind->lookup < 0) {
            out.push_back('\n');
            continue;
        }
        std::string said;
        bool any_meaning = false;
        for (std::size_t s = 0; s < shown; ++s) {
            if (s != 0) said += " | ";
            const bool missing = std::isnan(cells[s]);
            const std::string* meaning =
                looks_up(*kind, missing) ? meanings.text(*kind, code, cell_raw(d, j, s)) : nullptr;
            any_meaning = any_meaning || meaning != nullptr;
            said += meaning != nullptr ? *meaning : std::string("-");
        }
        if (any_meaning) {
            out += " (";
            out += said;
            out.push_back(')');
        }
        out.push_back('\n');
    }
    return true;
}

}  // namespace

PyObject* fn_items(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[4];
        if (!py::bind_args(args, kwargs, "items", {"decoded", "item_type", "kinds", "by_subset"}, a)) return nullptr;
        const TableSet* tables = nullptr;
        const DecodedArrays* decoded = decoded_arg(a[0], "decoded", &tables);
        if (decoded == nullptr) return nullptr;
        PyTypeObject* type = item_type_arg(a[1]);
        if (type == nullptr) return nullptr;
        const int by_subset = PyObject_IsTrue(a[3]);
        if (by_subset < 0) return nullptr;
        const DecodedArrays& d = *decoded;
        ItemMaker maker(d, *tables, type, a[2]);
        // Subset s holds the items [first(s), first(s) + size(s)) of the message.
        const std::size_t m = d.compressed && d.subsets != 0 ? d.column_codes.size() : 0;
        const std::size_t subsets = d.compressed ? d.subsets : d.subset_starts.size();
        const std::size_t count = d.compressed ? m * subsets : d.codes.size();
        auto first = [&](std::size_t s) { return d.compressed ? s * m : d.subset_starts[s]; };
        auto size = [&](std::size_t s) { return (s + 1 < subsets ? first(s + 1) : count) - first(s); };
        Ref out(PyList_New(static_cast<Py_ssize_t>(by_subset ? subsets : count)));
        if (!out) return nullptr;
        // The list that holds subset s, and the place of its first item there.
        std::vector<PyObject*> lists(by_subset ? subsets : 0);
        for (std::size_t s = 0; s < lists.size(); ++s) {
            lists[s] = PyList_New(static_cast<Py_ssize_t>(size(s)));
            if (lists[s] == nullptr) return nullptr;
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(s), lists[s]);
        }
        auto place = [&](std::size_t s, std::size_t k, PyObject* item) {
            if (by_subset) PyList_SetItem(lists[s], static_cast<Py_ssize_t>(k), item);
            else PyList_SetItem(out.get(), static_cast<Py_ssize_t>(first(s) + k), item);
        };
        if (!d.compressed) {
            for (std::size_t s = 0; s < subsets; ++s) {
                for (std::size_t k = 0, items = size(s); k < items; ++k) {
                    PyObject* item = maker.item(first(s) + k);
                    if (item == nullptr) return nullptr;
                    place(s, k, item);
                }
            }
            return out.release();
        }
        // The cells lie column after column and the items go subset after
        // subset: a block of subsets at a time, column by column, reads and
        // writes memory that stays in cache.
        constexpr std::size_t kBlock = 64;
        for (std::size_t s0 = 0; s0 < subsets; s0 += kBlock) {
            const std::size_t s1 = std::min(subsets, s0 + kBlock);
            for (std::size_t j = 0; j < m; ++j) {
                for (std::size_t s = s0; s < s1; ++s) {
                    PyObject* item = maker.cell(j, s);
                    if (item == nullptr) return nullptr;
                    place(s, j, item);
                }
            }
        }
        return out.release();
    })
}

PyObject* fn_dump_text(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        if (!py::bind_args(args, kwargs, "dump_text", {"decoded", "kinds"}, a)) return nullptr;
        const TableSet* tables = nullptr;
        const DecodedArrays* decoded = decoded_arg(a[0], "decoded", &tables);
        if (decoded == nullptr) return nullptr;
        Kinds kinds(a[1], true);
        Meanings meanings(*tables);
        std::string out;
        const bool ok = decoded->compressed ? dump_columns(*decoded, kinds, meanings, out)
                                            : dump_items(*decoded, kinds, meanings, out);
        if (!ok) return nullptr;
        return py::text_to_str(out);
    })
}

}  // namespace corvena::ext
