// The layouts of the _corvena objects that the package's second extension
// module (corvena._ext) reads and makes as well. Both modules are built
// from this tree into one wheel, link the same core library and see these
// same declarations, so an object made by one is read correctly by the
// other; the type objects themselves always come from _corvena.
#pragma once

#include <Python.h>

#include <cstdint>

#include "message/framing.hpp"
#include "message/value.hpp"
#include "tables/table_set.hpp"

namespace corvena::py {

class StrCache;

struct TableSetObject {
    PyObject_HEAD
    TableSet* tables;  // owned; never changed after the object is made
    // The str objects of the names and meanings of this set, made once and
    // shared by every DecodedValue decoded with it (null until first used;
    // only touched with the interpreter lock held).
    StrCache* strings;
};

// Frees a StrCache (and the references it holds).
void free_str_cache(StrCache* cache);

struct MessageObject {
    PyObject_HEAD
    BufrMessage* record;  // owned
};

// What _corvena offers corvena._ext, in a capsule at _corvena._C_API (not in
// __all__): _ext checks at import that both modules were built from the
// same declarations (the object layouts above by the classes' sizes, the
// records handed over here by theirs), then makes DecodedValue objects
// through _corvena, which owns their memory.
struct CApi {
    std::uint32_t version;
    std::uint32_t decoded_value_size;   // sizeof(DecodedValue)
    std::uint32_t decoded_values_size;  // sizeof(DecodedValues)
    // A list of new DecodedValue objects for `values` (see decoded_list).
    PyObject* (*decoded_list)(const DecodedValues& values, PyObject* tableset);
};
constexpr std::uint32_t kCApiVersion = 1;
constexpr const char* kCApiName = "_corvena._C_API";

inline CApi make_c_api(PyObject* (*decoded_list)(const DecodedValues&, PyObject*)) {
    return CApi{kCApiVersion,
                static_cast<std::uint32_t>(sizeof(DecodedValue)),
                static_cast<std::uint32_t>(sizeof(DecodedValues)),
                decoded_list};
}

}  // namespace corvena::py
