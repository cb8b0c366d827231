#include "console/dialogue.hpp"

#include "toolkit/toolkit.hpp"

namespace dorvex {

bool ask_yes_no(std::string_view title, std::string_view question) {
  return toolkit().yes_no(title, question);
}

std::optional<std::string> choose_file(std::string_view title, std::string_view filters,
                                       std::string_view start_dir, std::string_view prefill) {
  return toolkit().file_browser(title, filters, start_dir, prefill);
}

}  // namespace dorvex
