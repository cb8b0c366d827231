// The command field's line editing: cursor movement, history and completion of command
// names. No terminal here, so the behaviour can be checked directly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dorvex {

class LineEditor {
 public:
  explicit LineEditor(std::size_t max_length = 80) : max_length_(max_length) {}

  const std::string& text() const { return text_; }
  std::size_t cursor() const { return cursor_; }

  bool insert(char c);  // false when the field is full or c is not printable
  void left() { if (cursor_ > 0) --cursor_; }
  void right() { if (cursor_ < text_.size()) ++cursor_; }
  void home() { cursor_ = 0; }
  void end() { cursor_ = text_.size(); }
  void backspace();
  void erase();             // the character under the cursor
  void kill_to_end();       // Ctrl-K
  void clear();
  void set(std::string_view text);  // replaces the text, cursor at the end

  // History: older() and newer() walk through it; the line being typed is kept and comes
  // back after the newest entry.
  void older();
  void newer();
  // Takes the entered line: it is added to the history (unless empty or a repeat of the
  // newest entry) and the field is cleared.
  std::string take();
  void load_history(std::vector<std::string> lines);
  const std::vector<std::string>& history() const { return history_; }

 private:
  std::size_t max_length_;
  std::string text_;
  std::size_t cursor_ = 0;
  std::vector<std::string> history_;
  std::size_t browse_ = 0;  // == history_.size() when not browsing
  std::string draft_;
};

// The 77 command names of the command table, blanks and all.
const std::vector<std::string>& command_names();

// Tab completion of the command word (columns 1 to 4). When the cursor is in the first word,
// the word is extended as far as the matching names agree; `candidates` lists the names that
// match (as typed in upper case, trailing blanks dropped) when more than one does.
struct Completion {
  bool changed = false;
  std::string text;
  std::size_t cursor = 0;
  std::vector<std::string> candidates;
};
Completion complete_command(std::string_view text, std::size_t cursor);

}  // namespace dorvex
