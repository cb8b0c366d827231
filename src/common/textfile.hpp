// Bounded reading of the operator's text files (profile, matrix file). Whatever the file
// holds, at most a fixed number of bytes is read, and a file that is no text is named as such
// before any of it is interpreted.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dorvex {

struct TextFile {
  enum class Status { ok, cannot_open, not_regular, too_large, binary };
  Status status = Status::cannot_open;
  std::string reason;              // why the file is not taken, in the operator's terms
  std::vector<std::string> lines;  // without their line ends
  bool utf16 = false;              // the text was stored as UTF-16 and has been read as ASCII
  bool ends_mid_line = false;      // the last line has no line end (a cut file, or an editor's)
};

// Reads the regular file `path` of at most `max_bytes` bytes. Lines end with LF, CR LF or CR
// alone; a UTF-8 byte-order mark is dropped; UTF-16 text (with a byte-order mark, or ASCII
// with every other byte zero) is read as ASCII. Characters outside ASCII become '?'. A file
// that still holds zero bytes is binary and is not split into lines.
TextFile read_text_file(const std::string& path, std::size_t max_bytes);

}  // namespace dorvex
