// The layouts of the _corvena objects that the package's second extension
// module (corvena._ext) reads and makes as well. Both modules are built
// from this tree into one wheel, link the same core library and see these
// same declarations, so an object made by one is read correctly by the
// other; the type objects themselves always come from _corvena.
#pragma once

#include <Python.h>

#include "message/framing.hpp"
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

}  // namespace corvena::py
