// The object path for the package: a message decoded once into the
// DecodedValue objects of _corvena (made by _corvena, which owns their
// memory) together with where each subset starts, so that the package's
// items, subsets and native values all come from one decode.
#include <string_view>

#include "ext/functions.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/decode.hpp"
#include "message/scan.hpp"

namespace corvena::ext {

using py::Ref;

PyObject* fn_decode_items(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string_view data;
        if (!py::bind_args(args, kwargs, "decode_items", {"data", "tables"}, a) ||
            !py::bytes_arg(a[0], "data", data) || !py::instance_arg(a[1], "tables", tableset_type(), "TableSet")) {
            return nullptr;
        }
        std::string_view bytes;
        auto message = first_message(data, bytes);
        if (!message) return py::raise_bufr(message.error());
        auto values = decode_section4(
            *message, tables_of(a[1]), bytes.substr(message->section4_data_offset, message->section4_data_length));
        if (!values) return py::raise_bufr(values.error());
        Ref starts;
        if (message->compressed_data) {
            starts = Ref::borrow(Py_None);
        } else {
            starts = Ref(PyList_New(static_cast<Py_ssize_t>(values->subset_starts.size())));
            if (!starts) return nullptr;
            for (std::size_t i = 0; i < values->subset_starts.size(); ++i) {
                PyObject* n = PyLong_FromUnsignedLongLong(values->subset_starts[i]);
                if (n == nullptr) return nullptr;
                PyList_SetItem(starts.get(), static_cast<Py_ssize_t>(i), n);
            }
        }
        Ref list(corvena_api().decoded_list(*values, a[1]));
        recycle_items(std::move(values).value());
        if (!list) return nullptr;
        return PyTuple_Pack(2, list.get(), starts.get());
    })
}

}  // namespace corvena::ext
