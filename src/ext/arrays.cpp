// The array path: messages decoded into plain number columns by the core,
// with the interpreter lock released, and handed to Python as bytes
// objects that numpy reads in place (corvena/arrays.py builds the arrays).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "ext/functions.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/decode.hpp"
#include "message/scan.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

// One message to decode: its bytes (a view into a bytes object held for
// the call) and its tables.
struct Job {
    std::string_view data;
    const TableSet* tables;
};

// What decoding one message gave: the arrays, or the error text.
using Outcome = std::variant<DecodedArrays, std::string>;

// The first message of `data`, framed and decoded, as decode_values_with_tables
// frames and decodes it, so that both paths fail alike.
Outcome decode_one(const Job& job) {
    try {
        auto slices = scan_messages(job.data);
        if (!slices) return slices.error().text();
        if (slices->empty()) return BufrError::missing_marker().text();
        const std::string_view bytes = job.data.substr((*slices)[0].start, (*slices)[0].length);
        auto message = parse_message(bytes);
        if (!message) return message.error().text();
        auto arrays = decode_section4_arrays(
            *message, *job.tables, bytes.substr(message->section4_data_offset, message->section4_data_length));
        if (!arrays) return arrays.error().text();
        return std::move(arrays).value();
    } catch (const std::bad_alloc&) {
        return std::string("\x01") + "out of memory";
    } catch (const std::exception& e) {
        return std::string("\x01") + e.what();
    }
}

template <class T>
PyObject* bytes_of(const std::vector<T>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    Ref held(value);
    return PyDict_SetItemString(dict, key, value) == 0;
}

PyObject* text_list(const std::vector<std::string>& texts) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* s = py::text_to_str(texts[i]);
        if (s == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

// The arrays of one message as a dict of bytes objects and counts.
PyObject* to_python(const DecodedArrays& a) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    bool ok = set_item(d.get(), "compressed", PyBool_FromLong(a.compressed)) &&
              set_item(d.get(), "subsets", PyLong_FromUnsignedLong(a.subsets)) &&
              set_item(d.get(), "texts", text_list(a.texts));
    if (!ok) return nullptr;
    if (a.compressed) {
        ok = set_item(d.get(), "column_codes", bytes_of(a.column_codes)) &&
             set_item(d.get(), "column_r0", bytes_of(a.column_r0)) &&
             set_item(d.get(), "column_flags", bytes_of(a.column_flags)) &&
             set_item(d.get(), "column_text_slot", bytes_of(a.column_text_slot)) &&
             set_item(d.get(), "column_scale", bytes_of(a.column_scale)) &&
             set_item(d.get(), "column_reference", bytes_of(a.column_reference)) &&
             set_item(d.get(), "cells", bytes_of(a.cells)) &&
             set_item(d.get(), "increments",
                      PyBytes_FromStringAndSize(static_cast<const char*>(a.increments.data()),
                                                static_cast<Py_ssize_t>(a.increments.byte_size()))) &&
             set_item(d.get(), "increment_bits", PyLong_FromUnsignedLong(a.increments.bits())) &&
             set_item(d.get(), "text_cells", bytes_of(a.text_cells));
    } else {
        ok = set_item(d.get(), "codes", bytes_of(a.codes)) && set_item(d.get(), "values", bytes_of(a.values)) &&
             set_item(d.get(), "raws", bytes_of(a.raws)) && set_item(d.get(), "flags", bytes_of(a.flags)) &&
             set_item(d.get(), "text_index", bytes_of(a.text_index)) &&
             set_item(d.get(), "subset_starts", bytes_of(a.subset_starts));
    }
    return ok ? d.release() : nullptr;
}

// Raises the error of a failed outcome as the object path raises it.
PyObject* raise_outcome(const std::string& text) {
    if (!text.empty() && text[0] == '\x01') {
        if (text == "\x01out of memory") return PyErr_NoMemory();
        return py::raise_internal(text.c_str() + 1);
    }
    Ref s(py::text_to_str(text));
    if (s) PyErr_SetObject(PyExc_ValueError, s.get());
    return nullptr;
}

// Decodes the jobs on `threads` threads with the interpreter lock
// released; outcomes in job order.
std::vector<Outcome> run_jobs(const std::vector<Job>& jobs, unsigned threads) {
    std::vector<Outcome> outcomes(jobs.size());
    Py_BEGIN_ALLOW_THREADS
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) outcomes[i] = decode_one(jobs[i]);
    };
    const unsigned extra = std::min<std::size_t>(threads, jobs.size()) > 1
                               ? static_cast<unsigned>(std::min<std::size_t>(threads, jobs.size())) - 1
                               : 0;
    std::vector<std::thread> pool;
    pool.reserve(extra);
    try {
        for (unsigned t = 0; t < extra; ++t) pool.emplace_back(work);
    } catch (...) {
        // No more threads to be had: the ones started and this one finish the work.
    }
    work();
    for (auto& t : pool) t.join();
    Py_END_ALLOW_THREADS
    return outcomes;
}

}  // namespace

PyObject* fn_decode_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string_view data;
        if (!py::bind_args(args, kwargs, "decode_arrays", {"data", "tables"}, a) ||
            !py::bytes_arg(a[0], "data", data) || !py::instance_arg(a[1], "tables", tableset_type(), "TableSet")) {
            return nullptr;
        }
        // Both objects stay referenced by the caller's frame for the call.
        std::vector<Outcome> out = run_jobs({Job{data, &tables_of(a[1])}}, 1);
        if (auto* text = std::get_if<std::string>(&out[0])) return raise_outcome(*text);
        return to_python(std::get<DecodedArrays>(out[0]));
    })
}

PyObject* fn_decode_many(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[3];
        if (!py::bind_args(args, kwargs, "decode_many", {"messages", "tables", "threads"}, a)) return nullptr;
        Ref messages(PySequence_Fast(a[0], "argument 'messages': a sequence of bytes is expected"));
        if (!messages) return nullptr;
        std::uint32_t threads = 1;
        if (!py::u32_arg(a[2], "threads", threads)) return nullptr;
        if (threads == 0) threads = 1;
        const Py_ssize_t n = PySequence_Size(messages.get());
        if (n < 0) return nullptr;
        const bool one_table = PyObject_IsInstance(a[1], reinterpret_cast<PyObject*>(tableset_type())) == 1;
        Ref table_seq;
        if (!one_table) {
            table_seq = Ref(PySequence_Fast(a[1], "argument 'tables': a TableSet or a sequence of them is expected"));
            if (!table_seq) return nullptr;
            if (PySequence_Size(table_seq.get()) != n) {
                PyErr_SetString(PyExc_ValueError, "argument 'tables': one TableSet per message is expected");
                return nullptr;
            }
        }
        // The objects are held until the threads are done, whatever other
        // Python threads do to the sequences meanwhile.
        std::vector<Ref> held;
        held.reserve(static_cast<std::size_t>(n) * 2);
        std::vector<Job> jobs;
        jobs.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item(PySequence_GetItem(messages.get(), i));
            if (!item) return nullptr;
            std::string_view data;
            if (!py::bytes_arg(item.get(), "messages", data)) return nullptr;
            PyObject* t = a[1];
            Ref table;
            if (!one_table) {
                table = Ref(PySequence_GetItem(table_seq.get(), i));
                if (!table) return nullptr;
                t = table.get();
            }
            if (!py::instance_arg(t, "tables", tableset_type(), "TableSet")) return nullptr;
            jobs.push_back(Job{data, &tables_of(t)});
            held.push_back(std::move(item));
            if (table) held.push_back(std::move(table));
        }
        std::vector<Outcome> out = run_jobs(jobs, threads);
        Ref list(PyList_New(n));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* obj;
            if (auto* text = std::get_if<std::string>(&out[static_cast<std::size_t>(i)])) {
                if (!text->empty() && (*text)[0] == '\x01') return raise_outcome(*text);
                obj = py::text_to_str(*text);
            } else {
                obj = to_python(std::get<DecodedArrays>(out[static_cast<std::size_t>(i)]));
                out[static_cast<std::size_t>(i)] = std::string();  // release the columns as we go
            }
            if (obj == nullptr) return nullptr;
            PyList_SetItem(list.get(), i, obj);
        }
        return list.release();
    })
}

}  // namespace corvena::ext
