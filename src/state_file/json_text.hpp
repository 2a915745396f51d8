// Small text helpers of the state file reader: UTF-8 checks, positions and
// the renderings of values inside error messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qor::json {

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF).
bool valid_utf8(std::string_view s);

// Appends code point `cp` (at most U+10FFFF, not a surrogate) as UTF-8.
void append_utf8(std::string& out, uint32_t cp);

// `s` in double quotes with quotes, backslashes and control characters
// escaped (\t, \r, \n, \0, \u{hex}), as error messages quote strings.
std::string debug_quote(std::string_view s);

// Shortest round-trip text of a double: positional for decimal exponents
// -5..15 (whole numbers end in ".0"), otherwise d.ddde+X or d.ddde-X.
std::string format_f64(double v);

// Decimal exponent of the first non-zero digit of a JSON number's text,
// exponent part included (very negative for zero). Tells an overflow from an
// underflow when a conversion reports the value out of range.
int64_t magnitude_exponent(std::string_view number);

struct LineColumn {
    std::size_t line;    // from 1
    std::size_t column;  // bytes of that line up to and including the last one counted
};

// Line and column after the first `consumed` bytes of `text`.
LineColumn line_column(std::string_view text, std::size_t consumed);

}  // namespace qor::json
