// Line editing of the command field.
#include "toolkit/tui_editor.hpp"

#include <algorithm>

#include "common/command_table.hpp"  // the names to complete
#include "common/fields.hpp"

namespace dorvex {

bool LineEditor::insert(char c) {
  if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return false;
  if (text_.size() >= max_length_) return false;
  text_.insert(cursor_, 1, c);
  ++cursor_;
  return true;
}

void LineEditor::backspace() {
  if (cursor_ == 0) return;
  text_.erase(--cursor_, 1);
}

void LineEditor::erase() {
  if (cursor_ < text_.size()) text_.erase(cursor_, 1);
}

void LineEditor::kill_to_end() { text_.erase(cursor_); }

void LineEditor::clear() {
  text_.clear();
  cursor_ = 0;
  browse_ = history_.size();
  draft_.clear();
}

void LineEditor::set(std::string_view text) {
  text_ = std::string(text.substr(0, max_length_));
  cursor_ = text_.size();
}

void LineEditor::older() {
  if (browse_ == 0 || history_.empty()) return;
  if (browse_ == history_.size()) draft_ = text_;
  --browse_;
  set(history_[browse_]);
}

void LineEditor::newer() {
  if (browse_ >= history_.size()) return;
  ++browse_;
  set(browse_ == history_.size() ? draft_ : history_[browse_]);
}

std::string LineEditor::take() {
  std::string line = text_;
  if (!trim(line).empty() && (history_.empty() || history_.back() != line))
    history_.push_back(line);
  clear();
  return line;
}

void LineEditor::load_history(std::vector<std::string> lines) {
  history_ = std::move(lines);
  browse_ = history_.size();
}

const std::vector<std::string>& command_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (int i = 0; i < kCommandCount; ++i)
      out.emplace_back(kCommandTable.substr(static_cast<std::size_t>(4 * i), 4));
    return out;
  }();
  return names;
}

Completion complete_command(std::string_view text, std::size_t cursor) {
  Completion out;
  out.text = std::string(text);
  out.cursor = cursor;
  // Only the command word is completed: the cursor at the end of the typed part of it.
  if (cursor == 0 || cursor > 4 || cursor < text.size()) return out;
  const std::string typed = upper_shift(text.substr(0, cursor));
  std::vector<std::string> matches;
  for (const auto& name : command_names()) {
    const std::string shown(rtrim(name));
    if (shown.size() >= typed.size() && shown.compare(0, typed.size(), typed) == 0)
      matches.push_back(shown);
  }
  if (matches.empty()) return out;
  // Longest common prefix of the matches.
  std::string common = matches.front();
  for (const auto& m : matches) {
    std::size_t k = 0;
    while (k < common.size() && k < m.size() && common[k] == m[k]) ++k;
    common.resize(k);
  }
  if (matches.size() > 1) out.candidates = matches;
  if (common.size() > typed.size() || (matches.size() == 1 && common != text.substr(0, cursor))) {
    out.text = common;
    out.cursor = common.size();
    out.changed = true;
  }
  return out;
}

}  // namespace dorvex
