#include "common/fields.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace dorvex {

namespace {

std::string stars(int width) {
  return std::string(static_cast<std::size_t>(width > 0 ? width : 0), '*');
}

std::string right(std::string text, int width) {
  if (static_cast<int>(text.size()) > width) return stars(width);
  return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

// Parse a whole token as a number, C locale, accepting Fortran's D exponent.
std::optional<double> parse_number(std::string token) {
  if (token.empty()) return std::nullopt;
  for (char& c : token)
    if (c == 'd' || c == 'D') c = 'E';
  const char* begin = token.data();
  const char* end = begin + token.size();
  if (*begin == '+') ++begin;
  if (begin == end) return std::nullopt;
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::vector<std::string> split_list(std::string_view text) {
  std::vector<std::string> tokens;
  std::string current;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == '\t' || c == '\r' || c == '\n') {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
    } else if (c == '/') {  // a slash ends a list-directed record
      break;
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

}  // namespace

std::string F(double value, int width, int decimals) {
  if (width <= 0) return {};
  if (!std::isfinite(value)) return stars(width);
  char buf[512];
  // '#' keeps the decimal point of an Fw.0 field ("-90."), as Fortran writes it.
  std::snprintf(buf, sizeof buf, "%#.*f", decimals, value);
  std::string text = buf;
  // A value that rounds to zero is written without a sign ("0.0", never "-0.0").
  if (text[0] == '-' && text.find_first_of("123456789") == std::string::npos) text.erase(0, 1);
  if (static_cast<int>(text.size()) > width) {
    // A leading zero is optional in Fortran output: "0.500" may be written ".500".
    if (text.rfind("0.", 0) == 0)
      text.erase(0, 1);
    else if (text.rfind("-0.", 0) == 0)
      text.erase(1, 1);
  }
  return right(text, width);
}

std::string I(long value, int width) { return right(std::to_string(value), width); }

std::string E(double value, int width, int decimals) {
  if (width <= 0) return {};
  if (!std::isfinite(value)) return stars(width);
  int exponent = 0;
  double mantissa = std::fabs(value);
  if (mantissa != 0.0) {
    exponent = static_cast<int>(std::floor(std::log10(mantissa))) + 1;
    mantissa /= std::pow(10.0, exponent);
    // Rounding to the printed decimals may carry the mantissa up to 1.0.
    double scale = std::pow(10.0, decimals);
    if (std::round(mantissa * scale) >= scale) {
      mantissa /= 10.0;
      ++exponent;
    }
  }
  char buf[512];
  std::snprintf(buf, sizeof buf, "%s0.%0*.0f", value < 0 ? "-" : "", decimals,
                std::round(mantissa * std::pow(10.0, decimals)));
  std::string text = buf;
  if (decimals == 0) text = (value < 0 ? "-0." : "0.");
  char ebuf[16];
  std::snprintf(ebuf, sizeof ebuf, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  text += ebuf;
  return right(text, width);
}

std::string A(std::string_view text, int width) {
  return pad(text, static_cast<std::size_t>(width > 0 ? width : 0));
}

long NINT(double value) { return std::lround(value); }

std::string_view rtrim(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
  return text.substr(0, n);
}

std::string_view trim(std::string_view text) {
  text = rtrim(text);
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.substr(i);
}

std::string pad(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, std::min(text.size(), width)));
  out.resize(width, ' ');
  return out;
}

std::string columns(std::string_view line, int first, int width) {
  std::string out(static_cast<std::size_t>(width > 0 ? width : 0), ' ');
  for (int i = 0; i < width; ++i) {
    std::size_t pos = static_cast<std::size_t>(first - 1 + i);
    if (first - 1 + i >= 0 && pos < line.size()) out[static_cast<std::size_t>(i)] = line[pos];
  }
  return out;
}

std::string upper_shift(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) > 96 && static_cast<unsigned char>(c) < 128)
      c = static_cast<char>(c - 32);
  return out;
}

std::string upper_letters(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::optional<double> read_real_field(std::string_view line, int first, int width,
                                      int implied_decimals) {
  std::string field = columns(line, first, width);
  std::string packed;
  for (char c : field)
    if (c != ' ') packed.push_back(c);
  if (packed.empty()) return 0.0;
  auto value = parse_number(packed);
  if (!value) return std::nullopt;
  bool has_point = packed.find('.') != std::string::npos;
  bool has_exponent = packed.find_first_of("eEdD") != std::string::npos;
  if (!has_point && !has_exponent && implied_decimals > 0)
    *value /= std::pow(10.0, implied_decimals);
  return value;
}

std::optional<long> read_int_field(std::string_view line, int first, int width) {
  std::string field = columns(line, first, width);
  std::string packed;
  for (char c : field)
    if (c != ' ') packed.push_back(c);
  if (packed.empty()) return 0L;
  const char* begin = packed.data();
  const char* end = begin + packed.size();
  if (*begin == '+') ++begin;
  long value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

ListInput read_list(std::string_view text) {
  ListInput out;
  for (const std::string& token : split_list(text)) {
    auto value = parse_number(token);
    if (!value) {
      out.error = true;
      break;
    }
    out.values.push_back(*value);
  }
  return out;
}

IntListInput read_int_list(std::string_view text) {
  IntListInput out;
  for (const std::string& token : split_list(text)) {
    const char* begin = token.data();
    const char* end = begin + token.size();
    if (*begin == '+') ++begin;
    long value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (begin == end || ec != std::errc() || ptr != end) {
      out.error = true;
      break;
    }
    out.values.push_back(value);
  }
  return out;
}

}  // namespace dorvex
