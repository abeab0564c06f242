// Decoding for the package: messages decoded into plain number columns by
// the core, with the interpreter lock released, each handed to Python as one
// Decoded object (corvena/arrays.py and the message objects read it).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <cstring>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "common/civil_time.hpp"
#include "ext/functions.hpp"
#include "ext/numbers.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/decode.hpp"
#include "message/decoded_arrays.hpp"
#include "message/rows.hpp"
#include "message/scan.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

// One message to decode: its bytes (a view into a bytes object held for
// the call) and its TableSet object (held for the call too).
struct Job {
    std::string_view data;
    PyObject* tables;
};

// Why a message gave no arrays: its BufrError (raised as ValueError, or
// listed by decode_many), or a failure of the C++ side (out of memory, a
// broken invariant), always raised.
struct Failure {
    enum class Kind { Bufr, NoMemory, Internal };
    Kind kind;
    std::string text;
};

// What decoding one message gave: the arrays, or why not.
using Outcome = std::variant<DecodedArrays, Failure>;

// The first message of `data`, framed and decoded, as decode_values_with_tables
// frames and decodes it, so that both paths fail alike.
Outcome decode_one(const Job& job) {
    try {
        std::string_view bytes;
        auto message = first_message(job.data, bytes);
        if (!message) return Failure{Failure::Kind::Bufr, message.error().text()};
        auto arrays = decode_section4_arrays(
            *message, tables_of(job.tables), bytes.substr(message->section4_data_offset, message->section4_data_length));
        if (!arrays) return Failure{Failure::Kind::Bufr, arrays.error().text()};
        return std::move(arrays).value();
    } catch (const std::bad_alloc&) {
        return Failure{Failure::Kind::NoMemory, {}};
    } catch (const std::exception& e) {
        return Failure{Failure::Kind::Internal, e.what()};
    }
}

// Raises a failure as the object path raises it.
void raise_failure(const Failure& failure) {
    switch (failure.kind) {
    case Failure::Kind::NoMemory:
        PyErr_NoMemory();
        return;
    case Failure::Kind::Internal:
        py::raise_internal(failure.text.c_str());
        return;
    case Failure::Kind::Bufr: {
        Ref s(py::text_to_str(failure.text));
        if (s) PyErr_SetObject(PyExc_ValueError, s.get());
        return;
    }
    }
}

// Decodes the jobs on `threads` threads with the interpreter lock
// released, and hands each outcome, in job order, to `take` (called with
// the lock held, on the calling thread) as soon as it is ready, so that a
// message's columns are turned into Python objects and freed while the
// next ones decode. `take` returns false to stop (a Python error is then
// set); the threads then finish the block they hold and stop.
template <class Take>
bool run_jobs(const std::vector<Job>& jobs, unsigned threads, Take&& take) {
    if (jobs.empty()) return true;
    std::vector<Outcome> outcomes(jobs.size());
    std::vector<char> ready(jobs.size(), 0);
    std::mutex mutex;
    std::condition_variable done;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    // More threads than this only cost their stacks; and a thread costs
    // about what decoding a few kB of BUFR does, so each one more is given
    // 64 kB of messages at least (a few small messages decode on one).
    constexpr unsigned kMaxThreads = 256;
    constexpr std::size_t kBytesPerThread = std::size_t{64} << 10;
    std::size_t bytes = 0;
    for (const Job& job : jobs) bytes += job.data.size();
    const unsigned wanted = static_cast<unsigned>(std::min<std::size_t>(
        {std::clamp(threads, 1u, kMaxThreads), jobs.size(), std::max<std::size_t>(1, bytes / kBytesPerThread)}));
    // Jobs are taken a block at a time, and a block's outcomes handed over
    // under one lock: small messages decode in a few microseconds, about
    // what taking a lock and waking a thread costs.
    const std::size_t block = std::clamp<std::size_t>(jobs.size() / (std::size_t{wanted} * 16), 1, 32);
    // Decodes the next block not yet taken; false when none is left.
    auto decode_block = [&]() -> bool {
        const std::size_t first = next.fetch_add(block);
        if (first >= jobs.size() || stop) return false;
        const std::size_t last = std::min(first + block, jobs.size());
        std::vector<Outcome> mine;
        mine.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) mine.push_back(decode_one(jobs[i]));
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = first; i < last; ++i) {
            outcomes[i] = std::move(mine[i - first]);
            ready[i] = 1;
        }
        done.notify_all();
        return true;
    };
    auto work = [&] {
        while (decode_block()) {
        }
    };
    // The calling thread decodes too, while the outcome it is to hand on
    // next is not ready: with one thread it does all the work.
    std::vector<std::thread> pool;
    if (wanted > 1) {
        pool.reserve(wanted - 1);
        try {
            for (unsigned t = 1; t < wanted; ++t) pool.emplace_back(work);
        } catch (...) {
            // No more threads to be had: those started and this one do the work.
        }
    }
    bool ok = true;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Outcome outcome;
        Py_BEGIN_ALLOW_THREADS
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (ready[i]) break;
            }
            if (!decode_block()) {
                std::unique_lock<std::mutex> lock(mutex);
                done.wait(lock, [&] { return ready[i] != 0; });
                break;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            outcome = std::move(outcomes[i]);
        }
        Py_END_ALLOW_THREADS
        if (!take(i, outcome)) {
            ok = false;
            stop = true;
            break;
        }
    }
    if (!pool.empty()) {
        Py_BEGIN_ALLOW_THREADS
        for (auto& t : pool) t.join();
        Py_END_ALLOW_THREADS
    }
    return ok;
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
        PyObject* result = nullptr;
        run_jobs({Job{data, a[1]}}, 1, [&](std::size_t, Outcome& outcome) {
            if (auto* failure = std::get_if<Failure>(&outcome)) {
                raise_failure(*failure);
                return false;
            }
            result = own_decoded(std::move(std::get<DecodedArrays>(outcome)), a[1]);
            return result != nullptr;
        });
        return result;
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
        if (threads == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'threads': at least 1 is expected");
            return nullptr;
        }
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
            jobs.push_back(Job{data, t});
            held.push_back(std::move(item));
            if (table) held.push_back(std::move(table));
        }
        Ref list(PyList_New(n));
        if (!list) return nullptr;
        const bool ok = run_jobs(jobs, threads, [&](std::size_t i, Outcome& outcome) {
            PyObject* obj;
            if (auto* failure = std::get_if<Failure>(&outcome)) {
                if (failure->kind != Failure::Kind::Bufr) {
                    raise_failure(*failure);
                    return false;
                }
                obj = py::text_to_str(failure->text);
            } else {
                obj = own_decoded(std::move(std::get<DecodedArrays>(outcome)), jobs[i].tables);
            }
            if (obj == nullptr) return false;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), obj);
            return true;
        });
        if (!ok) return nullptr;
        return list.release();
    })
}

namespace {

template <class T>
PyObject* bytes_of(const std::vector<T>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

// The Decoded objects of the sequence `obj`, all decoded with one TableSet
// (held in `held` for the call); false with an exception set otherwise.
bool decoded_parts(PyObject* obj, std::vector<const DecodedArrays*>& parts, std::vector<Ref>& held) {
    Ref seq(PySequence_Fast(obj, "argument 'decoded': a sequence of Decoded objects is expected"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Size(seq.get());
    if (n < 0) return false;
    const TableSet* first = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(seq.get(), i));
        if (!item) return false;
        const TableSet* used = nullptr;
        const DecodedArrays* d = decoded_arg(item.get(), "decoded", &used);
        held.push_back(std::move(item));
        if (d == nullptr) return false;
        if (first != nullptr && used != first) {
            PyErr_SetString(PyExc_ValueError, "argument 'decoded': every message must be decoded with one TableSet");
            return false;
        }
        first = used;
        parts.push_back(d);
    }
    return true;
}

// A new bytes object of `count` numbers of `size` bytes, and where its
// bytes are (to fill before anyone else sees it); null with MemoryError
// when the size is beyond what a bytes object holds.
PyObject* new_bytes(std::size_t count, std::size_t size, char*& data) {
    if (size != 0 && count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / size) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * size));
    data = out == nullptr ? nullptr : PyBytes_AsString(out);
    if (out != nullptr && data == nullptr) {
        Py_DECREF(out);
        return nullptr;
    }
    return out;
}

template <class T>
std::span<T> span_of(char* data, std::size_t count) {
    return {reinterpret_cast<T*>(data), count};
}

// The text of an item as str (its trailing NULs left out), or None.
PyObject* text_or_none(const std::string* text) {
    if (text == nullptr) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    std::string_view view(*text);
    while (!view.empty() && view.back() == '\0') view.remove_suffix(1);
    return py::text_to_str(view);
}

}  // namespace

PyObject* fn_unknown_codes(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        if (!py::bind_args(args, kwargs, "unknown_codes", {"decoded", "lut"}, a)) return nullptr;
        std::vector<const DecodedArrays*> parts;
        std::vector<Ref> held;
        std::vector<std::int16_t> copy;
        std::span<const std::int16_t> lut;
        if (!decoded_parts(a[0], parts, held) || !numbers_view(a[1], "lut", copy, lut)) return nullptr;
        const auto codes = unknown_codes(parts, lut);
        Ref list(PyList_New(static_cast<Py_ssize_t>(codes.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            PyObject* code = PyLong_FromUnsignedLong(codes[i]);
            if (code == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), code);
        }
        return list.release();
    })
}

PyObject* fn_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[6];
        if (!py::bind_args(args, kwargs, "rows", {"decoded", "lut", "key_of", "width", "required", "positions"}, a)) {
            return nullptr;
        }
        std::vector<const DecodedArrays*> parts;
        std::vector<Ref> held;
        std::vector<std::int16_t> lut_copy;
        std::span<const std::int16_t> lut;
        std::vector<std::int32_t> key_of;
        std::vector<std::uint8_t> required;
        std::vector<std::uint8_t> positions;
        std::uint32_t width = 0;
        if (!decoded_parts(a[0], parts, held) || !numbers_view(a[1], "lut", lut_copy, lut) ||
            !numbers_arg(a[2], "key_of", key_of) || !py::u32_arg(a[3], "width", width) ||
            !numbers_arg(a[4], "required", required) || !numbers_arg(a[5], "positions", positions)) {
            return nullptr;
        }
        RowBatch batch;
        bool ok = false;
        Py_BEGIN_ALLOW_THREADS
        ok = lay_out_batch(parts, lut, key_of, width, required, batch);
        Py_END_ALLOW_THREADS
        if (!ok || (!positions.empty() && positions.size() != width)) {
            PyErr_SetString(PyExc_ValueError,
                            "rows: a descriptor not looked up, an element without a key, or not one byte per "
                            "key in `required` or `positions`");
            return nullptr;
        }
        const std::size_t total = batch.size();
        const std::size_t marked = static_cast<std::size_t>(std::count_if(
            positions.begin(), positions.end(), [](std::uint8_t b) { return b != 0; }));
        char* at[3];
        Ref messages(new_bytes(total, sizeof(std::int64_t), at[0]));
        if (!messages) return nullptr;
        Ref values(new_bytes(total * width, sizeof(double), at[1]));
        if (!values) return nullptr;
        Ref present(new_bytes(total * width, 1, at[2]));
        if (!present) return nullptr;
        std::vector<std::int64_t> items(total * marked);
        Py_BEGIN_ALLOW_THREADS
        fill_batch(parts, batch, positions, span_of<std::int64_t>(at[0], total),
                   span_of<double>(at[1], total * width), span_of<std::uint8_t>(at[2], total * width), items);
        Py_END_ALLOW_THREADS
        // The texts of the marked keys, a list per key.
        const auto* message_of = reinterpret_cast<const std::int64_t*>(at[0]);
        Ref texts(PyList_New(static_cast<Py_ssize_t>(marked)));
        if (!texts) return nullptr;
        for (std::size_t k = 0; k < marked; ++k) {
            Ref column(PyList_New(static_cast<Py_ssize_t>(total)));
            if (!column) return nullptr;
            for (std::size_t r = 0; r < total; ++r) {
                const DecodedArrays& d = *parts[static_cast<std::size_t>(message_of[r])];
                PyObject* text = text_or_none(text_at(d, items[k * total + r]));
                if (text == nullptr) return nullptr;
                PyList_SetItem(column.get(), static_cast<Py_ssize_t>(r), text);
            }
            PyList_SetItem(texts.get(), static_cast<Py_ssize_t>(k), column.release());
        }
        Ref seen(bytes_of(batch.seen));
        if (!seen) return nullptr;
        return PyTuple_Pack(5, messages.get(), values.get(), present.get(), texts.get(), seen.get());
    })
}

PyObject* fn_datetimes(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[6];
        if (!py::bind_args(args, kwargs, "datetimes", {"year", "month", "day", "hour", "minute", "second"}, a)) {
            return nullptr;
        }
        static const char* const kNames[6] = {"year", "month", "day", "hour", "minute", "second"};
        std::vector<double> copies[6];
        std::span<const double> parts[6];
        for (int k = 0; k < 6; ++k) {
            if (!numbers_view(a[k], kNames[k], copies[k], parts[k])) return nullptr;
            if (parts[k].size() != parts[0].size()) {
                PyErr_SetString(PyExc_ValueError, "datetimes: the parts are not all of one length");
                return nullptr;
            }
        }
        std::vector<std::int64_t> out(parts[0].size());
        civil_times(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5], out);
        return bytes_of(out);
    })
}

}  // namespace corvena::ext
