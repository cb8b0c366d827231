// libFuzzer target: a reflection data file of arbitrary contents read back and reduced with
// every correction. A file an editor, a full disk or a crash left damaged must never crash the
// reduction: whole records only, finite F-squared, and every HKLF line in its columns.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/state.hpp"
#include "datacol/reduction.hpp"
#include "geometry/angles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dorvex;
  reset_program_state();
  const ReadDataFile d =
      parse_data_file(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const DataRecord& r : d.records)
    if (static_cast<int>(r.counts.size()) != r.points) std::abort();
  ReductionOptions all;
  all.monochromator_2theta = 12.16;
  SpaceGroup group;
  SYMMETRY("P 2 2 2", group);
  const ReductionResult r = reduce_data(d, all, current_geometry(), group);
  for (const ReducedReflection& x : r.reflections)
    if (!std::isfinite(x.f2) || !std::isfinite(x.sigma) || !(x.transmission > 0)) std::abort();
  const HklfFile f = hklf4_file(r.reflections);
  for (std::size_t at = 0; at < f.text.size(); at += 29)
    if (f.text.size() < at + 29 || f.text[at + 28] != '\n') std::abort();
  return 0;
}
