// Fortran-style fixed fields: the one place where numbers are formatted into columns and
// read back from them. Every fixed-format writer and reader of the program uses these.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvex {

// Output fields. A value too wide for its field fills the field with asterisks, as a
// Fortran run-time does; formatting never depends on the locale.
std::string F(double value, int width, int decimals);  // Fw.d
std::string I(long value, int width);                  // Iw
std::string E(double value, int width, int decimals);  // Ew.d, mantissa 0.ddd, exponent E+nn
std::string A(std::string_view text, int width);       // Aw: cut or blank-padded on the right

// Nearest integer with halves away from zero (Fortran NINT).
long NINT(double value);

// Trailing blanks never matter in fixed-length texts.
std::string_view rtrim(std::string_view text);
std::string_view trim(std::string_view text);

// The text padded with blanks (or cut) to exactly `width` characters.
std::string pad(std::string_view text, std::size_t width);

// Columns `first`..`first+width-1` (1-based) of a line; columns past the end are blanks.
std::string columns(std::string_view line, int first, int width);

// Upper case as the program has always done it: every character whose code is above 96 loses
// 32 (so '{' becomes '[' too). Used where the command word and file keywords are matched.
std::string upper_shift(std::string_view text);
// Upper case of the letters a..z only (SET and SHOW keys, SORT keys).
std::string upper_letters(std::string_view text);

// Fixed-column input. A blank field reads as 0, embedded blanks are ignored, and a real written
// without a decimal point has `implied_decimals` decimals (0: a whole number). Returns nothing
// when the field holds anything that is not a number.
std::optional<double> read_real_field(std::string_view line, int first, int width,
                                      int implied_decimals = 0);
std::optional<long> read_int_field(std::string_view line, int first, int width);

// List-directed ("free-format") input: numbers separated by blanks or commas.
struct ListInput {
  std::vector<double> values;  // the numbers read, left to right
  bool error = false;          // a token that is not a number stopped the reading
};
ListInput read_list(std::string_view text);
// As read_list, but every value must be a whole number (a Fortran integer read): "2.5" is an
// error. A real with a zero fraction ("3.0") is an error too, as for an integer list read.
struct IntListInput {
  std::vector<long> values;
  bool error = false;
};
IntListInput read_int_list(std::string_view text);

}  // namespace dorvex
