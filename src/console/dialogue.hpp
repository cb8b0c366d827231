// Small pieces every command dialogue uses: the error flag test, the operating mode, asking or
// ending a question through the continuation code, and the window's question and file boxes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "console/status.hpp"

namespace dorvex {

// A step of the running sequence failed (reported through ERRORLOG or a driver).
inline bool failed() { return S().shell.error_flag != 0; }
inline bool normal_mode() { return S().shell.operating_mode == MODE_NORMAL; }

// The next typed line goes to the routine of `code`, after the prompt.
inline void ask(int code, std::string_view prompt) {
  S().shell.continuation_code = code;
  SET_PROMPT(prompt);
}
inline void end_dialogue() { S().shell.continuation_code = 0; }

// The first five columns of a line are blank (a blank answer ends most dialogues).
inline bool blank5(std::string_view text) { return trim(columns(text, 1, 5)).empty(); }

// A yes/no box; true for Yes.
bool ask_yes_no(std::string_view title, std::string_view question);
// The open-file box: `filters` as "pattern|description|pattern|description...". Returns the
// chosen path (absolute), or nothing when the operator cancels.
std::optional<std::string> choose_file(std::string_view title, std::string_view filters,
                                       std::string_view start_dir, std::string_view prefill);

}  // namespace dorvex
