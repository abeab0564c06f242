// Number and text forms that no decodable message produces.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/quote.hpp"
#include "message/number_text.hpp"
#include "message/value.hpp"
#include "tables/int_parse.hpp"

namespace corvena {
namespace {

TEST(FormatNumber, SpecialValues) {
    EXPECT_EQ(format_number(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_number(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(format_number(std::nan("")), "NaN");
    EXPECT_EQ(format_number(0.0), "0.0");
    EXPECT_EQ(format_number(-0.0), "-0.0");
}

TEST(FormatNumber, PlainAndExponentForms) {
    EXPECT_EQ(format_number(273.15), "273.15");
    EXPECT_EQ(format_number(-3.0), "-3.0");
    EXPECT_EQ(format_number(1e-5), "1e-5");
    EXPECT_EQ(format_number(1.5e16), "1.5e16");
    EXPECT_EQ(format_number(1e16), "1e16");
    EXPECT_EQ(format_number(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(format_number(0.0001), "0.0001");
    EXPECT_EQ(format_number(0.00012345), "0.00012345");
    EXPECT_EQ(format_number(-2.5e-7), "-2.5e-7");
    EXPECT_EQ(format_number(1e300), "1e300");
    EXPECT_EQ(format_number(5e-324), "5e-324");
    EXPECT_EQ(format_number(123456789012345.0), "123456789012345.0");
}

TEST(Quoted, EscapesAndUnprintables) {
    EXPECT_EQ(quote_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quote_text(std::string("\0\t\r\n", 4)), "\"\\0\\t\\r\\n\"");
    EXPECT_EQ(quote_text("\x7f\x01"), "\"\\u{7f}\\u{1}\"");
    EXPECT_EQ(quote_text("\xEF\xBB\xBF" "0"), "\"\\u{feff}0\"");
    EXPECT_EQ(quote_text("it's caf\xC3\xA9"), "\"it's caf\xC3\xA9\"");
    // Bytes that are not UTF-8 never pass through raw.
    EXPECT_EQ(quote_text("\xFF"), "\"\\u{fffd}\"");
}

TEST(IntegerFields, Boundaries) {
    std::int64_t v = 0;
    EXPECT_EQ(parse_i64("-9223372036854775808", INT64_MIN, INT64_MAX, v), IntFailure::None);
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_EQ(parse_i64("9223372036854775808", INT64_MIN, INT64_MAX, v), IntFailure::PosOverflow);
    EXPECT_EQ(parse_i64("-", INT64_MIN, INT64_MAX, v), IntFailure::InvalidDigit);
    EXPECT_EQ(parse_i64("99999999999999999999x", INT64_MIN, INT64_MAX, v), IntFailure::PosOverflow);
    EXPECT_EQ(parse_i64("1x99999999999999999999", INT64_MIN, INT64_MAX, v), IntFailure::InvalidDigit);
    std::uint64_t u = 0;
    EXPECT_EQ(parse_u64("18446744073709551615", UINT64_MAX, u), IntFailure::None);
    EXPECT_EQ(u, UINT64_MAX);
    EXPECT_EQ(parse_u64("18446744073709551616", UINT64_MAX, u), IntFailure::PosOverflow);
    EXPECT_EQ(parse_u64("-1", UINT64_MAX, u), IntFailure::InvalidDigit);
    EXPECT_EQ(parse_u64("", UINT64_MAX, u), IntFailure::Empty);
}

TEST(Trim, UnicodeWhiteSpace) {
    EXPECT_EQ(trim_ws("\xC2\xA0 x\xE3\x80\x80\t"), "x");
    EXPECT_EQ(trim_ws("\xE2\x80\xA8" "a b" "\xC2\x85"), "a b");
    // A byte-order mark is not white space.
    EXPECT_EQ(trim_ws("\xEF\xBB\xBF" "1 "), "\xEF\xBB\xBF" "1");
    auto code = parse_descriptor_code(" \"\"001001\" ");
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 1001u);
}

// The text dump writes numbers and texts as Python's repr(), int() and
// json.dumps() do, so that it reads like the values of the item records.
TEST(PythonForms, FloatRepr) {
    const std::pair<double, const char*> cases[] = {
        {273.15, "273.15"}, {250.0, "250.0"}, {-3.0, "-3.0"}, {-0.0, "-0.0"}, {1e-5, "1e-05"},
        {0.0001, "0.0001"}, {-2.5e-7, "-2.5e-07"}, {1.5e16, "1.5e+16"}, {1e16, "1e+16"},
        {9999999999999998.0, "9999999999999998.0"}, {1e300, "1e+300"}, {5e-324, "5e-324"},
        {std::numeric_limits<double>::infinity(), "inf"}, {std::nan(""), "nan"}};
    for (const auto& [value, text] : cases) {
        std::string out;
        append_float_repr(out, value);
        EXPECT_EQ(out, text) << value;
    }
}

TEST(PythonForms, WholeNumbers) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0"}, {-0.0, "0"}, {42.0, "42"}, {-7.0, "-7"}, {18446744073709551616.0, "18446744073709551616"},
        {1e40, "10000000000000000303786028427003666890752"},
        // Scaled by a negative scale in doubles: the nearest whole number.
        {401499999.99999994, "401500000"}, {-2.9999999999999996, "-3"}};
    for (const auto& [value, text] : cases) {
        std::string out;
        append_whole(out, value);
        EXPECT_EQ(out, text) << value;
    }
}

TEST(PythonForms, JsonQuoted) {
    std::string out;
    append_json_quoted(out, std::string("a\"b\\c\b\f\n\r\t\x01\x7f\xc3\xa9\0", 15));
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\x7f\xc3\xa9\\u0000\"");
}

}  // namespace
}  // namespace corvena
