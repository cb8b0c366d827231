#include "files/difprof.hpp"

namespace dorvex {

void READ_DIFPROF() {}

}  // namespace dorvex
