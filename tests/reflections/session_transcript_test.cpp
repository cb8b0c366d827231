// One dummy-mode session typed line by line, the matrix file read back after every command:
// a cell, reflections by indices, by angles and by both, angles and indices computed, the
// orientation from two reflections, Laue equivalents, a sort, a deletion and use flags. Each
// change must be on disk when the command hands back its prompt, before the next line is typed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::Home;

constexpr double kLambda = 0.7093;  // lambda1 of the sample profile
constexpr double kDeg = 180.0 / 3.14159265358979323846;

// The program on pipes, kept running between lines.
class Session {
 public:
  Session(const Home& home, std::vector<std::string> args) {
    const dorvex_test::Started child = dorvex_test::start_program(
        home.path(), std::move(args), {}, dorvex_test::Stderr::with_output);
    pid_ = child.pid;
    in_ = child.in;
    out_ = child.out;
    ::signal(SIGPIPE, SIG_IGN);
  }
  ~Session() {
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Waits until a line ending in `prompt_end` has been printed; returns the text printed since
  // the last wait (empty after a timeout, which fails the test).
  std::string wait_for(const std::string& prompt_end) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      std::istringstream text(pending_);
      std::size_t used = 0;
      for (std::string line; std::getline(text, line);) {
        if (text.eof()) break;  // an unfinished line
        used += line.size() + 1;
        if (line.size() >= prompt_end.size() &&
            line.compare(line.size() - prompt_end.size(), prompt_end.size(), prompt_end) == 0) {
          std::string out = pending_.substr(0, used);
          pending_.erase(0, used);
          return out;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()).count();
      pollfd fd{out_, POLLIN, 0};
      char chunk[4096];
      ssize_t n = 0;
      if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0 ||
          (n = ::read(out_, chunk, sizeof chunk)) <= 0) {
        ADD_FAILURE() << "no line ending in \"" << prompt_end << "\"; printed:\n" << pending_;
        return {};
      }
      pending_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Types a line and waits for the prompt that follows it.
  std::string type(const std::string& line, const std::string& prompt_end = "DMDORVEX>") {
    const std::string text = line + "\n";
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      ADD_FAILURE() << "cannot type " << line;
    return wait_for(prompt_end);
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

struct Listed {
  double h, k, l, tth, om, chi, phi;
  int intensity, ref, use;
};

// The matrix file as read from disk now: the LISTREF lines in their fixed columns, the
// declared count, and the UB rows.
struct MatFile {
  int nrefln = -1;
  std::vector<Listed> list;
  std::vector<std::vector<double>> ub;
  std::string cell_line;
};

MatFile load(const Home& home) {
  MatFile m;
  for (const auto& line : dorvex_test::lines(home.read("x.mat"))) {
    if (line.rfind("NREFLN", 0) == 0) m.nrefln = std::stoi(line.substr(6, 5));
    if (line.rfind("CELL  ", 0) == 0) m.cell_line = line;
    if (line.rfind("UB    ", 0) == 0)
      m.ub.push_back({std::stod(line.substr(6, 10)), std::stod(line.substr(16, 10)),
                      std::stod(line.substr(26, 10))});
    if (line.rfind("LISTREF", 0) != 0 || line.size() != 79) continue;
    auto real = [&line](std::size_t first, std::size_t width) {
      return std::stod(line.substr(first - 1, width));
    };
    m.list.push_back({real(11, 6), real(17, 6), real(23, 6), real(29, 10), real(39, 10),
                      real(49, 10), real(59, 10), std::stoi(line.substr(68, 7)),
                      std::stoi(line.substr(75, 2)), std::stoi(line.substr(77, 2))});
  }
  return m;
}

double two_theta(double dstar) { return 2 * std::asin(dstar * kLambda / 2) * kDeg; }

std::string fixed(double v, int width, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, v);
  return buf;
}

// The CELL line of a 10 A cube; the volume comes from single-precision UB.
void expect_cubic_cell(const std::string& line) {
  ASSERT_EQ(line.size(), 76u) << line;
  EXPECT_EQ(line.substr(0, 66),
            "CELL     10.0000   10.0000   10.0000   90.0000   90.0000   90.0000");
  EXPECT_NEAR(std::stod(line.substr(66)), 1000.0, 0.002) << line;
}

bool has(const std::string& out, const std::string& line) {
  return dorvex_test::has_line(out, line);
}

TEST(SessionTranscript, EveryChangeIsOnDiskWhenTheCommandReturns) {
  Home home;
  Session s(home, {"--home", home.path(), "--mode", "dummy", "--ui", "line", "--mat",
                   home.file("x.mat")});
  s.wait_for("DMDORVEX>");
  ASSERT_EQ(load(home).nrefln, 0);

  // A cubic cell of 10 A: B = UB = 0.1 times the unit matrix.
  s.type("CELL", "CELL: Input new cell>");
  s.type("10 10 10");
  MatFile m = load(home);
  expect_cubic_cell(m.cell_line);
  ASSERT_EQ(m.ub.size(), 3u);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(m.ub[i][j], i == j ? 0.1 : 0.0, 1e-6);

  // By indices: 1 0 0 in the bisecting position.
  s.type("INH 1 0 0");
  m = load(home);
  ASSERT_EQ(m.nrefln, 1);
  ASSERT_EQ(m.list.size(), 1u);
  EXPECT_EQ(m.list[0].h, 1.0);
  EXPECT_NEAR(m.list[0].tth, two_theta(0.1), 1e-4);
  EXPECT_EQ(m.list[0].use, 1);

  // By angles: those of 0 1 0 (phi 90); the indices come from UB.
  s.type("INA " + fixed(two_theta(0.1), 0, 4) + " 0 0 90");
  m = load(home);
  ASSERT_EQ(m.list.size(), 2u);
  EXPECT_NEAR(m.list[1].h, 0.0, 0.005);
  EXPECT_NEAR(m.list[1].k, 1.0, 0.005);
  EXPECT_NEAR(m.list[1].phi, 90.0, 1e-4);

  // Angles and indices computed; neither changes the file.
  const std::string before = home.read("x.mat");
  std::string out = s.type("CALC 1 1 0");
  EXPECT_TRUE(has(out, " Calculated Angles:" + fixed(two_theta(0.1 * std::sqrt(2.0)), 9, 3) +
                           "    0.000    0.000   45.000"))
      << out;
  out = s.type("INDX " + fixed(two_theta(0.1), 0, 4) + " 0 0 90");
  EXPECT_TRUE(has(out, " Indices:   -0.000   1.000   0.000") ||
              has(out, " Indices:    0.000   1.000   0.000"))
      << out;
  EXPECT_EQ(home.read("x.mat"), before);

  // The crystal turned by 30 degrees about the phi axis: 1 0 0 at phi 30, 0 1 1 at chi 45
  // and phi 120. IND keeps the typed indices.
  s.type("IND 1 0 0 " + fixed(two_theta(0.1), 0, 4) + " 0 0 30");
  s.type("IND 0 1 1 " + fixed(two_theta(0.1 * std::sqrt(2.0)), 0, 4) + " 0 45 120");
  m = load(home);
  ASSERT_EQ(m.list.size(), 4u);
  EXPECT_EQ(m.list[3].k, 1.0);
  EXPECT_EQ(m.list[3].l, 1.0);
  EXPECT_NEAR(m.list[3].chi, 45.0, 1e-4);

  // COM from entries 3 and 4, declined first: UB stays; then accepted.
  s.type("COM 3 4", "COM: Do You Wish to Update Matrix<Y,N>?");
  s.type("N");
  EXPECT_NEAR(load(home).ub[0][0], 0.1, 1e-6);
  s.type("COM 3 4", "COM: Do You Wish to Update Matrix<Y,N>?");
  s.type("Y");
  m = load(home);
  const double c = 0.1 * std::cos(30 / kDeg), sn = 0.1 * std::sin(30 / kDeg);
  const double turned[3][3] = {{c, -sn, 0}, {sn, c, 0}, {0, 0, 0.1}};
  ASSERT_EQ(m.ub.size(), 3u);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(m.ub[i][j], turned[i][j], 2e-6) << i << j;
  expect_cubic_cell(m.cell_line);

  // Laue equivalents of 0 0 1 in m3m: 1 0 0 and 0 1 0 are listed, so only 0 0 1 is new; it
  // is on disk when the INL prompt comes back.
  s.type("INL m3m", "INL: Enter h,k,l>");
  out = s.type("0 0 1", "INL: Enter h,k,l>");
  EXPECT_TRUE(has(out, " REFLECTION    0   0   1 ADDED TO LIST")) << out;
  m = load(home);
  ASSERT_EQ(m.list.size(), 5u);
  EXPECT_EQ(m.nrefln, 5);
  EXPECT_EQ(m.list[4].l, 1.0);
  EXPECT_NEAR(m.list[4].chi, 90.0, 1e-4);
  out = s.type("0 0 1", "INL: Enter h,k,l>");
  EXPECT_TRUE(has(out, " ALL EQUIVALENTS ALREADY IN LIST")) << out;
  s.type("");
  EXPECT_EQ(load(home).list.size(), 5u);

  // Sorted by 2theta, largest first: 0 1 1 leads.
  s.type("SORT -2");
  m = load(home);
  ASSERT_EQ(m.list.size(), 5u);
  EXPECT_EQ(m.list[0].k, 1.0);
  EXPECT_EQ(m.list[0].l, 1.0);
  for (std::size_t n = 1; n < m.list.size(); ++n) EXPECT_LE(m.list[n].tth, m.list[0].tth);

  // The first entry deleted, then entries 2 to 3 omitted and entry 3 used again.
  s.type("DEL 1");
  m = load(home);
  ASSERT_EQ(m.list.size(), 4u);
  EXPECT_EQ(m.nrefln, 4);
  for (const Listed& e : m.list) EXPECT_FALSE(e.k == 1.0 && e.l == 1.0);
  s.type("OMIT 2 -3");
  m = load(home);
  ASSERT_EQ(m.list.size(), 4u);
  EXPECT_EQ(m.list[0].use, 1);
  EXPECT_EQ(m.list[1].use, 0);
  EXPECT_EQ(m.list[2].use, 0);
  EXPECT_EQ(m.list[3].use, 1);
  s.type("USE 3");
  EXPECT_EQ(load(home).list[2].use, 1);
  EXPECT_EQ(load(home).list[1].use, 0);
}

}  // namespace
