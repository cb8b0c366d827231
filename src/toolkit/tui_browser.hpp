// The open-file dialog's model: the filters, the directory listing and what Enter does with
// the name field. The window draws it and feeds it keys; no terminal is needed here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/tui_editor.hpp"

namespace dorvex {

struct FileFilter {
  std::string pattern;      // "*.mat", or several joined by ';'
  std::string description;
};
// "pattern|description|pattern|description..."; a missing description repeats the pattern.
std::vector<FileFilter> parse_filters(std::string_view filters);

// Matches a file name against a pattern list as the open-file dialog always has: letters
// of either case, '*' and '?' wildcards, "*.*" for every file.
bool filter_matches(std::string_view patterns, std::string_view name);

struct BrowserEntry {
  std::string name;
  bool directory = false;
};
// ".." (unless at the root), then the sub-directories, then the files that match, each group
// sorted by name; hidden entries (leading '.') are left out.
std::vector<BrowserEntry> list_directory(const std::string& dir, std::string_view patterns);

// `name` taken relative to `dir` (unless absolute), with "." and ".." resolved.
std::string resolve_path(const std::string& dir, std::string_view name);

class FileBrowserModel {
 public:
  FileBrowserModel(std::string_view filters, std::string_view start_dir, std::string_view prefill);

  enum class Outcome { stay, chosen };
  // Enter: a directory (typed, or selected in the list) is opened; a pattern with '*' or '?'
  // becomes the filter; any other name is the answer, whether the file exists or not.
  Outcome enter();
  void move(int delta);  // list selection; a selected file's name goes into the name field
  void next_filter();
  void parent();         // Backspace on an empty name field

  const std::string& directory() const { return dir_; }
  const std::vector<BrowserEntry>& entries() const { return entries_; }
  int selected() const { return selected_; }
  const std::vector<FileFilter>& filters() const { return filters_; }
  std::size_t filter_index() const { return filter_; }
  const std::string& pattern() const { return pattern_; }
  LineEditor& name() { return name_; }
  const LineEditor& name() const { return name_; }
  const std::string& result() const { return result_; }

 private:
  void open(const std::string& dir);
  void select_named(std::string_view name);

  std::vector<FileFilter> filters_;
  std::size_t filter_ = 0;
  std::string pattern_;
  std::string dir_;  // absolute, with a trailing '/'
  std::vector<BrowserEntry> entries_;
  int selected_ = -1;
  LineEditor name_{4096};
  std::string result_;
};

}  // namespace dorvex
