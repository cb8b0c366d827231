#include "centring/commands.hpp"
#include "console/output.hpp"

namespace dorvex {


}  // namespace dorvex
