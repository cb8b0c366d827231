#include "datacol/reduction.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "common/fields.hpp"

namespace dorvex {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr int kMaxPoints = 1000;       // more step counts than any scan can have
constexpr int kSmoothingSets = 5;      // sets of standards under one smoothing line
constexpr double kDecayFloor = 0.05;   // the decay factor never divides by less
constexpr int kPsiScanPoints = 8;      // distinct psi values that make a psi scan
constexpr double kPsiScanGap = 45.0;   // largest gap (degrees) of a usable folded curve
constexpr double kPsiAxisTilt = 20.0;  // largest angle of a usable scan's vector to phi
constexpr double kMergeWithin = 1.0;   // curve points closer than this are averaged

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

std::optional<float> real_at(std::string_view line, int first, int width) {
  const auto v = read_real_field(line, first, width);
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return static_cast<float>(*v);
}

// "R" I6 3I4 F10.4(psi) F10.4(2theta) F10.5(omega) F10.4(chi) F10.4(phi) I4(N) F10.5(step)
// F10.5(rate) I4(standard) A1(code): columns 2-7, 8-19, 20-29, 30-69, 70-73, 74-83, 84-93,
// 94-97, 98.
std::optional<DataRecord> read_record_line(std::string_view line) {
  if (line.size() < 93) return std::nullopt;
  DataRecord r;
  const auto seq = read_int_field(line, 2, 6);
  if (!seq) return std::nullopt;
  r.sequence = static_cast<int>(*seq);
  for (int i = 0; i < 3; ++i) {
    const auto h = read_int_field(line, 8 + 4 * i, 4);
    if (!h) return std::nullopt;
    r.hkl[static_cast<std::size_t>(i)] = static_cast<int>(*h);
  }
  const auto psi = real_at(line, 20, 10);
  if (!psi) return std::nullopt;
  r.psi = *psi;
  for (int i = 0; i < 4; ++i) {
    const auto a = real_at(line, 30 + 10 * i, 10);
    if (!a) return std::nullopt;
    r.angles[static_cast<std::size_t>(i)] = *a;
  }
  const auto n = read_int_field(line, 70, 4);
  const auto step = real_at(line, 74, 10);
  const auto rate = real_at(line, 84, 10);
  const auto standard = read_int_field(line, 94, 4);
  if (!n || !step || !rate || !standard || *n < 1 || *n > kMaxPoints) return std::nullopt;
  r.points = static_cast<int>(*n);
  r.step = *step;
  r.rate = *rate;
  r.standard = static_cast<int>(*standard);
  r.scan_code = line.size() >= 98 ? line[97] : ' ';
  return r;
}

// The counts of one "S" line: exactly `expected` I8 fields after the letter.
bool read_counts_line(std::string_view line, int expected, std::vector<long>& counts) {
  if (line.size() != 1 + 8 * static_cast<std::size_t>(expected)) return false;
  for (int i = 0; i < expected; ++i) {
    const auto c = read_int_field(line, 2 + 8 * i, 8);
    if (!c || *c < 0) return false;
    counts.push_back(*c);
  }
  return true;
}

double wrap180(double a) {
  a = std::fmod(a, 180.0);
  return a < 0 ? a + 180.0 : a;
}

// Least-squares line through (x, y)[lo..hi], evaluated at x0.
double line_at(const std::vector<double>& x, const std::vector<double>& y, std::size_t lo,
               std::size_t hi, double x0) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = lo; i <= hi; ++i) {
    n += 1;
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    sxy += x[i] * y[i];
  }
  const double d = n * sxx - sx * sx;
  if (std::fabs(d) < 1e-12 * std::max(1.0, sxx * n)) return sy / n;
  const double b = (n * sxy - sx * sy) / d;
  return (sy - b * sx) / n + b * x0;
}

double interpolate(const std::vector<double>& x, const std::vector<double>& y, double x0) {
  if (x.size() == 1) return y[0];
  std::size_t i = 1;
  if (x0 >= x.back()) i = x.size() - 1;
  else if (x0 > x.front())
    i = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), x0) - x.begin());
  const double t = (x0 - x[i - 1]) / (x[i] - x[i - 1]);
  return y[i - 1] + t * (y[i] - y[i - 1]);
}

// The folded position of a setting on a transmission curve: midway between its two beam paths
// (which lie 180 degrees apart, once folded, when the vector is along the phi axis).
double curve_position(const BeamAzimuths& az) {
  const double a = wrap180(az.in);
  double d = wrap180(az.out) - a;
  if (d >= 90.0) d -= 180.0;
  if (d < -90.0) d += 180.0;
  return wrap180(a + d / 2.0);
}

// Angle (degrees) between a setting's diffraction vector and the phi axis.
double tilt_from_phi_axis(const Geometry& g, const AngleSet& a) {
  const Mat3 r = PSIMAT(g, a);
  return std::acos(std::min(1.0, std::fabs(static_cast<double>(r(0, 2))))) / kDeg;
}

struct PsiRun {
  std::vector<std::size_t> members;  // record indices
};

// Consecutive ordinary records of one reflection at eight or more psi values whose beam paths
// go round the folded curve without a gap of more than 45 degrees.
bool is_psi_scan(const Geometry& g, const std::vector<DataRecord>& records, const PsiRun& run) {
  std::vector<double> psi, position;
  for (std::size_t i : run.members) {
    psi.push_back(std::round(records[i].psi * 100.0) / 100.0);
    position.push_back(curve_position(beam_azimuths(g, records[i].angles)));
  }
  std::sort(psi.begin(), psi.end());
  if (std::unique(psi.begin(), psi.end()) - psi.begin() < kPsiScanPoints) return false;
  std::sort(position.begin(), position.end());
  double gap = position.front() + 180.0 - position.back();
  for (std::size_t i = 1; i < position.size(); ++i)
    gap = std::max(gap, position[i] - position[i - 1]);
  return gap <= kPsiScanGap;
}

std::string indices_text(const std::array<int, 3>& h) {
  return I(h[0], 4) + I(h[1], 4) + I(h[2], 4);
}

}  // namespace

ReadDataFile parse_data_file(std::string_view text) {
  ReadDataFile out;
  const std::vector<std::string_view> lines = split_lines(text);
  int ub_row = 0;
  for (std::size_t i = 0; i < lines.size();) {
    const std::string_view line = rtrim(lines[i++]);
    if (line.empty()) continue;
    if (line.substr(0, 4) == "DATA") continue;
    switch (line[0]) {
      case 'H': {
        if (line.size() == 1) break;
        std::array<float, 7> v{};
        bool ok = true;
        for (int k = 0; k < 7 && ok; ++k) {
          const auto x = real_at(line, 2 + 10 * k, 10);
          ok = x.has_value();
          if (ok) v[static_cast<std::size_t>(k)] = *x;
        }
        if (!ok) {
          ++out.unreadable_lines;
          break;
        }
        std::copy(v.begin(), v.begin() + 6, out.cell.begin());
        out.volume = v[6];
        out.has_cell = true;
        ub_row = 0;  // a new header
        break;
      }
      case 'T': out.title = std::string(trim(line.substr(1))); break;
      case 'A': break;
      case 'U': {
        std::array<float, 3> row{};
        bool ok = ub_row < 3;
        for (int k = 0; k < 3 && ok; ++k) {
          const auto x = real_at(line, 2 + 12 * k, 12);
          ok = x.has_value();
          if (ok) row[static_cast<std::size_t>(k)] = *x;
        }
        if (!ok) {
          ++out.unreadable_lines;
          break;
        }
        for (int k = 0; k < 3; ++k) out.UB(ub_row, k) = row[static_cast<std::size_t>(k)];
        if (++ub_row == 3) out.has_ub = true;
        break;
      }
      case 'R': {
        std::optional<DataRecord> record = read_record_line(line);
        bool whole = record.has_value();
        if (record) {
          int left = record->points;
          while (left > 0 && i < lines.size() && !lines[i].empty() && lines[i][0] == 'S') {
            const int expected = std::min(left, 10);
            if (!read_counts_line(rtrim(lines[i]), expected, record->counts)) break;
            ++i;
            left -= expected;
          }
          whole = left == 0;
        }
        // Whatever "S" lines follow belong to this record, whole or not.
        while (i < lines.size() && !lines[i].empty() && lines[i][0] == 'S') {
          whole = false;
          ++i;
        }
        if (whole) out.records.push_back(std::move(*record));
        else ++out.broken_records;
        break;
      }
      default: ++out.unreadable_lines; break;
    }
  }
  return out;
}

NetIntensity net_intensity(const DataRecord& r) {
  NetIntensity out;
  const int n = static_cast<int>(r.counts.size());
  if (n < 10 || n != r.points || !(r.rate > 0.0f)) return out;
  const int nb = n / 10;
  double background = 0, peak = 0;
  for (int i = 0; i < n; ++i) {
    const double c = static_cast<double>(r.counts[static_cast<std::size_t>(i)]);
    if (i < nb || i >= n - nb) background += c;
    else peak += c;
  }
  const double k = static_cast<double>(n - 2 * nb) / (2.0 * nb);
  const double to_integral = static_cast<double>(r.rate) / 100.0;  // step / (scans t)
  out.value = (peak - k * background) * to_integral;
  out.sigma = std::sqrt(peak + k * k * background) * to_integral;
  out.valid = true;
  return out;
}

double lorentz_polarisation(double two_theta_deg, double monochromator_2theta_deg) {
  const double c = std::cos(two_theta_deg * kDeg);
  const double s = std::fabs(std::sin(two_theta_deg * kDeg));
  const double cm = std::cos(monochromator_2theta_deg * kDeg);
  if (s < 1e-6) return 0.0;
  return (1.0 + cm * cm * c * c) / (1.0 + cm * cm) / s;
}

double DecayCurve::at(double sequence_number) const {
  if (!usable()) return 1.0;
  return std::max(kDecayFloor, interpolate(sequence, factor, sequence_number));
}

double DecayCurve::largest_decay() const {
  if (factor.empty()) return 0.0;
  return 1.0 - *std::min_element(factor.begin(), factor.end());
}

DecayCurve decay_from_standards(const std::vector<DataRecord>& records) {
  struct Measurement {
    int standard;
    double sequence;
    double value;
  };
  std::vector<std::vector<Measurement>> sets(1);
  for (const DataRecord& r : records) {
    if (r.standard == 0) {
      if (!sets.back().empty()) sets.emplace_back();
      continue;
    }
    const NetIntensity e = net_intensity(r);
    if (!e.valid || !(e.value > 0)) continue;
    std::vector<Measurement>& set = sets.back();
    // A set started again after a lost standard: the later measurement counts.
    std::erase_if(set, [&](const Measurement& m) { return m.standard == r.standard; });
    set.push_back({r.standard, static_cast<double>(r.sequence), e.value});
  }
  if (sets.back().empty()) sets.pop_back();

  std::map<int, std::pair<double, int>> totals;  // standard -> sum, count
  for (const auto& set : sets)
    for (const Measurement& m : set) {
      totals[m.standard].first += m.value;
      ++totals[m.standard].second;
    }
  DecayCurve curve;
  std::vector<double> x, y;
  for (const auto& set : sets) {
    double seq = 0, rel = 0;
    for (const Measurement& m : set) {
      const auto& [sum, count] = totals[m.standard];
      seq += m.sequence;
      rel += m.value / (sum / count);
    }
    x.push_back(seq / static_cast<double>(set.size()));
    y.push_back(rel / static_cast<double>(set.size()));
    curve.measurements += static_cast<int>(set.size());
  }
  // The curve runs along the sequence numbers; should a file hold two sets at one number (a
  // numbering started again), the first is kept.
  std::vector<std::size_t> order(x.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return x[a] < x[b]; });
  std::vector<double> xs, ys;
  for (std::size_t i : order) {
    if (!xs.empty() && x[i] <= xs.back()) continue;  // one set per sequence number
    xs.push_back(x[i]);
    ys.push_back(y[i]);
  }
  if (xs.size() < 2) return curve;
  const std::size_t n = xs.size();
  const std::size_t w = std::min<std::size_t>(kSmoothingSets, n);
  std::vector<double> smooth(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t lo = std::min(j > w / 2 ? j - w / 2 : 0, n - w);
    smooth[j] = line_at(xs, ys, lo, lo + w - 1, xs[j]);
  }
  if (!(smooth[0] > 0)) return curve;
  curve.sequence = xs;
  for (double s : smooth) curve.factor.push_back(s / smooth[0]);
  return curve;
}

BeamAzimuths beam_azimuths(const Geometry& g, const AngleSet& a) {
  const Mat3 r = PSIMAT(g, a);  // phi-axis frame -> diffraction frame
  const double theta = std::fabs(a[0]) / 2.0 * kDeg;
  const double side = a[0] < 0 ? -1.0 : 1.0;
  const double st = std::sin(theta) * side, ct = std::cos(theta);
  // The beam paths in the diffraction frame, (sin theta, -/+ cos theta, 0), taken back into the
  // crystal's frame by the transpose of R; only their x and y matter for the azimuth.
  auto azimuth = [&](double sy) {
    const double x = r(0, 0) * st + r(1, 0) * sy;
    const double y = r(0, 1) * st + r(1, 1) * sy;
    const double deg = std::atan2(y, x) / kDeg;
    return deg < 0 ? deg + 360.0 : deg;
  };
  return {azimuth(-ct), azimuth(ct)};
}

double PsiCurve::at(double azimuth) const {
  if (position.empty()) return 1.0;
  if (position.size() == 1) return transmission[0];
  const double a = wrap180(azimuth);
  std::size_t i = static_cast<std::size_t>(std::upper_bound(position.begin(), position.end(), a) -
                                           position.begin());
  // Between the last point and the first one a period on.
  const double x0 = i == 0 ? position.back() - 180.0 : position[i - 1];
  const double y0 = i == 0 ? transmission.back() : transmission[i - 1];
  const double x1 = i == position.size() ? position.front() + 180.0 : position[i];
  const double y1 = i == position.size() ? transmission.front() : transmission[i];
  return x1 > x0 ? y0 + (a - x0) / (x1 - x0) * (y1 - y0) : y0;
}

double psi_transmission(const std::vector<PsiCurve>& curves, double two_theta,
                        const BeamAzimuths& az) {
  if (curves.empty()) return 1.0;
  auto value = [&](const PsiCurve& c) { return 0.5 * (c.at(az.in) + c.at(az.out)); };
  const double t = std::fabs(two_theta);
  if (t <= curves.front().two_theta) return value(curves.front());
  if (t >= curves.back().two_theta) return value(curves.back());
  for (std::size_t i = 1; i < curves.size(); ++i) {
    if (t > curves[i].two_theta) continue;
    const double span = curves[i].two_theta - curves[i - 1].two_theta;
    const double f = span > 0 ? (t - curves[i - 1].two_theta) / span : 0.0;
    return (1.0 - f) * value(curves[i - 1]) + f * value(curves[i]);
  }
  return value(curves.back());
}

std::array<int, 3> laue_representative(const SpaceGroup& group, const std::array<int, 3>& h) {
  std::array<int, 3> best = h;
  const int count = std::clamp(group.operator_count, 1, kMaxOperators);
  for (int n = 0; n < count; ++n) {
    const auto& r = group.op[static_cast<std::size_t>(n)].rotation;
    std::array<int, 3> e{};
    // Indices transform as a row vector: h'_j = sum_i h_i r_ij.
    for (std::size_t j = 0; j < 3; ++j)
      e[j] = h[0] * r[j] + h[1] * r[3 + j] + h[2] * r[6 + j];
    best = std::max(best, e);
    best = std::max(best, std::array<int, 3>{-e[0], -e[1], -e[2]});  // Friedel's law
  }
  return best;
}

ReductionResult reduce_data(const ReadDataFile& data, const ReductionOptions& options,
                            const Geometry& g, const SpaceGroup& group) {
  ReductionResult out;
  const std::vector<DataRecord>& recs = data.records;
  out.records = static_cast<int>(recs.size());
  std::vector<NetIntensity> net(recs.size());
  for (std::size_t i = 0; i < recs.size(); ++i) net[i] = net_intensity(recs[i]);

  // Standards: their indices by number, and the decay they follow.
  for (const DataRecord& r : recs) {
    if (r.standard <= 0) continue;
    ++out.standards_measured;
    const std::size_t s = static_cast<std::size_t>(r.standard);
    if (out.standards.size() < s) out.standards.resize(s);
    out.standards[s - 1] = r.hkl;
  }
  std::erase(out.standards, std::array<int, 3>{});
  out.decay = decay_from_standards(recs);
  if (options.decay) {
    out.decay_applied = out.decay.usable();
    if (!out.decay_applied)
      out.notes.push_back(" Decay correction not applied: fewer than two sets of standards");
  }
  auto decay_of = [&](const DataRecord& r) {
    return out.decay_applied ? out.decay.at(r.sequence) : 1.0;
  };

  // Psi scans: runs of one reflection at many psi values. They are never written.
  std::vector<bool> in_psi_scan(recs.size(), false);
  std::vector<PsiRun> runs;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    if (recs[i].standard != 0 || !net[i].valid) continue;
    if (runs.empty() || recs[runs.back().members.back()].hkl != recs[i].hkl ||
        runs.back().members.back() + 1 != i)
      runs.emplace_back();
    runs.back().members.push_back(i);
  }
  for (const PsiRun& run : runs) {
    if (!is_psi_scan(g, recs, run)) continue;
    ++out.psi_scans;
    out.psi_records += static_cast<int>(run.members.size());
    for (std::size_t i : run.members) in_psi_scan[i] = true;
    const DataRecord& first = recs[run.members.front()];
    const double tilt = tilt_from_phi_axis(g, first.angles);
    if (tilt > kPsiAxisTilt) {
      out.notes.push_back(" Psi scan of" + indices_text(first.hkl) + " lies" + F(tilt, 5, 1) +
                          " degrees from the phi axis: not used");
      continue;
    }
    std::vector<std::pair<double, double>> points;
    double two_theta = 0;
    for (std::size_t i : run.members) {
      points.push_back({curve_position(beam_azimuths(g, recs[i].angles)),
                        net[i].value / decay_of(recs[i])});
      two_theta += std::fabs(recs[i].angles[0]);
    }
    std::sort(points.begin(), points.end());
    PsiCurve c;
    c.hkl = first.hkl;
    c.two_theta = two_theta / static_cast<double>(run.members.size());
    for (std::size_t i = 0; i < points.size();) {
      double sx = 0, sy = 0;
      std::size_t j = i;
      for (; j < points.size() && points[j].first - points[i].first < kMergeWithin; ++j) {
        sx += points[j].first;
        sy += points[j].second;
      }
      c.position.push_back(sx / static_cast<double>(j - i));
      c.transmission.push_back(sy / static_cast<double>(j - i));
      i = j;
    }
    const double top = *std::max_element(c.transmission.begin(), c.transmission.end());
    if (!(top > 0)) {
      out.notes.push_back(" Psi scan of" + indices_text(first.hkl) +
                          " has no intensity: not used");
      continue;
    }
    for (double& t : c.transmission) t = std::max(t / top, 0.01);
    out.curves.push_back(std::move(c));
  }
  std::sort(out.curves.begin(), out.curves.end(),
            [](const PsiCurve& a, const PsiCurve& b) { return a.two_theta < b.two_theta; });
  if (options.absorption) {
    out.absorption_applied = !out.curves.empty();
    if (!out.absorption_applied)
      out.notes.push_back(" Absorption correction not applied: no usable psi scan in the file");
  }

  // The reflections themselves.
  bool first = true;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    const DataRecord& r = recs[i];
    if (r.standard != 0 || in_psi_scan[i]) continue;
    const double lp =
        options.lorentz_polarisation
            ? lorentz_polarisation(r.angles[0], options.monochromator_2theta)
            : 1.0;
    if (!net[i].valid || !(lp > 0)) {
      ++out.unusable;
      continue;
    }
    ReducedReflection x;
    x.hkl = r.hkl;
    x.sequence = r.sequence;
    x.two_theta = std::fabs(r.angles[0]);
    x.decay = decay_of(r);
    x.transmission = out.absorption_applied
                         ? psi_transmission(out.curves, x.two_theta, beam_azimuths(g, r.angles))
                         : 1.0;
    const double factor = lp * x.decay * x.transmission;
    x.f2 = net[i].value / factor;
    x.sigma = net[i].sigma / factor;
    if (x.f2 < 0) ++out.negative;
    const double theta = x.two_theta / 2.0;
    const double width = static_cast<double>(r.points - 1) * std::fabs(r.step);
    if (first) {
      out.hkl_min = out.hkl_max = x.hkl;
      out.theta_min = out.theta_max = theta;
      out.t_min = out.t_max = x.transmission;
      out.width_min = out.width_max = width;
      out.step_min = out.step_max = std::fabs(r.step);
      first = false;
    }
    for (std::size_t k = 0; k < 3; ++k) {
      out.hkl_min[k] = std::min(out.hkl_min[k], x.hkl[k]);
      out.hkl_max[k] = std::max(out.hkl_max[k], x.hkl[k]);
    }
    out.theta_min = std::min(out.theta_min, theta);
    out.theta_max = std::max(out.theta_max, theta);
    out.t_min = std::min(out.t_min, x.transmission);
    out.t_max = std::max(out.t_max, x.transmission);
    out.width_min = std::min(out.width_min, width);
    out.width_max = std::max(out.width_max, width);
    out.step_min = std::min(out.step_min, static_cast<double>(std::fabs(r.step)));
    out.step_max = std::max(out.step_max, static_cast<double>(std::fabs(r.step)));
    out.reflections.push_back(x);
  }

  // Agreement of the Laue equivalents: sum |F2 - <F2>| / sum F2 over classes of two or more.
  std::map<std::array<int, 3>, std::vector<double>> classes;
  for (const ReducedReflection& x : out.reflections)
    classes[laue_representative(group, x.hkl)].push_back(x.f2);
  out.unique = static_cast<int>(classes.size());
  double deviations = 0, total = 0;
  for (const auto& [key, values] : classes) {
    if (values.size() < 2) continue;
    double mean = 0;
    for (double v : values) mean += v;
    mean /= static_cast<double>(values.size());
    for (double v : values) {
      deviations += std::fabs(v - mean);
      total += v;
    }
    ++out.r_int_groups;
    out.r_int_reflections += static_cast<int>(values.size());
  }
  out.r_int = total > 0 ? deviations / total : 0.0;
  return out;
}

// 3I4, 2F8.2
std::string hklf4_line(const std::array<int, 3>& hkl, double f2, double sigma) {
  return I(hkl[0], 4) + I(hkl[1], 4) + I(hkl[2], 4) + F(f2, 8, 2) + F(sigma, 8, 2);
}

HklfFile hklf4_file(const std::vector<ReducedReflection>& reflections) {
  HklfFile out;
  double largest = 0, most_negative = 0;
  for (const ReducedReflection& x : reflections) {
    largest = std::max({largest, x.f2, x.sigma});
    most_negative = std::min(most_negative, x.f2);
  }
  // The largest F-squared fills F8.2 (99999.99) and the most negative its field (-9999.99).
  if (largest > 0) out.scale = 99999.0 / largest;
  if (most_negative < 0) out.scale = std::min(out.scale, 9999.0 / -most_negative);
  for (const ReducedReflection& x : reflections)
    out.text += hklf4_line(x.hkl, x.f2 * out.scale, std::max(x.sigma * out.scale, 0.01)) + "\n";
  out.text += hklf4_line({0, 0, 0}, 0.0, 0.0) + "\n";
  return out;
}

}  // namespace dorvex
