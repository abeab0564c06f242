// JSON text of the number columns of a compressed message, for the dump:
// each value is written from its exact integer (local reference plus
// increment plus reference) with the decimal point placed by the scale, so
// 273.15 is written as 273.15 and never as 273.14999999999998.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ext/functions.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "lib/pyref.hpp"
#include "message/decoded_arrays.hpp"
#include "message/number_text.hpp"
#include "message/value.hpp"

namespace corvena::ext {

using py::Ref;

namespace {

template <class T>
T at(std::string_view bytes, std::size_t i) {
    T v;
    std::memcpy(&v, bytes.data() + i * sizeof(T), sizeof(T));
    return v;
}

// `units` / 10^scale in plain decimal notation: an integer when the scale
// is 0 or negative, else with the digits after the point (trailing zeros
// dropped down to one).
void append_decimal(std::string& out, __int128 units, std::int32_t scale) {
    if (units < 0) {
        out.push_back('-');
        units = -units;
    }
    char digits[64];
    int n = 0;
    unsigned __int128 u = static_cast<unsigned __int128>(units);
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
        u /= 10;
    } while (u != 0);
    if (scale <= 0) {
        for (int i = n - 1; i >= 0; --i) out.push_back(digits[i]);
        if (!(n == 1 && digits[0] == '0')) out.append(static_cast<std::size_t>(-scale), '0');
        return;
    }
    const int s = scale;
    if (u == 0 && n == 1 && digits[0] == '0') {
        out.append("0.0");
        return;
    }
    if (n <= s) {
        out.append("0.");
        out.append(static_cast<std::size_t>(s - n), '0');
        int last = 0;  // drop trailing zeros, keep one digit
        while (last < n - 1 && digits[last] == '0') ++last;
        for (int i = n - 1; i >= last; --i) out.push_back(digits[i]);
        return;
    }
    for (int i = n - 1; i >= s; --i) out.push_back(digits[i]);
    out.push_back('.');
    int last = 0;
    while (last < s - 1 && digits[last] == '0') ++last;
    for (int i = s - 1; i >= last; --i) out.push_back(digits[i]);
}

}  // namespace

PyObject* fn_json_columns(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[3];
        if (!py::bind_args(args, kwargs, "json_columns", {"decoded", "kinds", "widths"}, a)) return nullptr;
        std::string_view kinds, widths;
        if (!py::bytes_arg(a[1], "kinds", kinds) || !py::bytes_arg(a[2], "widths", widths)) return nullptr;
        const TableSet* found = nullptr;
        const DecodedArrays* decoded = decoded_arg(a[0], "decoded", &found);
        if (decoded == nullptr) return nullptr;
        const TableSet& tables = *found;
        if (!decoded->compressed) {
            PyErr_SetString(PyExc_ValueError, "argument 'decoded': a compressed message is expected");
            return nullptr;
        }
        // The columns come straight from the decoder, so their sizes agree
        // with each other; only the caller's two per-column buffers need a check.
        const DecodedArrays& d = *decoded;
        const std::size_t m = d.column_codes.size();
        const long n = static_cast<long>(d.subsets);
        if (kinds.size() != m || widths.size() / 2 != m || widths.size() % 2 != 0) {
            PyErr_SetString(PyExc_ValueError, "arguments 'kinds' and 'widths': one entry per column is expected");
            return nullptr;
        }
        if (n <= 0) return PyList_New(0);
        // Cell k of column j is subset k - j * n.
        auto units_of = [&](std::size_t j, std::size_t k) { return cell_units(d, j, k - j * n); };
        auto raw_of = [&](std::size_t j, std::size_t k) { return cell_raw(d, j, k - j * n); };
        // ', "meaning": ...' or ', "meanings": [...]' after the numbers of a
        // code (kind 1) or flag (kind 2) table column; nothing when no
        // subset has a meaning. A missing flag value has none; a missing
        // code figure is looked up as coded.
        std::string meaning, previous_text;
        auto append_meanings = [&](std::string& out, const TableSet& t, std::size_t column, std::uint32_t code,
                                   std::uint64_t r0, std::size_t base, long count, bool flag, unsigned width) {
            // `count` is 1 when every subset holds the same value.
            std::string list_text;
            bool any = false;
            std::uint64_t previous_raw = 0;
            bool previous_has = false, have_previous = false;
            for (long s = 0; s < count; ++s) {
                const bool missing = std::isnan(d.cells[base + s]);
                if (missing && flag) {
                    if (s != 0) list_text.push_back(',');
                    list_text += "null";
                    have_previous = false;
                    continue;
                }
                const std::uint64_t raw = missing ? r0 : raw_of(column, base + s);
                if (!(have_previous && !missing && raw == previous_raw)) {
                    // Runs of one figure are looked up once.
                    previous_has = figure_meaning(t, code, raw, flag, width, meaning);
                    previous_text.clear();
                    if (previous_has) append_json_quoted(previous_text, meaning);
                    previous_raw = raw;
                    have_previous = !missing;
                }
                any = any || previous_has;
                if (s != 0) list_text.push_back(',');
                list_text += previous_has ? std::string_view(previous_text) : std::string_view("null");
            }
            if (!any) return;
            if (count == 1) {
                out += ", \"meaning\": ";
                out += list_text;
            } else {
                out += ", \"meanings\": [";
                out += list_text;
                out.push_back(']');
            }
        };
        Ref list(PyList_New(static_cast<Py_ssize_t>(m)));
        if (!list) return nullptr;
        std::string text;
        for (std::size_t j = 0; j < m; ++j) {
            PyObject* item;
            if ((d.column_flags[j] & 2) == 0) {
                item = Py_None;  // characters: written from the texts
                Py_INCREF(item);
            } else {
                const std::uint64_t r0 = d.column_r0[j];
                const std::int32_t scale = d.column_scale[j];
                const std::size_t base = j * static_cast<std::size_t>(n);
                bool same = true;
                const double first = d.cells[base];
                const bool first_missing = std::isnan(first);
                for (long s = 1; s < n && same; ++s) {
                    const double v = d.cells[base + s];
                    same = std::isnan(v) == first_missing && (first_missing || v == first);
                }
                text.clear();
                const long count = same ? 1 : n;
                const bool as_float = (static_cast<unsigned char>(kinds[j]) & 0x10) != 0;
                if (!same) text.push_back('[');
                for (long s = 0; s < count; ++s) {
                    if (s != 0) text.push_back(',');
                    if (std::isnan(d.cells[base + s])) {
                        text.append("null");
                    } else {
                        append_decimal(text, units_of(j, base + s), scale);
                        if (as_float && scale <= 0) text.append(".0");
                    }
                }
                if (!same) text.push_back(']');
                const unsigned char kind = static_cast<unsigned char>(kinds[j]) & 0x0F;
                if (kind != 0) {
                    append_meanings(text, tables, j, d.column_codes[j], r0, base, count, kind == 2,
                                    at<std::uint16_t>(widths, j));
                }
                item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
                if (item == nullptr) return nullptr;
            }
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), item);
        }
        return list.release();
    })
}

PyObject* fn_item_name(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[3];
        std::uint32_t code = 0;
        std::uint8_t flags = 0;
        if (!py::bind_args(args, kwargs, "item_name", {"tables", "code", "flags"}, a) ||
            !py::instance_arg(a[0], "tables", tableset_type(), "TableSet") || !py::u32_arg(a[1], "code", code) ||
            !py::u8_arg(a[2], "flags", flags)) {
            return nullptr;
        }
        return py::text_to_str(item_name(tables_of(a[0]), code, flags));
    })
}

PyObject* fn_meaning(PyObject*, PyObject* args, PyObject* kwargs) {
    CORVENA_GUARD({
        PyObject* a[4];
        std::uint32_t code = 0, width = 0;
        std::uint64_t raw = 0;
        if (!py::bind_args(args, kwargs, "meaning", {"tables", "code", "raw", "width"}, a) ||
            !py::instance_arg(a[0], "tables", tableset_type(), "TableSet") || !py::u32_arg(a[1], "code", code) ||
            !py::u64_arg(a[2], "raw", raw) || !py::u32_arg(a[3], "width", width)) {
            return nullptr;
        }
        std::string text;
        if (!figure_meaning(tables_of(a[0]), code, raw, width != 0, width, text)) Py_RETURN_NONE;
        return py::text_to_str(text);
    })
}

}  // namespace corvena::ext
