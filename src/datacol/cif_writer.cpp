#include "datacol/cif_writer.hpp"

#include <cctype>
#include <cmath>
#include <sstream>

#include <gemmi/cifdoc.hpp>  // the document model: blocks, pairs, loops and quoting
#include <gemmi/to_cif.hpp>  // its writer

#include "common/fields.hpp"

namespace dorvex {

namespace {

std::string fixed(double value, int decimals) {
  std::string text(trim(F(value, 30, decimals)));
  if (decimals == 0 && !text.empty() && text.back() == '.') text.pop_back();  // "1230." -> 1230
  return text;
}

// The anode lines a wavelength is taken for (Kalpha1 and the Kalpha mean of each).
struct Line {
  const char* name;
  double kalpha1, kalpha;
};
constexpr Line kLines[] = {{"Mo K\\a", 0.70930, 0.71073}, {"Cu K\\a", 1.54056, 1.54184},
                           {"Ag K\\a", 0.55941, 0.56087}, {"Cr K\\a", 2.28970, 2.29100},
                           {"Fe K\\a", 1.93604, 1.93736}, {"Co K\\a", 1.78897, 1.79026}};

}  // namespace

std::string radiation_type(float wavelength) {
  for (const Line& l : kLines)
    if (std::fabs(wavelength - l.kalpha1) < 0.003 || std::fabs(wavelength - l.kalpha) < 0.003)
      return l.name;
  return {};
}

std::string with_su(double value, double su, int decimals) {
  if (!(su > 0) || !std::isfinite(su)) return fixed(value, decimals);
  // Decimals that give the uncertainty two significant digits, then one unless they are <= 19.
  int d = static_cast<int>(std::ceil(1.0 - std::log10(su)));
  long digits = std::lround(su * std::pow(10.0, d));
  if (digits >= 100) digits = std::lround(su * std::pow(10.0, --d));
  if (digits > 19) digits = std::lround(su * std::pow(10.0, --d));
  if (d >= 0) return fixed(value, d) + "(" + std::to_string(digits) + ")";
  const double unit = std::pow(10.0, -d);  // an uncertainty in the tens or more
  return fixed(std::round(value / unit) * unit, 0) + "(" +
         std::to_string(static_cast<long>(digits * unit)) + ")";
}

std::string experiment_cif(const CifExperiment& e) {
  namespace cif = gemmi::cif;
  std::string name;
  for (char c : e.block)
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') name += c;
  cif::Document doc;
  doc.blocks.emplace_back(name.empty() ? "dorvex" : name);
  cif::Block& b = doc.blocks.back();
  auto text = [&](const std::string& tag, const std::string& value) {
    b.set_pair(tag, cif::quote(value));
  };
  auto number = [&](const std::string& tag, const std::string& value) { b.set_pair(tag, value); };

  const std::string program = "DORVEX " + std::string(trim(e.version));
  text("_audit_creation_method", program);
  text("_computing_data_collection", program);
  text("_computing_cell_refinement", program);
  text("_computing_data_reduction", program + ", HKLF");
  if (!trim(e.title).empty()) text("_exptl_special_details", std::string(trim(e.title)));
  if (!trim(e.space_group).empty())
    text("_space_group_name_H-M_alt", std::string(trim(e.space_group)));

  const char* cell_tags[6] = {"_cell_length_a", "_cell_length_b", "_cell_length_c",
                              "_cell_angle_alpha", "_cell_angle_beta", "_cell_angle_gamma"};
  for (std::size_t i = 0; i < 6; ++i)
    number(cell_tags[i], with_su(e.cell[i], e.cell_su[i], i < 3 ? 4 : 3));
  number("_cell_volume", with_su(e.volume, e.volume_su, 1));

  number("_diffrn_radiation_wavelength", fixed(e.wavelength, 5));
  const std::string radiation = radiation_type(e.wavelength);
  text("_diffrn_radiation_type", radiation.empty() ? "?" : radiation);
  number("_diffrn_radiation_probe", "x-ray");
  if (e.monochromator_2theta != 0.0f)
    text("_diffrn_radiation_monochromator",
         "crystal monochromator, 2\\q(M) = " + fixed(e.monochromator_2theta, 2) + "\\%");
  text("_diffrn_measurement_device", "four-circle diffractometer");
  if (!trim(e.diffractometer).empty())
    text("_diffrn_measurement_device_type", std::string(trim(e.diffractometer)));
  auto range = [](double lo, double hi, int decimals) {
    return fixed(lo, decimals) + (fixed(hi, decimals) == fixed(lo, decimals)
                                      ? std::string()
                                      : " to " + fixed(hi, decimals));
  };
  text("_diffrn_measurement_method",
       std::string(e.scan_type == 2 ? "\\w/2\\q" : "\\w") + " scans, width " +
           range(e.width_min, e.width_max, 2) + "\\% in steps of " +
           range(e.step_min, e.step_max, 4) + "\\%");

  text("_diffrn_orient_matrix_type",
       "UB maps h k l onto the diffraction vector in the phi-axis frame, in reciprocal \\%A");
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      number("_diffrn_orient_matrix_UB_" + std::to_string(i + 1) + std::to_string(j + 1),
             fixed(e.UB(i, j), 7));

  number("_diffrn_reflns_number", std::to_string(e.reflections));
  number("_diffrn_reflns_av_R_equivalents", e.have_r_int ? fixed(e.r_int, 4) : "?");
  const char* hkl = "hkl";
  for (std::size_t i = 0; i < 3; ++i) {
    number(std::string("_diffrn_reflns_limit_") + hkl[i] + "_min", std::to_string(e.hkl_min[i]));
    number(std::string("_diffrn_reflns_limit_") + hkl[i] + "_max", std::to_string(e.hkl_max[i]));
  }
  number("_diffrn_reflns_theta_min", fixed(e.theta_min, 2));
  number("_diffrn_reflns_theta_max", fixed(e.theta_max, 2));
  number("_reflns_number_total", std::to_string(e.unique));
  std::string process = e.lorentz_polarisation ? "Lorentz-polarisation correction" : "";
  if (e.decay_applied) process += std::string(process.empty() ? "" : "; ") +
                                  "decay correction from the standard reflections";
  if (e.absorption_applied) process += std::string(process.empty() ? "" : "; ") +
                                       "empirical absorption correction from psi scans";
  text("_diffrn_reflns_reduction_process", process.empty() ? "none" : process);

  number("_diffrn_standards_number", std::to_string(e.standards.size()));
  number("_diffrn_standards_interval_count",
         e.standards.empty() ? "?" : std::to_string(e.standards_interval));
  number("_diffrn_standards_decay_%", e.decay_applied ? fixed(e.decay_percent, 1) : "?");
  if (!e.standards.empty()) {
    cif::Loop& loop = b.init_loop("_diffrn_standard_refln_index_", {"h", "k", "l"});
    for (const auto& s : e.standards)
      loop.add_row({std::to_string(s[0]), std::to_string(s[1]), std::to_string(s[2])});
  }

  number("_exptl_absorpt_correction_type", e.absorption_applied ? "psi-scan" : "none");
  if (e.absorption_applied) {
    number("_exptl_absorpt_correction_T_min", fixed(e.t_min, 4));
    number("_exptl_absorpt_correction_T_max", fixed(e.t_max, 4));
    text("_exptl_absorpt_process_details",
         "North, Phillips & Mathews (1968). Acta Cryst. A24, 351-359");
  }
  std::ostringstream out;
  cif::write_cif_to_stream(out, doc, cif::Style::Simple);
  return out.str();
}

}  // namespace dorvex
