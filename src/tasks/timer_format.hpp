// Number formats of the timer reprs.
#pragma once

#include <string>

namespace varnex {

// The shortest decimal that reads back as the same double, in positional notation (never an
// exponent), without a fractional part when integral: 10 -> "10", 2.5 -> "2.5",
// 1e-7 -> "0.0000001", 1e21 -> "1000000000000000000000"; NaN -> "NaN", infinity -> "inf".
std::string format_shortest_positional(double value);

// Fixed point with one digit after the point, the exact binary value rounded to nearest with
// ties to even (Python's format(x, '.1f')): 99.96 -> "100.0", 0.25 -> "0.2";
// NaN -> "NaN", infinity -> "inf".
std::string format_one_decimal(double value);

}  // namespace varnex
