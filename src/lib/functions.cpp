// The module functions: framing, scanning, expansion and decoding entries.
#include "lib/functions.hpp"

#include <string>
#include <vector>

#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "lib/types.hpp"
#include "message/decode.hpp"
#include "message/framing.hpp"
#include "message/scan.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/expand.hpp"
#include "common/fs.hpp"

namespace corvena::py {

namespace {

// Reads a message file; raises OSError when it cannot be read.
bool read_message_file(const std::string& path, std::string& out) {
    IoFailure failure;
    auto data = read_whole_file(path, failure);
    if (!data) {
        raise_os(failure);
        return false;
    }
    out = std::move(data).value();
    return true;
}

PyObject* parse_one(std::string_view data) {
    auto message = parse_message(data);
    if (!message) return raise_bufr(message.error());
    return wrap_message(std::move(message).value());
}

PyObject* parse_all(std::string_view data) {
    auto slices = scan_messages(data);
    if (!slices) return raise_bufr(slices.error());
    std::vector<BufrMessage> records;
    records.reserve(slices->size());
    for (const MessageSlice& s : *slices) {
        auto message = parse_message(data.substr(s.start, s.length));
        if (!message) return raise_bufr(message.error());
        records.push_back(std::move(message).value());
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* obj = wrap_message(std::move(records[i]));
        if (obj == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), obj);
    }
    return list.release();
}

PyObject* decode_with(std::string_view message_bytes, const BufrMessage& message, const TableSet& tables,
                      PyObject* tableset = nullptr) {
    const std::string_view area = message_bytes.substr(message.section4_data_offset, message.section4_data_length);
    auto values = decode_section4(message, tables, area);
    if (!values) return raise_bufr(values.error());
    PyObject* list = decoded_list(*values, tableset);
    recycle_items(std::move(values).value());
    return list;
}

}  // namespace

PyObject* fn_parse_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::string_view data;
        if (!bind_args(args, kwargs, "parse_bytes", {"data"}, a) || !bytes_arg(a[0], "data", data)) return nullptr;
        return parse_one(data);
    })
}

PyObject* fn_parse_file(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::string path, contents;
        if (!bind_args(args, kwargs, "parse_file", {"path"}, a) || !path_arg(a[0], "path", path)) return nullptr;
        if (!read_message_file(path, contents)) return nullptr;
        return parse_one(contents);
    })
}

PyObject* fn_parse_all_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::string_view data;
        if (!bind_args(args, kwargs, "parse_all_bytes", {"data"}, a) || !bytes_arg(a[0], "data", data)) {
            return nullptr;
        }
        return parse_all(data);
    })
}

PyObject* fn_parse_all_file(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[1];
        std::string path, contents;
        if (!bind_args(args, kwargs, "parse_all_file", {"path"}, a) || !path_arg(a[0], "path", path)) return nullptr;
        if (!read_message_file(path, contents)) return nullptr;
        return parse_all(contents);
    })
}

PyObject* fn_expand_descriptors(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string table_dir;
        std::vector<std::uint32_t> codes;
        if (!bind_args(args, kwargs, "expand_descriptors", {"table_dir", "descriptors"}, a) ||
            !path_arg(a[0], "table_dir", table_dir) || !codes_arg(a[1], "descriptors", codes)) {
            return nullptr;
        }
        auto tables = load_eccodes_dir(table_dir);
        if (!tables) return raise_bufr(tables.error());
        auto out = expand(*tables, codes);
        if (!out) return raise_bufr(out.error());
        return code_list(*out);
    })
}

PyObject* fn_decode_values(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string_view data;
        std::string table_dir;
        if (!bind_args(args, kwargs, "decode_values", {"data", "table_dir"}, a) || !bytes_arg(a[0], "data", data) ||
            !path_arg(a[1], "table_dir", table_dir)) {
            return nullptr;
        }
        std::string_view bytes;
        auto message = first_message(data, bytes);
        if (!message) return raise_bufr(message.error());
        auto tables = load_eccodes_dir(table_dir);
        if (!tables) return raise_bufr(tables.error());
        return decode_with(bytes, *message, *tables);
    })
}

PyObject* fn_decode_values_with_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string_view data;
        if (!bind_args(args, kwargs, "decode_values_with_tables", {"data", "tables"}, a) ||
            !bytes_arg(a[0], "data", data) || !instance_arg(a[1], "tables", tableset_type(), "TableSet")) {
            return nullptr;
        }
        std::string_view bytes;
        auto message = first_message(data, bytes);
        if (!message) return raise_bufr(message.error());
        return decode_with(bytes, *message, tableset_of(a[1]), a[1]);
    })
}

PyObject* fn_decode_values_with_definitions(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[2];
        std::string_view data;
        std::string root;
        if (!bind_args(args, kwargs, "decode_values_with_definitions", {"data", "definitions_root"}, a) ||
            !bytes_arg(a[0], "data", data) || !path_arg(a[1], "definitions_root", root)) {
            return nullptr;
        }
        std::string_view bytes;
        auto message = first_message(data, bytes);
        if (!message) return raise_bufr(message.error());
        auto tables = load_definitions_tables(root, table_request(*message));
        if (!tables) return raise_bufr(tables.error());
        return decode_with(bytes, *message, *tables);
    })
}

}  // namespace corvena::py
