#include "common/textfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dorvex {

namespace {

// ASCII text stored as UTF-16: a byte-order mark, or (without one) a zero in every other byte
// of the first 64 characters. Returns 0 (not UTF-16), 1 (little-endian) or 2 (big-endian).
int utf16_order(const std::string& raw, std::size_t& skip) {
  skip = 0;
  if (raw.size() >= 2) {
    const auto b0 = static_cast<unsigned char>(raw[0]), b1 = static_cast<unsigned char>(raw[1]);
    if (b0 == 0xFF && b1 == 0xFE) {
      skip = 2;
      return 1;
    }
    if (b0 == 0xFE && b1 == 0xFF) {
      skip = 2;
      return 2;
    }
  }
  if (raw.size() < 4 || raw.size() % 2 != 0) return 0;
  const std::size_t pairs = std::min<std::size_t>(raw.size() / 2, 64);
  bool low_zero = true, high_zero = true;
  for (std::size_t i = 0; i < pairs; ++i) {
    const char a = raw[2 * i], b = raw[2 * i + 1];
    if (!(a != 0 && b == 0)) low_zero = false;   // "X\0": little-endian ASCII
    if (!(a == 0 && b != 0)) high_zero = false;  // "\0X": big-endian ASCII
  }
  return low_zero ? 1 : (high_zero ? 2 : 0);
}

std::string from_utf16(const std::string& raw, std::size_t skip, int order) {
  std::string out;
  out.reserve(raw.size() / 2);
  for (std::size_t i = skip; i + 1 < raw.size(); i += 2) {
    const auto lo = static_cast<unsigned char>(raw[order == 1 ? i : i + 1]);
    const auto hi = static_cast<unsigned char>(raw[order == 1 ? i + 1 : i]);
    const unsigned unit = lo | (hi << 8);
    out += unit < 128 ? static_cast<char>(unit) : '?';
  }
  return out;
}

}  // namespace

TextFile read_text_file(const std::string& path, std::size_t max_bytes) {
  TextFile out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    out.reason = std::strerror(errno);
    return out;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    out.status = TextFile::Status::not_regular;
    out.reason = S_ISDIR(st.st_mode) ? "it is a directory" : "it is a device or a pipe, not a file";
    return out;
  }
  if (static_cast<std::size_t>(st.st_size) > max_bytes) {
    ::close(fd);
    out.status = TextFile::Status::too_large;
    out.reason = "it holds " + std::to_string(st.st_size) + " bytes, more than the " +
                 std::to_string(max_bytes) + " such a file can have";
    return out;
  }
  // Read no more than the limit even if the file grows meanwhile.
  std::string raw(max_bytes + 1, '\0');
  std::size_t got = 0;
  while (got < raw.size()) {
    const ssize_t n = ::read(fd, raw.data() + got, raw.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.reason = std::strerror(errno);
      ::close(fd);
      return out;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  raw.resize(got);
  if (got > max_bytes) {
    out.status = TextFile::Status::too_large;
    out.reason = "it holds more than the " + std::to_string(max_bytes) +
                 " bytes such a file can have";
    return out;
  }

  std::size_t skip = 0;
  const int order = utf16_order(raw, skip);
  std::string text;
  if (order != 0) {
    text = from_utf16(raw, skip, order);
    out.utf16 = true;
  } else {
    const bool utf8_mark = raw.rfind("\xEF\xBB\xBF", 0) == 0;
    text = raw.substr(utf8_mark ? 3 : 0);
  }
  if (text.find('\0') != std::string::npos) {
    out.status = TextFile::Status::binary;
    out.reason = "it holds binary data, not text";
    return out;
  }

  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      out.lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      continue;
    }
    line += static_cast<unsigned char>(c) < 128 ? c : '?';
  }
  if (!line.empty()) {
    out.lines.push_back(line);
    out.ends_mid_line = true;
  }
  out.status = TextFile::Status::ok;
  return out;
}

}  // namespace dorvex
