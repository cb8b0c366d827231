// Open-file dialog model.
#include "toolkit/tui_browser.hpp"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/fields.hpp"

namespace dorvex {

namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string working_directory() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return "/";
  return buffer;
}

std::string with_slash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

bool has_wildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

}  // namespace

std::vector<FileFilter> parse_filters(std::string_view filters) {
  std::vector<FileFilter> out;
  while (!filters.empty()) {
    const auto bar = filters.find('|');
    FileFilter f;
    f.pattern = std::string(trim(filters.substr(0, bar)));
    filters = bar == std::string_view::npos ? std::string_view() : filters.substr(bar + 1);
    const auto next = filters.find('|');
    f.description = std::string(filters.substr(0, next));
    filters = next == std::string_view::npos ? std::string_view() : filters.substr(next + 1);
    if (f.pattern.empty()) continue;
    if (trim(f.description).empty()) f.description = f.pattern;
    out.push_back(std::move(f));
  }
  if (out.empty()) out.push_back({"*.*", "All Files"});
  return out;
}

bool filter_matches(std::string_view patterns, std::string_view name) {
  const std::string file(name);
  while (true) {
    const auto semi = patterns.find(';');
    const std::string one(trim(patterns.substr(0, semi)));
    if (one == "*.*" || one == "*") return true;
    if (!one.empty() && ::fnmatch(one.c_str(), file.c_str(), FNM_CASEFOLD) == 0) return true;
    if (semi == std::string_view::npos) return false;
    patterns.remove_prefix(semi + 1);
  }
}

std::vector<BrowserEntry> list_directory(const std::string& dir, std::string_view patterns) {
  std::vector<BrowserEntry> dirs, files;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.empty() || name[0] == '.') continue;
      if (is_directory(with_slash(dir) + name)) {
        dirs.push_back({name, true});
      } else if (filter_matches(patterns, name)) {
        files.push_back({name, false});
      }
    }
    ::closedir(d);
  }
  const auto by_name = [](const BrowserEntry& a, const BrowserEntry& b) { return a.name < b.name; };
  std::sort(dirs.begin(), dirs.end(), by_name);
  std::sort(files.begin(), files.end(), by_name);
  std::vector<BrowserEntry> out;
  if (dir != "/") out.push_back({"..", true});
  out.insert(out.end(), dirs.begin(), dirs.end());
  out.insert(out.end(), files.begin(), files.end());
  return out;
}

std::string resolve_path(const std::string& dir, std::string_view name) {
  std::string full = !name.empty() && name.front() == '/' ? std::string(name)
                                                          : with_slash(dir) + std::string(name);
  const bool trailing = !full.empty() && full.back() == '/';
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= full.size()) {
    const auto slash = full.find('/', pos);
    const std::string part = full.substr(pos, slash == std::string::npos ? std::string::npos
                                                                         : slash - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  if (out.empty()) return "/";
  if (trailing) out += '/';
  return out;
}

FileBrowserModel::FileBrowserModel(std::string_view filters, std::string_view start_dir,
                                   std::string_view prefill)
    : filters_(parse_filters(filters)) {
  pattern_ = filters_.front().pattern;
  std::string start(trim(start_dir));
  if (start.empty() || !is_directory(resolve_path(working_directory(), start))) {
    start = working_directory();
  }
  open(resolve_path(working_directory(), start));
  name_.set(trim(prefill));
  select_named(name_.text());
}

void FileBrowserModel::open(const std::string& dir) {
  dir_ = with_slash(dir);
  entries_ = list_directory(dir_, pattern_);
  selected_ = entries_.empty() ? -1 : 0;
}

void FileBrowserModel::select_named(std::string_view name) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].name == name) {
      selected_ = static_cast<int>(i);
      return;
    }
  }
}

FileBrowserModel::Outcome FileBrowserModel::enter() {
  const std::string typed(trim(name_.text()));
  if (typed.empty()) {
    if (selected_ >= 0 && entries_[static_cast<std::size_t>(selected_)].directory) {
      open(resolve_path(dir_, entries_[static_cast<std::size_t>(selected_)].name));
    }
    return Outcome::stay;
  }
  if (has_wildcard(typed)) {
    pattern_ = typed;
    name_.clear();
    open(dir_);
    return Outcome::stay;
  }
  const std::string path = resolve_path(dir_, typed);
  if (is_directory(path)) {
    const std::string previous = dir_;
    open(path);
    name_.clear();
    // Coming back up, the directory we came from stays selected.
    std::string bare = typed;
    while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
    if (bare == "..") {
      const std::string left = previous.substr(0, previous.size() - 1);
      select_named(left.substr(left.rfind('/') + 1));
    }
    return Outcome::stay;
  }
  result_ = path;
  return Outcome::chosen;
}

void FileBrowserModel::move(int delta) {
  if (entries_.empty()) return;
  const int last = static_cast<int>(entries_.size()) - 1;
  selected_ = std::clamp(selected_ + delta, 0, last);
  const auto& entry = entries_[static_cast<std::size_t>(selected_)];
  name_.set(entry.directory ? entry.name + "/" : entry.name);
}

void FileBrowserModel::next_filter() {
  filter_ = (filter_ + 1) % filters_.size();
  pattern_ = filters_[filter_].pattern;
  const std::string keep = selected_ >= 0 ? entries_[static_cast<std::size_t>(selected_)].name
                                          : std::string();
  open(dir_);
  select_named(keep);
}

void FileBrowserModel::parent() {
  if (dir_ == "/") return;
  name_.set("..");
  enter();
}

}  // namespace dorvex
