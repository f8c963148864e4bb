// Floating-point values written as Java's Double.toString and Float.toString write them, so that
// what the console shows of a float or double field is what the program itself would print.
#pragma once
#include <string>

namespace cli {

// "1234567.891", "0.30000000000000004", "1.0E10", "1.0E-5", "NaN", "-Infinity", "-0.0": the
// fewest digits that read back as the same double, plain from 10^-3 up to 10^7 and in
// scientific notation ("E", no '+') outside that.
std::string javaDouble(double value);
// The same for a float: the fewest digits that read back as the same float ("0.1", "1.0E10").
std::string javaFloat(float value);

}  // namespace cli
