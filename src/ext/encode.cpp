// Encoding for the package: the values of a decoded message (edited or
// not), or values the package gathered from a caller, written as the data
// of section 4 by the core, with the interpreter lock released.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ext/functions.hpp"
#include "ext/numbers.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/encode.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ValueError(text, subset, item, code): what the package turns into an
// error naming the key.
PyObject* raise_fault(const std::string& text, const EncodeFault& fault) {
    Ref s(py::text_to_str(text));
    if (!s) return nullptr;
    Ref args(Py_BuildValue("(OIKI)", s.get(), fault.subset, static_cast<unsigned long long>(fault.item),
                           fault.code));
    if (args) PyErr_SetObject(PyExc_ValueError, args.get());
    return nullptr;
}

// The UTF-8 octets of a str, or those of a bytes object.
bool text_octets(PyObject* obj, std::string& out) {
    if (PyBytes_Check(obj)) {
        std::string_view v;
        if (!py::bytes_arg(obj, "text", v)) return false;
        out.assign(v);
        return true;
    }
    return py::str_arg(obj, "text", out);
}

// Sets item `j` of subset `s` of a column form (the cell (j, s) of a
// compressed one) to `value`: a number, None (missing) or a text.
bool set_item(DecodedArrays& d, std::uint32_t s, std::uint64_t j, PyObject* value) {
    const bool is_text = PyUnicode_Check(value) || PyBytes_Check(value);
    double number = kNaN;
    std::int32_t index = -1;
    if (is_text) {
        std::string t;
        if (!text_octets(value, t)) return false;
        d.texts.push_back(std::move(t));
        index = static_cast<std::int32_t>(d.texts.size() - 1);
    } else if (value != Py_None) {
        number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return false;
    }
    if (d.compressed) {
        if (j >= d.column_codes.size() || s >= d.subsets) {
            PyErr_SetString(PyExc_IndexError, "no such item");
            return false;
        }
        const std::int32_t slot = d.column_text_slot[j];
        if (slot < 0 && is_text) {
            EncodeFault f{true, s, j, d.column_codes[j], "a number is expected, not a text"};
            raise_fault(f.why, f);
            return false;
        }
        if (slot >= 0 && !is_text && value != Py_None) {
            EncodeFault f{true, s, j, d.column_codes[j], "a text is expected, not a number"};
            raise_fault(f.why, f);
            return false;
        }
        d.cells[j * d.subsets + s] = is_text ? 0.0 : number;
        if (slot >= 0) d.text_cells[static_cast<std::size_t>(slot) * d.subsets + s] = index;
        return true;
    }
    if (s >= d.subset_starts.size()) {
        PyErr_SetString(PyExc_IndexError, "no such subset");
        return false;
    }
    const std::uint64_t end = s + 1 < d.subset_starts.size() ? d.subset_starts[s + 1] : d.codes.size();
    const std::uint64_t i = d.subset_starts[s] + j;
    if (i >= end) {
        PyErr_SetString(PyExc_IndexError, "no such item");
        return false;
    }
    std::uint8_t flags = static_cast<std::uint8_t>(d.flags[i] & ~(DecodedArrays::kMissing | DecodedArrays::kHasText));
    if (is_text || ((d.flags[i] & DecodedArrays::kHasText) != 0 && value == Py_None)) flags |= DecodedArrays::kHasText;
    if (std::isnan(number) && !is_text) flags |= DecodedArrays::kMissing;
    d.flags[i] = flags;
    d.values[i] = is_text ? 0.0 : number;
    d.text_index[i] = index;
    return true;
}

// The column form of values gathered by the package: (numbers, starts,
// texts, new_references) with numbers float64 bytes (NaN: missing), one
// per item, subset after subset; starts uint64 bytes, each subset's first
// item; texts a list of (item, str or None); new_references None or a
// list of one list of ints per subset.
bool gathered(PyObject* obj, DecodedArrays& d) {
    PyObject *numbers, *starts, *texts, *refs;
    if (!PyTuple_Check(obj) || !PyArg_ParseTuple(obj, "OOOO", &numbers, &starts, &texts, &refs)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "argument 'values': a Decoded object or a tuple");
        return false;
    }
    if (!numbers_arg<double>(numbers, "numbers", d.values) ||
        !numbers_arg<std::uint64_t>(starts, "starts", d.subset_starts)) {
        return false;
    }
    const std::size_t n = d.values.size();
    for (std::uint64_t start : d.subset_starts) {
        if (start > n) {
            PyErr_SetString(PyExc_ValueError, "argument 'starts': past the items");
            return false;
        }
    }
    d.compressed = false;
    d.subsets = static_cast<std::uint32_t>(d.subset_starts.size());
    d.codes.assign(n, 0);
    d.raws.assign(n, 0);
    d.text_index.assign(n, -1);
    d.flags.resize(n);
    for (std::size_t i = 0; i < n; ++i) d.flags[i] = std::isnan(d.values[i]) ? DecodedArrays::kMissing : 0;
    Ref seq(PySequence_Fast(texts, "argument 'texts': a list of (item, text) pairs is expected"));
    if (!seq) return false;
    const Py_ssize_t m = PySequence_Size(seq.get());
    std::string t;
    for (Py_ssize_t k = 0; k < m; ++k) {
        Ref pair(PySequence_GetItem(seq.get(), k));
        if (!pair) return false;
        unsigned long long i;
        PyObject* text;
        if (!PyArg_ParseTuple(pair.get(), "KO", &i, &text)) return false;
        if (i >= n) {
            PyErr_SetString(PyExc_ValueError, "argument 'texts': an item past the numbers");
            return false;
        }
        d.flags[i] = DecodedArrays::kHasText;
        if (text == Py_None) {
            d.flags[i] |= DecodedArrays::kMissing;
            continue;
        }
        if (!text_octets(text, t)) return false;
        d.texts.push_back(t);
        d.text_index[i] = static_cast<std::int32_t>(d.texts.size() - 1);
    }
    if (refs == Py_None) return true;
    Ref subsets(PySequence_Fast(refs, "argument 'new_references': a list of lists of ints is expected"));
    if (!subsets) return false;
    const Py_ssize_t ns = PySequence_Size(subsets.get());
    for (Py_ssize_t s = 0; s < ns; ++s) {
        d.new_reference_starts.push_back(d.new_references.size());
        Ref one(PySequence_GetItem(subsets.get(), s));
        if (!one) return false;
        Ref values(PySequence_Fast(one.get(), "argument 'new_references': a list of lists of ints is expected"));
        if (!values) return false;
        const Py_ssize_t nv = PySequence_Size(values.get());
        for (Py_ssize_t k = 0; k < nv; ++k) {
            Ref v(PySequence_GetItem(values.get(), k));
            if (!v) return false;
            const long long x = PyLong_AsLongLong(v.get());
            if (x == -1 && PyErr_Occurred()) return false;
            d.new_references.push_back(x);
        }
    }
    return true;
}

}  // namespace

PyObject* fn_encode(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[6];
        if (!py::bind_args(args, kwargs, "encode",
                           {"tables", "descriptors", "values", "subsets", "compressed", "edits"}, a) ||
            !py::instance_arg(a[0], "tables", tableset_type(), "TableSet")) {
            return nullptr;
        }
        std::vector<std::uint32_t> descriptors;
        if (!py::codes_arg(a[1], "descriptors", descriptors)) return nullptr;
        DecodedArrays own;
        const DecodedArrays* values = nullptr;
        // Numbers past their width are written again only as decoded: an
        // edited value must fit.
        const bool decoded = !PyTuple_Check(a[2]) && a[5] == Py_None;
        if (PyTuple_Check(a[2])) {
            if (!gathered(a[2], own)) return nullptr;
            values = &own;
        } else {
            values = decoded_arg(a[2], "values");
            if (values == nullptr) return nullptr;
        }
        if (a[5] != Py_None) {
            // Edits change a copy: the decoded message stays as it was.
            if (values != &own) {
                own = *values;
                values = &own;
            }
            Ref edits(PySequence_Fast(a[5], "argument 'edits': a list of (subset, item, value) is expected"));
            if (!edits) return nullptr;
            const Py_ssize_t m = PySequence_Size(edits.get());
            for (Py_ssize_t k = 0; k < m; ++k) {
                Ref edit(PySequence_GetItem(edits.get(), k));
                if (!edit) return nullptr;
                unsigned int s;
                unsigned long long j;
                PyObject* value;
                if (!PyArg_ParseTuple(edit.get(), "IKO", &s, &j, &value) || !set_item(own, s, j, value)) return nullptr;
            }
        }
        const std::uint32_t in_subsets =
            values->compressed ? values->subsets : static_cast<std::uint32_t>(values->subset_starts.size());
        std::vector<std::uint32_t> chosen;
        if (a[3] == Py_None) {
            chosen.resize(in_subsets);
            for (std::uint32_t s = 0; s < in_subsets; ++s) chosen[s] = s;
        } else if (!py::codes_arg(a[3], "subsets", chosen)) {
            return nullptr;
        }
        const int compressed = PyObject_IsTrue(a[4]);
        if (compressed < 0) return nullptr;
        const TableSet& tables = tables_of(a[0]);
        EncodeFault fault;
        std::optional<Result<std::string>> out;
        Py_BEGIN_ALLOW_THREADS
        try {
            out.emplace(encode_section4(*values, chosen, tables, descriptors, compressed != 0, decoded, fault));
        } catch (...) {
            out.reset();
        }
        Py_END_ALLOW_THREADS
        if (!out) return PyErr_NoMemory();
        if (!*out) {
            const BufrError& error = out->error();
            if (fault.set) return raise_fault(fault.why, fault);
            return py::raise_bufr(error);
        }
        const std::string& data = out->value();
        return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
    })
}

PyObject* fn_layout(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[3];
        if (!py::bind_args(args, kwargs, "layout", {"tables", "descriptors", "counts"}, a) ||
            !py::instance_arg(a[0], "tables", tableset_type(), "TableSet")) {
            return nullptr;
        }
        std::vector<std::uint32_t> descriptors;
        std::vector<std::uint64_t> counts;
        if (!py::codes_arg(a[1], "descriptors", descriptors) || !numbers_arg<std::uint64_t>(a[2], "counts", counts)) {
            return nullptr;
        }
        auto layout = lay_out(tables_of(a[0]), descriptors, counts);
        if (!layout) return py::raise_bufr(layout.error());
        Ref codes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(layout->codes.data()),
                                            static_cast<Py_ssize_t>(layout->codes.size() * 4)));
        Ref flags(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(layout->flags.data()),
                                            static_cast<Py_ssize_t>(layout->flags.size())));
        if (!codes || !flags) return nullptr;
        Ref group;
        if (layout->complete) {
            group = Ref::borrow(Py_None);
        } else {
            group = Ref(PyList_New(static_cast<Py_ssize_t>(layout->group.size())));
            if (!group) return nullptr;
            for (std::size_t i = 0; i < layout->group.size(); ++i) {
                PyObject* c = PyLong_FromUnsignedLong(layout->group[i]);
                if (c == nullptr) return nullptr;
                PyList_SetItem(group.get(), static_cast<Py_ssize_t>(i), c);
            }
        }
        return PyTuple_Pack(3, codes.get(), flags.get(), group.get());
    })
}

}  // namespace corvena::ext
