// Numbers and texts written as Python writes them, for the text dump: a
// float as repr() gives it (the shortest digits that read back to the same
// double), a whole number as int() writes it, a text as json.dumps(text,
// ensure_ascii=False) quotes it.
#pragma once

#include <string>
#include <string_view>

namespace corvena {

// repr(value): "273.15", "250.0", "1e-05", "1.5e+16", "-0.0", "inf", "nan".
void append_float_repr(std::string& out, double value);

// The nearest whole number to a finite value, as str(int()) writes it.
void append_whole(std::string& out, double value);

// json.dumps(text, ensure_ascii=False) of valid UTF-8: quotes, backslashes
// and control characters escaped (\b \f \n \r \t by name), the rest as it is.
void append_json_quoted(std::string& out, std::string_view text);

}  // namespace corvena
