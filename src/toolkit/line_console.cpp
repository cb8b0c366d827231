// The `line` console: the master window met by a pair of descriptors (standard input and
// output in the program), for scripts, pipes, tests and CI.
//
// Conventions (the README repeats them for the operator):
// - console lines go out one per line, unbuffered; the warning style is bold red only when the
//   output is a terminal;
// - the prompt is written when a line is awaited: on a terminal without a line break, else as
//   a line of its own, so that a transcript keeps one output line per line;
// - a line read from a pipe or a file (input that is not a terminal, which echoes nothing) is
//   written after its prompt, as a line of its own, so that a transcript shows what was typed
//   as well as what came back;
// - what the window shows in its status fields and plot arrives as status lines, printed as
//   console lines (positions after a drive, a count, the points of a profile, progress);
// - end of input is the window being closed (CB_CLOSED), and input_ended() becomes true;
// - SIGINT (Ctrl-C) while a wait runs (a timer is defined) is the halt button (CB_HALT); at
//   the prompt it only discards the partly typed line. While a wait runs standard input is
//   not read, so lines typed ahead (or the rest of a script) stay for the next prompt;
// - yes/no boxes print "TITLE: QUESTION (Y/N)" and read one line: Y or y first is Yes;
// - information boxes print "[TITLE] text", error boxes "[TITLE ERROR] text";
// - a file browser prints its title, filters and start directory and reads one line: a path
//   (relative to the start directory), an empty line for the pre-filled name, and "-" (or an
//   empty line without a pre-filled name, or end of input) to cancel;
// - the mode dialog reads R, D, S or C (Cancel); end of input cancels;
// - of an input line only its first 4096 characters are kept (the dispatcher takes 80).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>

#include "common/fields.hpp"
#include "toolkit/backends.hpp"

namespace dorvex {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t interrupt_seen = 0;
int wake_pipe[2] = {-1, -1};  // the SIGINT handler writes a byte to wake a poll()

extern "C" void on_interrupt(int) {
  interrupt_seen = 1;
  if (wake_pipe[1] >= 0) {
    const int saved = errno;
    const ssize_t written = ::write(wake_pipe[1], "!", 1);
    static_cast<void>(written);
    errno = saved;
  }
}

void drain_wake_pipe() {
  if (wake_pipe[0] < 0) return;
  char sink[64];
  while (::read(wake_pipe[0], sink, sizeof sink) > 0) {
  }
}

// Takes a pending interrupt, if any.
bool take_interrupt() {
  if (interrupt_seen == 0) return false;
  interrupt_seen = 0;
  drain_wake_pipe();
  return true;
}

class LineConsole final : public Toolkit {
 public:
  LineConsole(int in_fd, int out_fd)
      : in_fd_(in_fd), out_fd_(out_fd), in_tty_(::isatty(in_fd) == 1),
        out_tty_(::isatty(out_fd) == 1) {}
  ~LineConsole() override { restore_interrupt(); }

  void create_master(bool) override { install_interrupt(); }
  void close() override { restore_interrupt(); }

  void console_line(std::string_view text, Style style) override {
    std::string out;
    if (style == Style::warning && out_tty_) {
      out = "\033[1;31m";
      out += text;
      out += "\033[0m\n";
    } else {
      out = text;
      out += '\n';
    }
    write_all(out);
  }

  void set_prompt(std::string_view prompt) override {
    prompt_ = prompt.empty() ? std::string(" ") : std::string(prompt);
  }
  // Lines typed while a command runs wait in the input; there is no field to grey.
  void enable_command_field(bool) override {}

  int action() override {
    if (timer_callback_ != 0) return wait_for_timer_or_halt();
    take_interrupt();  // a Ctrl-C while no wait ran has nothing left to stop
    if (eof_ && buffer_.empty()) return CB_CLOSED;
    show(prompt_);
    for (;;) {
      std::string line;
      switch (next_line(line)) {
        case Got::line:
          last_line_ = line;
          echo(line);
          return CB_COMMAND;
        case Got::closed:
          if (out_tty_) write_all("\n");
          return CB_CLOSED;
        case Got::interrupted:
          if (out_tty_) write_all("\n");
          show(prompt_);
          break;
      }
    }
  }

  std::string last_line() const override { return last_line_; }

  void define_timer(int interval, int callback) override {
    timer_interval_ = interval > 0 ? interval : 1;
    timer_callback_ = callback;
    next_tick_ = Clock::now() + tick();
  }

  bool halt_pending() override { return take_interrupt(); }
  bool input_ended() const override { return eof_ && buffer_.empty(); }

  bool yes_no(std::string_view title, std::string_view question) override {
    std::string line;
    if (!ask(std::string(title) + ": " + std::string(question) + " (Y/N)", line)) return false;
    return !line.empty() && (line[0] == 'Y' || line[0] == 'y');
  }

  void info_box(std::string_view title, std::string_view text) override {
    box("[" + std::string(title) + "] ", text, Style::normal);
  }

  void error_box(std::string_view title, std::string_view text) override {
    box("[" + std::string(title) + " ERROR] ", text, Style::warning);
  }

  std::optional<std::string> file_browser(std::string_view title, std::string_view filters,
                                          std::string_view start_dir,
                                          std::string_view prefill) override {
    console_line(title, Style::normal);
    console_line("  Files: " + describe_filters(filters), Style::normal);
    std::string dir(start_dir);
    if (dir.empty()) dir = current_directory();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    console_line("  Directory: " + dir, Style::normal);
    std::string question = "  Name";
    if (!prefill.empty()) question += " [" + std::string(prefill) + "]";
    question += " (- to cancel):";
    std::string line;
    if (!ask(question, line)) return std::nullopt;
    std::string name(trim(line));
    if (name == "-") return std::nullopt;
    if (name.empty()) {
      if (prefill.empty()) return std::nullopt;
      name = std::string(prefill);
    }
    if (name.front() == '/') return name;
    return dir + name;
  }

  int mode_dialog() override {
    console_line("Dorvex: Select the mode for running DORVEX", Style::normal);
    console_line("  R = Real Diffractometer, D = Dummy, S = Supervisor, C = Cancel",
                 Style::normal);
    for (;;) {
      std::string line;
      if (!ask("Mode (R/D/S/C):", line)) return MODE_CANCELLED;
      const std::string_view answer = trim(line);
      if (answer.empty()) continue;
      switch (answer[0]) {
        case 'R': case 'r': return MODE_NORMAL;
        case 'D': case 'd': return MODE_DUMMY;
        case 'S': case 's': return MODE_SUPERVISOR;
        case 'C': case 'c': return MODE_CANCELLED;
        default: break;
      }
    }
  }

  // The line console shows no status fields and no plot; S().status keeps the values, and
  // what they show comes as status lines.
  void status_changed(const StatusFields&) override {}
  void status_line(std::string_view text) override { console_line(text, Style::normal); }
  void plot_frame_size(float& width, float& height) const override {
    width = 600;
    height = 300;
  }
  void plot_scan(const ScanPlot&) override {}
  void plot_curve(const std::vector<float>&, const std::vector<float>&) override {}
  void plot_marker(float, std::string_view) override {}
  void plot_clear() override {}

 private:
  enum class Got { line, closed, interrupted };

  Clock::duration tick() const { return std::chrono::milliseconds(10L * timer_interval_); }

  void install_interrupt() {
    if (handler_installed_) return;
    if (wake_pipe[0] < 0 && ::pipe(wake_pipe) == 0) {
      for (int fd : wake_pipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read returns so the line can be dropped
    if (::sigaction(SIGINT, &action, &previous_) == 0) handler_installed_ = true;
  }

  void restore_interrupt() {
    if (!handler_installed_) return;
    ::sigaction(SIGINT, &previous_, nullptr);
    handler_installed_ = false;
  }

  // A wait (motor, count, scan) is running: serve the halt and the timer only.
  int wait_for_timer_or_halt() {
    for (;;) {
      if (take_interrupt()) return CB_HALT;
      const auto now = Clock::now();
      if (now >= next_tick_) {
        next_tick_ = now + tick();
        return timer_callback_;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(next_tick_ - now).count() + 1;
      if (wake_pipe[0] >= 0) {
        pollfd fd{wake_pipe[0], POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left));
      } else {
        ::usleep(static_cast<useconds_t>(left * 1000));
      }
    }
  }

  // Next complete line of input (a last line without a line break counts as one).
  Got next_line(std::string& line) {
    for (;;) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return Got::line;
      }
      if (eof_) {
        if (buffer_.empty()) return Got::closed;
        line.swap(buffer_);
        buffer_.clear();
        return Got::line;
      }
      if (take_interrupt()) {
        buffer_.clear();  // the partly typed line is dropped
        overlong_ = false;
        return Got::interrupted;
      }
      pollfd fds[2] = {{in_fd_, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
      const nfds_t count = wake_pipe[0] >= 0 ? 2 : 1;
      if (::poll(fds, count, -1) < 0) {
        if (errno == EINTR) continue;
        eof_ = true;
        continue;
      }
      if (count == 2 && (fds[1].revents & POLLIN) != 0) continue;  // look at the interrupt
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(in_fd_, chunk, sizeof chunk);
      if (n > 0) {
        take_input(std::string_view(chunk, static_cast<std::size_t>(n)));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        eof_ = true;
      }
    }
  }

  // Adds bytes read to the pending line. Only kMaxLine characters of a line are kept: the rest
  // of a longer line (a binary file or an endless stream without line breaks on the input)
  // is dropped up to its line break instead of being held in memory.
  void take_input(std::string_view bytes) {
    if (overlong_) {
      const auto end = bytes.find('\n');
      if (end == std::string_view::npos) return;
      bytes.remove_prefix(end);
      overlong_ = false;
    }
    buffer_.append(bytes);
    if (buffer_.size() > kMaxLine && buffer_.find('\n') == std::string::npos) {
      buffer_.resize(kMaxLine);
      overlong_ = true;
    }
  }

  // Shows a question and reads the answer; false at end of input.
  bool ask(const std::string& question, std::string& answer) {
    show(question);
    for (;;) {
      switch (next_line(answer)) {
        case Got::line:
          echo(answer);
          return true;
        case Got::closed:
          if (out_tty_) write_all("\n");
          return false;
        case Got::interrupted:
          if (out_tty_) write_all("\n");
          show(question);
          break;
      }
    }
  }

  // A line read from input that is not a terminal (nothing else echoes it), control
  // characters shown as blanks.
  void echo(const std::string& line) {
    if (in_tty_) return;
    std::string shown = line;
    for (char& c : shown) {
      const auto code = static_cast<unsigned char>(c);
      if (code < 32 || code > 126) c = ' ';
    }
    write_all(shown + "\n");
  }

  // A prompt or question: on a terminal the answer is typed on the same line.
  void show(const std::string& text) {
    if (text.empty()) return;
    if (out_tty_) {
      write_all(text.back() == '>' || text.back() == ':' || text.back() == ')' ? text + " " : text);
    } else {
      write_all(text + "\n");
    }
  }

  void box(const std::string& marker, std::string_view text, Style style) {
    std::string_view rest = text;
    do {
      const auto end = rest.find('\n');
      console_line(marker + std::string(rtrim(rest.substr(0, end))), style);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    } while (!rest.empty());
  }

  static std::string describe_filters(std::string_view filters) {
    std::string out;
    while (!filters.empty()) {
      const auto bar = filters.find('|');
      const std::string_view pattern = filters.substr(0, bar);
      std::string_view description;
      filters = bar == std::string_view::npos ? std::string_view() : filters.substr(bar + 1);
      if (!filters.empty()) {
        const auto next = filters.find('|');
        description = filters.substr(0, next);
        filters = next == std::string_view::npos ? std::string_view() : filters.substr(next + 1);
      }
      if (!out.empty()) out += ", ";
      out += pattern;
      if (!description.empty()) out += " (" + std::string(description) + ")";
    }
    return out;
  }

  static std::string current_directory() {
    char path[4096];
    if (::getcwd(path, sizeof path) == nullptr) return std::string();
    return path;
  }

  void write_all(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t n = ::write(out_fd_, data, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // a closed output loses the text; the logs still have it
      }
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  }

  int in_fd_;
  int out_fd_;
  bool in_tty_;
  bool out_tty_;
  static constexpr std::size_t kMaxLine = 4096;  // characters kept of one input line
  std::string buffer_;  // bytes read but not yet taken as lines
  bool overlong_ = false;  // the pending line was cut: drop input up to its line break
  bool eof_ = false;
  std::string prompt_ = " ";
  std::string last_line_;
  int timer_interval_ = 50;
  int timer_callback_ = 0;
  Clock::time_point next_tick_{};
  bool handler_installed_ = false;
  struct sigaction previous_ {};
};

}  // namespace

std::unique_ptr<Toolkit> make_line_toolkit(int in_fd, int out_fd) {
  return std::make_unique<LineConsole>(in_fd, out_fd);
}

}  // namespace dorvex
