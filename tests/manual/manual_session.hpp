// A session of the real program against dorvex-sim: the operator's lines on standard input,
// what the program printed after start-up, and what crossed the serial line (the simulator's
// transcript).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace dorvex_test {

// Replaces the profile line that starts with `key`.
inline std::string profile_with(std::string profile, const std::string& key,
                                const std::string& line) {
  std::istringstream in(profile);
  std::string out, l;
  bool done = false;
  while (std::getline(in, l)) {
    const bool hit = !done && l.rfind(key, 0) == 0;
    out += (hit ? line : l) + "\n";
    done = done || hit;
  }
  if (!done) out += line + "\n";
  return out;
}

struct Session {
  std::vector<std::string> dialogue;  // console lines after the first prompt
  std::vector<std::string> sent;      // lines the controller received, in order
  std::string out;                    // everything printed
  int status = -1;
};

// The first normal prompt carries the date and time; every prompt line becomes "DORVEX>"
// (or "SUPERV>", "DMDORVEX>") so that the dialogue can be compared whole. The instrument time
// each command took on the simulator is left out: it follows the simulator's speeds, not the
// dialogue, and the dry-run test checks it.
inline std::vector<std::string> dialogue_of(const std::string& out) {
  std::vector<std::string> result;
  bool started = false;
  for (const std::string& line : lines(out)) {
    std::string l = line;
    for (const char* prompt : {"DMDORVEX>", "DORVEX>", "SUPERV>"}) {
      const std::string p = prompt;
      if (l.size() >= p.size() && l.compare(l.size() - p.size(), p.size(), p) == 0 &&
          l.find(':') != std::string::npos) {
        l = p;
        break;
      }
    }
    if (!started && (l == "DORVEX>" || l == "SUPERV>" || l == "DMDORVEX>")) started = true;
    if (l.rfind("  took ", 0) == 0 && l.find(" of instrument time") != std::string::npos) continue;
    if (started && l != "[DORVEX] Normal program termination") result.push_back(l);
  }
  return result;
}

using ProfileEdits = std::vector<std::pair<std::string, std::string>>;

// A run in `home` (its matrix file x.mat kept from earlier runs there). `mode` is "real",
// "supervisor" or "dummy"; the edits are applied to the sample profile; `sim_options` go to
// the simulator (faults).
inline Session run_session(const Home& home, const std::string& input,
                           const std::string& mode = "real", const ProfileEdits& edits = {},
                           const std::string& sim_options = "") {
  home.copy_in(kDefaultProfile, "DIFPROF.DAT");
  std::string profile = home.read("DIFPROF.DAT");
  for (const auto& [key, line] : edits) profile = profile_with(profile, key, line);
  home.write("DIFPROF.DAT", profile);
  const std::string wire = home.file("wire.txt");
  std::remove(wire.c_str());
  const std::vector<std::string> args = {"--home", home.path(), "--simulate", "--mode", mode,
                                         "--ui",   "line",      "--mat",      home.path() + "x"};
  const RunResult r = run_dorvex(
      home, input, args, 60,
      {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + wire + " " + sim_options});
  Session s;
  s.out = r.out;
  s.status = r.status;
  s.dialogue = dialogue_of(r.out);
  // Transcript lines: real time, simulated time, then "< " and what was received.
  for (const std::string& line : lines(home.read("wire.txt"))) {
    const auto at = line.find(" < ");
    if (at != std::string::npos) s.sent.push_back(line.substr(at + 3));
  }
  return s;
}

inline Session run_session(const std::string& input, const std::string& mode = "real",
                           const ProfileEdits& edits = {}, const std::string& sim_options = "") {
  const Home home;
  return run_session(home, input, mode, edits, sim_options);
}

inline int count_sent(const Session& s, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : s.sent) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// The targets of axis `axis` in the absolute moves sent ("4:A90.0000S200R3000A100;").
inline std::vector<double> targets_of(const Session& s, char axis) {
  std::vector<double> out;
  const std::string key = std::string(1, axis) + ":A";
  for (const std::string& l : s.sent) {
    if (l.rfind(key, 0) == 0) out.push_back(std::strtod(l.c_str() + key.size(), nullptr));
  }
  return out;
}

}  // namespace dorvex_test
