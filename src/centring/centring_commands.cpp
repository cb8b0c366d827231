#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {


}  // namespace dorvex
