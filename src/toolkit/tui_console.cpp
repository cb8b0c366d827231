// The `tui` console: the full-screen master window on the controlling terminal, drawn with
// curses. Header row with the halt key, the status fields and the scan plot (hardware
// variant) or the title and "Mat file:" fields (virtual variant), the scrolling console with
// scroll-back, the command field, and a key-help row. Dialogs are drawn over the window.
//
// Keys: F9 or Esc is the halt key (and Ctrl-C) while a motor wait, count or scan runs; at the
// prompt Ctrl-C only discards the partly typed line. PageUp/PageDown scroll the console back
// and forth; Up/Down walk through the history (kept in the program directory); Tab completes
// a command name; Ctrl-D on an empty line closes the window (the quit question follows);
// Ctrl-L redraws the screen.
//
// The terminal is always given back: by close(), at exit, and from the handlers of the
// signals that end the program, which restore it and then re-raise the signal.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Function forms only: the curses macros named erase(), clear() or move() would otherwise
// rewrite member calls of the same names.
#define NCURSES_NOMACROS 1
#include <curses.h>

#include "common/fields.hpp"
#include "toolkit/backends.hpp"
#include "toolkit/tui_browser.hpp"
#include "toolkit/tui_editor.hpp"
#include "toolkit/tui_layout.hpp"
#include "toolkit/tui_plot.hpp"

namespace dorvex {

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// Signals. The handlers only set flags and write a byte to a pipe that wakes the poll().
volatile std::sig_atomic_t interrupted = 0;  // SIGINT: halt during a wait, else drop the line
volatile std::sig_atomic_t resized = 0;      // SIGWINCH
volatile std::sig_atomic_t hung_up = 0;      // SIGHUP: the terminal is gone
volatile std::sig_atomic_t screen_up = 0;    // curses owns the terminal
int wake_pipe[2] = {-1, -1};

// What the fatal-signal handler writes to give the terminal back (attributes off, cursor on,
// keypad off, leave the alternate screen), and the terminal modes from before curses.
char restore_sequence[256];
std::size_t restore_length = 0;
struct termios saved_modes {};
bool have_saved_modes = false;

void wake() {
  if (wake_pipe[1] < 0) return;
  const int saved = errno;
  const ssize_t written = ::write(wake_pipe[1], "!", 1);
  static_cast<void>(written);
  errno = saved;
}

extern "C" void tui_on_interrupt(int) {
  interrupted = 1;
  wake();
}
extern "C" void tui_on_resize(int) {
  resized = 1;
  wake();
}
extern "C" void tui_on_hangup(int) {
  hung_up = 1;
  wake();
}

// Async-signal-safe: write() and tcsetattr() only.
void restore_terminal_raw() {
  if (screen_up == 0) return;
  screen_up = 0;
  std::size_t done = 0;
  while (done < restore_length) {
    const ssize_t n = ::write(STDOUT_FILENO, restore_sequence + done, restore_length - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (have_saved_modes) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
}

extern "C" void tui_on_fatal(int signal_number) {
  restore_terminal_raw();
  // SA_RESETHAND gave the signal its default action back; it is delivered again on return.
  ::raise(signal_number);
}

extern "C" void tui_restore_at_exit() {
  if (screen_up == 0) return;
  screen_up = 0;
  endwin();
}

constexpr int kFatalSignals[] = {SIGTERM, SIGQUIT, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

void drain_wake_pipe() {
  if (wake_pipe[0] < 0) return;
  char sink[64];
  while (::read(wake_pipe[0], sink, sizeof sink) > 0) {
  }
}

bool take_interrupt() {
  if (interrupted == 0) return false;
  interrupted = 0;
  return true;
}

void append_capability(const char* name) {
  const char* value = tigetstr(name);
  if (value == nullptr || value == reinterpret_cast<const char*>(-1)) return;
  const std::size_t len = std::strlen(value);
  if (restore_length + len >= sizeof restore_sequence) return;
  std::memcpy(restore_sequence + restore_length, value, len);
  restore_length += len;
}

// ---------------------------------------------------------------------------------------------
// Colours (pairs) and keys.
enum Pair : short {
  PAIR_WARNING = 1,
  PAIR_HEADER,
  PAIR_HALT,
  PAIR_DIALOG,
  PAIR_ERROR,
  PAIR_POINTS,
  PAIR_CURVE,
  PAIR_MARKER,
  PAIR_FOCUS,
};

constexpr int kKeyHalt = KEY_F(9);
constexpr int kKeyEscape = 27;
constexpr int kCtrlA = 1, kCtrlD = 4, kCtrlE = 5, kCtrlK = 11, kCtrlL = 12, kCtrlU = 21;
constexpr std::size_t kScrollBack = 10000;
constexpr std::size_t kTypeAhead = 256;
constexpr std::size_t kHistoryKept = 500;

bool is_enter(int key) { return key == '\r' || key == '\n' || key == KEY_ENTER; }
bool is_backspace(int key) { return key == KEY_BACKSPACE || key == 127 || key == 8; }

// Console text: printable ASCII only, tabs as blanks.
std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\t') {
      out += ' ';
    } else if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else if (u >= 0x80) {
      out += '?';
    }
  }
  return out;
}

// Words of `text` wrapped to `width` columns; explicit line breaks are kept.
std::vector<std::string> wrap(std::string_view text, int width) {
  std::vector<std::string> out;
  const auto w = static_cast<std::size_t>(std::max(width, 1));
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find('\n', start);
    const std::string_view para =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::string line;
    std::size_t pos = 0;
    while (pos < para.size()) {
      while (pos < para.size() && para[pos] == ' ' && !line.empty()) ++pos;
      auto next = para.find(' ', pos + 1);
      if (next == std::string_view::npos) next = para.size();
      std::string word = printable(para.substr(pos, next - pos));
      pos = next;
      if (!line.empty() && line.size() + 1 + word.size() > w) {
        out.push_back(line);
        line.clear();
      }
      if (!line.empty()) line += ' ';
      line += word;
      while (line.size() > w) {
        out.push_back(line.substr(0, w));
        line.erase(0, w);
      }
    }
    out.push_back(line);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return out;
}

struct ConsoleLine {
  std::string text;
  bool warning = false;
};

class TuiConsole final : public Toolkit {
 public:
  // Starts curses; false leaves nothing changed (the caller falls back to the line console).
  bool start() {
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) return false;
    if (std::getenv("TERM") == nullptr) return false;
    have_saved_modes = ::tcgetattr(STDIN_FILENO, &saved_modes) == 0;
    // Handlers go in before curses starts, so that it keeps its hands off these signals.
    install_handlers();
    std::setlocale(LC_CTYPE, "");
    glyphs_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? PlotGlyphs::braille
                                                               : PlotGlyphs::ascii;
    screen_ = newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr) {
      remove_handlers();
      return false;
    }
    set_term(screen_);
    cbreak();
    noecho();
    nonl();
    intrflush(stdscr, FALSE);
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);  // Esc is the halt key: it must not wait for an escape sequence
    curs_set(0);
    // Draw every update in full even when keys are waiting: the status fields must follow
    // the instrument while the operator types ahead.
    typeahead(-1);
    if (has_colors()) {
      start_color();
      use_default_colors();
      colour_ = true;
      init_pair(PAIR_WARNING, COLOR_RED, -1);
      init_pair(PAIR_HEADER, COLOR_BLACK, COLOR_CYAN);
      init_pair(PAIR_HALT, COLOR_WHITE, COLOR_RED);
      init_pair(PAIR_DIALOG, COLOR_BLACK, COLOR_WHITE);
      init_pair(PAIR_ERROR, COLOR_WHITE, COLOR_RED);
      init_pair(PAIR_POINTS, COLOR_CYAN, -1);
      init_pair(PAIR_CURVE, COLOR_YELLOW, -1);
      init_pair(PAIR_MARKER, COLOR_MAGENTA, -1);
      init_pair(PAIR_FOCUS, COLOR_WHITE, COLOR_BLUE);
    }
    restore_length = 0;
    for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) append_capability(cap);
    screen_up = 1;
    static bool registered = false;
    if (!registered) registered = std::atexit(tui_restore_at_exit) == 0;
    update_size();
    draw_all();
    return true;
  }

  ~TuiConsole() override {
    if (!line_) shut_down();
  }

  // ----- window lifetime
  void create_master(bool hardware) override {
    if (line_) return line_->create_master(hardware);
    created_ = true;
    hardware_ = hardware;
    load_history();
    update_size();
    draw_all();
  }

  void close() override {
    if (line_) return line_->close();
    shut_down();
    // Anything said after the window is gone still reaches the operator.
    line_ = make_line_toolkit(STDIN_FILENO, STDOUT_FILENO);
  }

  // ----- console
  void console_line(std::string_view text, Style style) override {
    if (line_) return line_->console_line(text, style);
    lines_.push_back({printable(rtrim(text)), style == Style::warning});
    if (lines_.size() > kScrollBack) lines_.pop_front();
    // A view scrolled back stays on what the operator is reading.
    if (scroll_ > 0) scroll_ += rows_of(lines_.back());
    draw_all();
  }

  // ----- command field
  void set_prompt(std::string_view prompt) override {
    if (line_) return line_->set_prompt(prompt);
    prompt_ = prompt.empty() ? std::string(" ") : printable(prompt);
    draw_all();
  }

  void enable_command_field(bool enabled) override {
    if (line_) return line_->enable_command_field(enabled);
    field_enabled_ = enabled;
    draw_all();
  }

  int action() override {
    if (line_) return line_->action();
    if (timer_callback_ != 0) return wait_for_timer_or_halt();
    take_interrupt();  // a Ctrl-C while no wait ran has nothing left to stop
    draw_all();
    for (;;) {
      if (take_interrupt()) {
        editor_.clear();
        candidates_.clear();
        draw_all();
      }
      service_signals();
      if (input_ended_) return CB_CLOSED;
      const int key = next_key();
      if (key == ERR) {
        wait_events(-1);
        continue;
      }
      if (const int callback = prompt_key(key); callback != CB_NONE) return callback;
      draw_all();
    }
  }

  std::string last_line() const override { return line_ ? line_->last_line() : last_line_; }

  void define_timer(int interval, int callback) override {
    if (line_) return line_->define_timer(interval, callback);
    timer_interval_ = interval > 0 ? interval : 1;
    const bool was_running = timer_callback_ != 0;
    timer_callback_ = callback;
    next_tick_ = Clock::now() + tick();
    if (was_running != (callback != 0)) draw_all();  // the halt key lights up while it works
  }

  bool halt_pending() override {
    if (line_) return line_->halt_pending();
    if (take_interrupt()) return true;
    service_signals();
    return read_keys_during_wait();
  }

  bool input_ended() const override { return line_ ? line_->input_ended() : input_ended_; }

  // ----- dialogs
  bool yes_no(std::string_view title, std::string_view question) override {
    if (line_) return line_->yes_no(title, question);
    return button_dialog(title, question, {"Yes", "No"}, 0, 1, false) == 0;
  }

  void info_box(std::string_view title, std::string_view text) override {
    if (line_) return line_->info_box(title, text);
    button_dialog(title, text, {"OK"}, 0, 0, false);
  }

  void error_box(std::string_view title, std::string_view text) override {
    if (line_) return line_->error_box(title, text);
    button_dialog(title, text, {"OK"}, 0, 0, true);
  }

  std::optional<std::string> file_browser(std::string_view title, std::string_view filters,
                                          std::string_view start_dir,
                                          std::string_view prefill) override {
    if (line_) return line_->file_browser(title, filters, start_dir, prefill);
    return run_browser(title, filters, start_dir, prefill);
  }

  int mode_dialog() override {
    if (line_) return line_->mode_dialog();
    static constexpr int modes[] = {MODE_NORMAL, MODE_DUMMY, MODE_SUPERVISOR, MODE_CANCELLED};
    const int chosen =
        button_dialog("Dorvex", "Select the mode for running DORVEX",
                      {"Real Diffractometer", "Dummy", "Supervisor", "Cancel"}, 0, 3, false);
    return modes[chosen];
  }

  // ----- status fields and plot
  void status_changed(const StatusFields& fields) override {
    if (line_) return line_->status_changed(fields);
    status_ = fields;
    draw_all();
  }
  // The fields and the plot show it; only a line console in the window's place prints it.
  void status_line(std::string_view text) override {
    if (line_) line_->status_line(text);
  }

  void plot_frame_size(float& width, float& height) const override {
    if (line_) return line_->plot_frame_size(width, height);
    const Rect plot = layout_.plot;
    plot_frame_for(plot.height, plot.width, glyphs_, width, height);
    frame_width_ = width;
    frame_height_ = height;
  }

  void plot_scan(const ScanPlot& scan) override {
    if (line_) return line_->plot_scan(scan);
    plot_ = PlotModel{};
    plot_.has_scan = true;
    plot_.scan = scan;
    if (frame_width_ <= 0) plot_frame_size(frame_width_, frame_height_);
    plot_.frame_width = frame_width_;
    plot_.frame_height = frame_height_;
    draw_all();
  }

  void plot_curve(const std::vector<float>& x, const std::vector<float>& y) override {
    if (line_) return line_->plot_curve(x, y);
    if (plot_.curves.size() >= 16) plot_.curves.erase(plot_.curves.begin());
    plot_.curves.emplace_back(x, y);
    draw_all();
  }

  void plot_marker(float x, std::string_view label) override {
    if (line_) return line_->plot_marker(x, label);
    if (plot_.markers.size() >= 16) plot_.markers.erase(plot_.markers.begin());
    plot_.markers.push_back({x, std::string(label)});
    draw_all();
  }

  void plot_clear() override {
    if (line_) return line_->plot_clear();
    plot_ = PlotModel{};
    draw_all();
  }

 private:
  Clock::duration tick() const { return std::chrono::milliseconds(10L * timer_interval_); }

  // ----- signals and terminal
  void install_handlers() {
    if (wake_pipe[0] < 0 && ::pipe(wake_pipe) == 0) {
      for (int fd : wake_pipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = tui_on_interrupt;
    ::sigaction(SIGINT, &action, &previous_int_);
    action.sa_handler = tui_on_resize;
    ::sigaction(SIGWINCH, &action, &previous_winch_);
    action.sa_handler = tui_on_hangup;
    ::sigaction(SIGHUP, &action, &previous_hup_);
    struct sigaction fatal {};
    sigemptyset(&fatal.sa_mask);
    fatal.sa_flags = SA_RESETHAND;
    fatal.sa_handler = tui_on_fatal;
    for (const int sig : kFatalSignals) ::sigaction(sig, &fatal, nullptr);
    handlers_ = true;
  }

  void remove_handlers() {
    if (!handlers_) return;
    ::sigaction(SIGINT, &previous_int_, nullptr);
    ::sigaction(SIGWINCH, &previous_winch_, nullptr);
    ::sigaction(SIGHUP, &previous_hup_, nullptr);
    handlers_ = false;
  }

  void shut_down() {
    if (screen_up != 0) {
      screen_up = 0;
      curs_set(1);
      endwin();
    }
    remove_handlers();
  }

  void update_size() {
    struct winsize ws {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0 &&
        (ws.ws_row != LINES || ws.ws_col != COLS)) {
      resize_term(ws.ws_row, ws.ws_col);
    }
    rows_ = LINES;
    cols_ = COLS;
    layout_ = compute_layout(rows_, cols_, created_ && hardware_);
  }

  // Resize and hang-up, noticed outside the handlers.
  void service_signals() {
    drain_wake_pipe();
    if (hung_up != 0) input_ended_ = true;
    if (resized != 0) {
      resized = 0;
      update_size();
      clearok(curscr, TRUE);
      draw_all();
    }
  }

  // Sleeps until a key, a signal or the timeout (milliseconds, -1 for none).
  void wait_events(int timeout_ms) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    pollfd* first = input_ended_ ? fds + 1 : fds;
    const nfds_t count = static_cast<nfds_t>((input_ended_ ? 0 : 1) + (wake_pipe[0] >= 0 ? 1 : 0));
    if (count == 0) {
      if (timeout_ms > 0) ::usleep(static_cast<useconds_t>(timeout_ms) * 1000);
      return;
    }
    const int n = ::poll(first, count, timeout_ms);
    if (n > 0 && !input_ended_ && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
        (fds[0].revents & POLLIN) == 0) {
      input_ended_ = true;  // the terminal went away
    }
  }

  // Next key: typed-ahead keys first, then the terminal; ERR when none is waiting.
  int next_key() {
    if (!typeahead_.empty()) {
      const int key = typeahead_.front();
      typeahead_.pop_front();
      return key;
    }
    if (input_ended_) return ERR;
    const int key = getch();
    return key == KEY_RESIZE ? next_key_after_resize() : key;
  }

  int next_key_after_resize() {
    update_size();
    draw_all();
    return ERR;
  }

  // A wait runs: only the halt key and the scroll keys act; other keys wait for the prompt.
  bool read_keys_during_wait() {
    if (input_ended_) return false;
    for (;;) {
      const int key = getch();
      if (key == ERR) return false;
      if (key == kKeyHalt || key == kKeyEscape) return true;
      if (key == KEY_PPAGE || key == KEY_NPAGE) {
        scroll_console(key == KEY_PPAGE ? 1 : -1);
        draw_all();
      } else if (key == KEY_RESIZE) {
        next_key_after_resize();
      } else if (typeahead_.size() < kTypeAhead) {
        typeahead_.push_back(key);
      }
    }
  }

  int wait_for_timer_or_halt() {
    draw_all();
    for (;;) {
      if (take_interrupt()) return CB_HALT;
      service_signals();
      if (read_keys_during_wait()) return CB_HALT;
      const auto now = Clock::now();
      if (now >= next_tick_) {
        next_tick_ = now + tick();
        return timer_callback_;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(next_tick_ - now).count() + 1;
      wait_events(static_cast<int>(left));
    }
  }

  // ----- command field
  int prompt_key(int key) {
    if (key != '\t') candidates_.clear();
    if (is_enter(key)) {
      last_line_ = editor_.take();
      save_history(last_line_);
      scroll_ = 0;
      // The console keeps the dialogue as the operator saw it: prompt and typed line.
      lines_.push_back({printable(prompt_ + " " + last_line_), false});
      if (lines_.size() > kScrollBack) lines_.pop_front();
      return CB_COMMAND;
    }
    if (key == kCtrlD) {
      if (editor_.text().empty()) return CB_CLOSED;
      editor_.erase();
      return CB_NONE;
    }
    switch (key) {
      case KEY_LEFT: editor_.left(); break;
      case KEY_RIGHT: editor_.right(); break;
      case KEY_HOME: case kCtrlA: editor_.home(); break;
      case KEY_END: case kCtrlE: editor_.end(); break;
      case KEY_DC: editor_.erase(); break;
      case KEY_UP: editor_.older(); break;
      case KEY_DOWN: editor_.newer(); break;
      case kCtrlK: editor_.kill_to_end(); break;
      case kCtrlU: editor_.clear(); break;
      case KEY_PPAGE: scroll_console(1); break;
      case KEY_NPAGE: scroll_console(-1); break;
      case '\t': complete(); break;
      case kCtrlL: clearok(curscr, TRUE); break;
      default:
        if (is_backspace(key)) {
          editor_.backspace();
        } else if (key >= 0x20 && key < 0x7f) {
          if (!editor_.insert(static_cast<char>(key))) beep();
        }
        break;
    }
    return CB_NONE;
  }

  void complete() {
    if (S().shell.continuation_code != 0) return;  // an answer, not a command
    Completion c = complete_command(editor_.text(), editor_.cursor());
    if (c.changed) editor_.set(c.text);
    candidates_ = c.candidates;
    if (!c.changed && c.candidates.empty()) beep();
  }

  std::string history_path() const {
    const std::string& dir = S().shell.program_directory;
    return dir.empty() ? std::string() : dir + ".dorvex_history";
  }

  void load_history() {
    if (history_loaded_) return;
    history_loaded_ = true;
    const std::string path = history_path();
    if (path.empty()) return;
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (!trim(line).empty()) lines.push_back(printable(line));
    }
    in.close();
    if (lines.size() > kHistoryKept) {
      lines.erase(lines.begin(), lines.end() - static_cast<long>(kHistoryKept));
      std::ofstream out(path, std::ios::trunc);  // keep the file from growing without end
      for (const auto& line : lines) out << line << '\n';
    }
    editor_.load_history(std::move(lines));
  }

  void save_history(const std::string& line) {
    const auto& history = editor_.history();
    if (history.empty() || history.back() != line) return;  // blank or a repeat: not added
    if (history.size() >= 2 && history[history.size() - 2] == line) return;
    const std::string path = history_path();
    if (path.empty()) return;
    std::ofstream out(path, std::ios::app);
    out << line << '\n';
  }

  // ----- console scroll-back
  int rows_of(const ConsoleLine& line) const {
    const int width = std::max(layout_.console.width, 1);
    return std::max(1, (static_cast<int>(line.text.size()) + width - 1) / width);
  }

  void scroll_console(int pages) {
    const int height = std::max(layout_.console.height, 1);
    int total = 0;
    for (const auto& line : lines_) total += rows_of(line);
    const int most = std::max(0, total - height);
    scroll_ = std::clamp(scroll_ + pages * std::max(height - 1, 1), 0, most);
  }

  // ----- drawing
  void put(int row, int col, std::string_view text, int width, attr_t attr = A_NORMAL) {
    if (row < 0 || row >= rows_ || col >= cols_ || width <= 0) return;
    if (col < 0) {
      text.remove_prefix(std::min(text.size(), static_cast<std::size_t>(-col)));
      width += col;
      col = 0;
    }
    width = std::min(width, cols_ - col);
    if (width <= 0) return;
    attron(attr);
    const std::size_t count = std::min(text.size(), static_cast<std::size_t>(width));
    mvaddnstr(row, col, text.data(), static_cast<int>(count));
    attroff(attr);
  }

  void fill(const Rect& r, attr_t attr) {
    const std::string blanks(static_cast<std::size_t>(std::max(r.width, 0)), ' ');
    for (int row = r.top; row < r.top + r.height; ++row) put(row, r.left, blanks, r.width, attr);
  }

  attr_t pair(Pair p, attr_t fallback = A_NORMAL) const {
    return colour_ ? COLOR_PAIR(p) : fallback;
  }

  void draw_all() {
    if (screen_up == 0) return;
    erase();
    if (layout_.too_small) {
      draw_too_small();
    } else {
      draw_header();
      if (created_ && hardware_) {
        draw_status();
        draw_plot();
        mvvline(layout_.plot.top, layout_.plot.left - 1, ACS_VLINE, layout_.plot.height);
      } else if (created_) {
        put(layout_.title.top, 1, status_.title, layout_.title.width - 2, A_BOLD);
        put(layout_.matfile.top, 1, "Mat file: ", 10);
        put(layout_.matfile.top, 11, status_.experiment, layout_.matfile.width - 12, A_BOLD);
      }
      draw_rule();
      draw_console();
      draw_command();
      draw_hints();
    }
    int cursor_row = -1, cursor_col = -1;
    if (overlay_) {
      overlay_(cursor_row, cursor_col);
    } else if (!layout_.too_small && field_enabled_ && timer_callback_ == 0) {
      cursor_row = command_cursor_row_;
      cursor_col = command_cursor_col_;
    }
    if (cursor_row >= 0 && cursor_row < rows_ && cursor_col >= 0 && cursor_col < cols_) {
      move(cursor_row, cursor_col);
      curs_set(1);
    } else {
      curs_set(0);
    }
    refresh();
  }

  void draw_too_small() {
    const TuiLayout need = compute_layout(0, 0, created_ && hardware_);
    const std::string texts[] = {
        "Terminal too small",
        "need " + std::to_string(need.min_cols) + " x " + std::to_string(need.min_rows),
        "have " + std::to_string(cols_) + " x " + std::to_string(rows_)};
    const int top = std::max(0, rows_ / 2 - 1);
    for (int i = 0; i < 3; ++i) {
      const std::string& text = texts[i];
      const int col = std::max(0, (cols_ - static_cast<int>(text.size())) / 2);
      put(top + i, col, text, cols_ - col, A_BOLD);
    }
  }

  void draw_header() {
    const Rect& h = layout_.header;
    fill(h, pair(PAIR_HEADER, A_REVERSE));
    put(h.top, 1, "DORVEX2010", h.width - 1, pair(PAIR_HEADER, A_REVERSE) | A_BOLD);
    if (!layout_.halt_key.empty()) {
      const Rect& k = layout_.halt_key;
      const bool live = timer_callback_ != 0;
      const attr_t attr = live ? (pair(PAIR_HALT, A_REVERSE) | A_BOLD)
                               : (pair(PAIR_HEADER, A_REVERSE) | A_DIM);
      put(k.top, k.left, " [F9] HALT  ", k.width, attr);
    }
  }

  // Column map of the status block (42 columns):
  //   0 "Scan Type"  11 action text
  //   1 "Angles:"     8 four headings, 8 columns each
  //   2               8 2theta, omega, chi, phi  F8.3
  //   3 "hkl:"        8 the indices text
  //   4 "Slits"       8 slit 1, slit 2  F7.2
  //   5 "Count Rate" 11 rate F10.1      23 shutter text
  //   6 "Detector"   11 value F9.2      22 "Sample Z"  31 value F9.3
  //   7 "Experiment:" 12 matrix-file name
  //   8 "Datafile:"   12 data-file name
  void draw_status() {
    const Rect& s = layout_.status;
    const int t = s.top, l = s.left + 1, w = s.width - 1;
    const attr_t value = A_BOLD;
    put(t, l, "Scan Type", w, A_DIM);
    put(t, l + 11, status_.action, w - 11, value);
    put(t + 1, l, "Angles:", w, A_DIM);
    // Nine columns an angle, so that -120.000 and -144.580 keep a blank between them.
    put(t + 1, l + 8, "2Theta    Omega      Chi      Phi", w - 8, A_DIM);
    std::string angles;
    for (const float a : status_.angles) angles += F(a, 9, 3);
    put(t + 2, l + 5, angles, w - 5, value);
    put(t + 3, l, "hkl:", w, A_DIM);
    put(t + 3, l + 8, status_.hkl, w - 8, value);
    put(t + 4, l, "Slits", w, A_DIM);
    put(t + 4, l + 8, F(status_.slit1, 7, 2) + F(status_.slit2, 7, 2), w - 8, value);
    put(t + 5, l, "Count Rate", w, A_DIM);
    put(t + 5, l + 11, F(status_.count_rate, 10, 1), w - 11, value);
    const bool open = status_.shutter.find("open") != std::string::npos;
    const bool fault = status_.shutter.find("ERROR") != std::string::npos;
    put(t + 5, l + 23, status_.shutter, w - 23,
        fault ? (pair(PAIR_WARNING, A_NORMAL) | A_BOLD)
              : open ? (pair(PAIR_CURVE, A_NORMAL) | A_BOLD) : value);
    if (status_.detector_shown) {
      put(t + 6, l, "Detector", w, A_DIM);
      put(t + 6, l + 11, F(status_.detector, 9, 2), w - 11, value);
    }
    if (status_.sample_z_shown) {
      put(t + 6, l + 22, "Sample Z", w - 22, A_DIM);
      put(t + 6, l + 31, F(status_.sample_z, 9, 3), w - 31, value);
    }
    put(t + 7, l, "Experiment:", w, A_DIM);
    put(t + 7, l + 12, status_.experiment, w - 12, value);
    put(t + 8, l, "Datafile:", w, A_DIM);
    put(t + 8, l + 12, status_.datafile, w - 12, value);
  }

  void draw_plot() {
    const Rect& p = layout_.plot;
    if (!plot_.has_scan) {
      // An empty frame still says what it is for.
      put(p.top, p.left + 1, "Scan plot (empty until a scan)", p.width - 1, A_DIM);
      return;
    }
    const PlotGrid grid = rasterise_plot(plot_, p.height, p.width - 1, glyphs_);
    for (std::size_t r = 0; r < grid.size(); ++r) {
      for (std::size_t c = 0; c < grid[r].size(); ++c) {
        const PlotCell& cell = grid[r][c];
        if (cell.ink == PlotInk::none) continue;
        attr_t attr = A_NORMAL;
        switch (cell.ink) {
          case PlotInk::frame: attr = A_DIM; break;
          case PlotInk::points: attr = pair(PAIR_POINTS) | A_BOLD; break;
          case PlotInk::curve: attr = pair(PAIR_CURVE, A_BOLD); break;
          case PlotInk::marker: attr = pair(PAIR_MARKER, A_UNDERLINE); break;
          default: break;
        }
        attron(attr);
        mvaddstr(p.top + static_cast<int>(r), p.left + 1 + static_cast<int>(c), cell.glyph.c_str());
        attroff(attr);
      }
    }
  }

  void draw_rule() {
    const Rect& r = layout_.rule;
    mvhline(r.top, r.left, ACS_HLINE, r.width);
    // Long work in progress, at the right end of the rule.
    if (!status_.progress.empty()) {
      const std::string text = " " + status_.progress + " ";
      const int width = std::min(static_cast<int>(text.size()), r.width - 4);
      if (width > 0) put(r.top, r.left + r.width - 2 - width, text, width, A_BOLD);
    }
    if (scroll_ > 0) {
      const std::string note = " scrolled back " + std::to_string(scroll_) +
                               " rows - PgDn for newer lines ";
      put(r.top, 2, note, r.width - 2, A_REVERSE);
    }
  }

  void draw_console() {
    const Rect& c = layout_.console;
    if (c.empty()) return;
    // Display rows from the newest line upwards, skipping the rows scrolled back.
    const auto width = static_cast<std::size_t>(c.width);
    int skip = scroll_;
    int row = c.top + c.height - 1;
    for (auto it = lines_.rbegin(); it != lines_.rend() && row >= c.top; ++it) {
      const int pieces = rows_of(*it);
      for (int piece = pieces - 1; piece >= 0 && row >= c.top; --piece) {
        if (skip > 0) {
          --skip;
          continue;
        }
        const std::size_t from = static_cast<std::size_t>(piece) * width;
        const std::string_view text =
            from < it->text.size() ? std::string_view(it->text).substr(from, width) : "";
        put(row, c.left, text, c.width,
            it->warning ? (pair(PAIR_WARNING, A_BOLD) | A_BOLD) : A_NORMAL);
        --row;
      }
    }
  }

  void draw_command() {
    const Rect& c = layout_.command;
    const bool live = field_enabled_ && timer_callback_ == 0;
    const std::string shown_prompt = std::string(rtrim(prompt_));
    const int prompt_width = static_cast<int>(shown_prompt.size()) + 1;
    put(c.top, c.left, shown_prompt, c.width, live ? A_BOLD : A_DIM);
    const int room = c.width - prompt_width - 1;
    const std::string& text = editor_.text();
    const int cursor = static_cast<int>(editor_.cursor());
    // The field scrolls sideways to keep the cursor in view.
    const int start = room > 0 && cursor > room ? cursor - room : 0;
    if (room > 0) put(c.top, c.left + prompt_width, std::string_view(text).substr(
                          std::min(text.size(), static_cast<std::size_t>(start))), room);
    command_cursor_row_ = c.top;
    command_cursor_col_ = c.left + prompt_width + cursor - start;
  }

  void draw_hints() {
    const Rect& h = layout_.hints;
    if (!candidates_.empty()) {
      std::string text = "Commands:";
      for (const auto& name : candidates_) text += "  " + name;
      put(h.top, h.left, text, h.width, A_BOLD);
      return;
    }
    if (timer_callback_ != 0) {
      // Something is moving, counting or scanning: say first how to stop it.
      const std::string halt = " F9, Esc or Ctrl-C: HALT ";
      put(h.top, h.left, halt, h.width, pair(PAIR_HALT, A_REVERSE) | A_BOLD);
      put(h.top, h.left + static_cast<int>(halt.size()) + 2, "PgUp/PgDn scroll",
          h.width - static_cast<int>(halt.size()) - 2, A_DIM);
      return;
    }
    const std::string text =
        std::string(created_ && hardware_ ? "F9/Esc halt  " : "") +
        "PgUp/PgDn scroll  Up/Down history  Tab complete  Ctrl-C clear line  Ctrl-D quit";
    put(h.top, h.left, text, h.width, A_DIM);
  }

  // ----- dialogs
  // Runs while the dialog is up: draws it over the window and says where the cursor goes.
  class OverlayScope {
   public:
    OverlayScope(TuiConsole& tui, std::function<void(int&, int&)> draw) : tui_(tui) {
      tui_.overlay_ = std::move(draw);
      tui_.draw_all();
    }
    ~OverlayScope() {
      tui_.overlay_ = nullptr;
      tui_.draw_all();
    }
    OverlayScope(const OverlayScope&) = delete;
    OverlayScope& operator=(const OverlayScope&) = delete;

   private:
    TuiConsole& tui_;
  };

  // Box with a title in its top border; returns the inner rectangle.
  Rect draw_box(int height, int width, std::string_view title, attr_t body) {
    height = std::min(height, rows_);
    width = std::min(width, cols_);
    const Rect box{std::max(0, (rows_ - height) / 2), std::max(0, (cols_ - width) / 2), height,
                   width};
    fill(box, body);
    attron(body);
    mvhline(box.top, box.left + 1, ACS_HLINE, width - 2);
    mvhline(box.top + height - 1, box.left + 1, ACS_HLINE, width - 2);
    mvvline(box.top + 1, box.left, ACS_VLINE, height - 2);
    mvvline(box.top + 1, box.left + width - 1, ACS_VLINE, height - 2);
    mvaddch(box.top, box.left, ACS_ULCORNER);
    mvaddch(box.top, box.left + width - 1, ACS_URCORNER);
    mvaddch(box.top + height - 1, box.left, ACS_LLCORNER);
    mvaddch(box.top + height - 1, box.left + width - 1, ACS_LRCORNER);
    attroff(body);
    const std::string shown = " " + printable(title) + " ";
    put(box.top, box.left + 2, shown, width - 4, body | A_BOLD);
    return {box.top + 1, box.left + 2, height - 2, width - 4};
  }

  // A message with a row of buttons; returns the index of the button pressed, `cancel` for
  // Esc, Ctrl-C, or when nobody can answer any more.
  int button_dialog(std::string_view title, std::string_view text,
                    const std::vector<std::string>& buttons, int focus, int cancel, bool error) {
    if (input_ended_) return cancel;
    const int count = static_cast<int>(buttons.size());
    auto draw = [&](int& cursor_row, int& cursor_col) {
      int row_width = -4;  // "[ label ]" with four blanks between buttons
      for (const auto& b : buttons) row_width += static_cast<int>(b.size()) + 8;
      const int most = std::max(cols_ - 2, 20);
      const int width = std::clamp(std::max({row_width + 4, static_cast<int>(title.size()) + 8,
                                             static_cast<int>(text.size()) + 6, 34}),
                                   20, std::min(most, 76));
      const auto lines = wrap(text, width - 4);
      const bool stacked = row_width > width - 4;
      const int height = static_cast<int>(lines.size()) + 4 + (stacked ? count : 1);
      const attr_t body = error ? pair(PAIR_ERROR, A_REVERSE) : pair(PAIR_DIALOG, A_REVERSE);
      const Rect in = draw_box(height, width, title, body);
      for (std::size_t i = 0; i < lines.size(); ++i)
        put(in.top + 1 + static_cast<int>(i), in.left, lines[i], in.width, body);
      int row = in.top + 2 + static_cast<int>(lines.size());
      int col = in.left + std::max(0, (in.width - row_width) / 2);
      for (int i = 0; i < count; ++i) {
        const std::string label = "[ " + buttons[static_cast<std::size_t>(i)] + " ]";
        const attr_t attr = i == focus ? (pair(PAIR_FOCUS, A_NORMAL) | A_BOLD) : body;
        if (stacked) col = in.left + std::max(0, (in.width - static_cast<int>(label.size())) / 2);
        put(row, col, label, in.left + in.width - col, attr);
        if (i == focus) {
          cursor_row = row;
          cursor_col = col + 2;
        }
        if (stacked) {
          ++row;
        } else {
          col += static_cast<int>(label.size()) + 4;
        }
      }
    };
    OverlayScope scope(*this, draw);
    for (;;) {
      if (take_interrupt()) return cancel;
      service_signals();
      if (input_ended_) return cancel;
      const int key = next_key();
      if (key == ERR) {
        wait_events(-1);
        continue;
      }
      if (is_enter(key) || key == ' ') return focus;
      if (key == kKeyEscape) return cancel;
      if (key == KEY_LEFT || key == KEY_UP || key == KEY_BTAB) {
        focus = (focus + count - 1) % count;
      } else if (key == KEY_RIGHT || key == KEY_DOWN || key == '\t') {
        focus = (focus + 1) % count;
      } else if (key > 0 && key < 0x80 && std::isalpha(key)) {
        for (int i = 0; i < count; ++i) {
          if (std::toupper(key) == std::toupper(buttons[static_cast<std::size_t>(i)][0])) return i;
        }
      }
      draw_all();
    }
  }

  std::optional<std::string> run_browser(std::string_view title, std::string_view filters,
                                         std::string_view start_dir, std::string_view prefill) {
    if (input_ended_) return std::nullopt;
    FileBrowserModel model(filters, start_dir, prefill);
    int list_rows = 1;
    int offset = 0;
    auto draw = [&](int& cursor_row, int& cursor_col) {
      const int width = std::min(std::max(cols_ - 4, 20), 76);
      const int height = std::min(std::max(rows_ - 2, 8), 22);
      const attr_t body = pair(PAIR_DIALOG, A_REVERSE);
      const Rect in = draw_box(height, width, title, body);
      put(in.top, in.left, "Look in: " + model.directory(), in.width, body);
      list_rows = std::max(in.height - 5, 1);
      const auto& entries = model.entries();
      const int selected = model.selected();
      if (selected >= 0) {
        if (selected < offset) offset = selected;
        if (selected >= offset + list_rows) offset = selected - list_rows + 1;
      }
      offset = std::clamp(offset, 0, std::max(0, static_cast<int>(entries.size()) - list_rows));
      for (int i = 0; i < list_rows; ++i) {
        const int index = offset + i;
        if (index >= static_cast<int>(entries.size())) break;
        const auto& e = entries[static_cast<std::size_t>(index)];
        const std::string shown = (e.directory ? "  " + e.name + "/" : "  " + e.name);
        const attr_t attr = index == selected ? (pair(PAIR_FOCUS, A_NORMAL) | A_BOLD) : body;
        put(in.top + 1 + i, in.left, std::string(pad(printable(shown),
                                                     static_cast<std::size_t>(in.width))),
            in.width, attr);
      }
      if (entries.empty()) put(in.top + 1, in.left, "  (empty)", in.width, body);
      const int name_row = in.top + in.height - 3;
      const std::string label = "File name: ";
      const int room = in.width - static_cast<int>(label.size());
      const std::string& text = model.name().text();
      const int cursor = static_cast<int>(model.name().cursor());
      const int start = room > 1 && cursor >= room ? cursor - room + 1 : 0;
      put(name_row, in.left, label, in.width, body | A_BOLD);
      put(name_row, in.left + static_cast<int>(label.size()),
          std::string(pad(std::string_view(text).substr(
                              std::min(text.size(), static_cast<std::size_t>(start))),
                          static_cast<std::size_t>(std::max(room, 0)))),
          room, pair(PAIR_FOCUS, A_UNDERLINE));
      cursor_row = name_row;
      cursor_col = in.left + static_cast<int>(label.size()) + cursor - start;
      const auto& filter = model.filters()[model.filter_index()];
      std::string type = "Files of type: " + filter.description;
      if (model.pattern() != filter.pattern) {
        type = "Files of type: " + model.pattern();
      } else if (filter.description != filter.pattern) {
        type += " (" + filter.pattern + ")";
      }
      put(name_row + 1, in.left, type, in.width, body);
      // The key help, shortest form that fits the box.
      static constexpr std::string_view browser_keys[] = {
          "Enter open  Up/Down select  Tab file type  Bksp up a directory  Esc cancel",
          "Enter open  Up/Down select  Tab type  Bksp parent  Esc cancel",
          "Enter open  Tab type  Bksp parent  Esc cancel",
          "Enter  Tab  Bksp  Esc"};
      std::string_view keys = browser_keys[0];
      for (const auto candidate : browser_keys) {
        keys = candidate;
        if (static_cast<int>(candidate.size()) <= in.width) break;
      }
      put(name_row + 2, in.left, keys, in.width, body | A_DIM);
    };
    OverlayScope scope(*this, draw);
    for (;;) {
      if (take_interrupt()) return std::nullopt;
      service_signals();
      if (input_ended_) return std::nullopt;
      const int key = next_key();
      if (key == ERR) {
        wait_events(-1);
        continue;
      }
      if (key == kKeyEscape) return std::nullopt;
      auto& name = model.name();
      if (is_enter(key)) {
        if (model.enter() == FileBrowserModel::Outcome::chosen) return model.result();
      } else if (key == KEY_UP) {
        model.move(-1);
      } else if (key == KEY_DOWN) {
        model.move(1);
      } else if (key == KEY_PPAGE) {
        model.move(-list_rows);
      } else if (key == KEY_NPAGE) {
        model.move(list_rows);
      } else if (key == '\t') {
        model.next_filter();
      } else if (is_backspace(key)) {
        if (name.text().empty()) {
          model.parent();
        } else {
          name.backspace();
        }
      } else if (key == KEY_LEFT) {
        name.left();
      } else if (key == KEY_RIGHT) {
        name.right();
      } else if (key == KEY_HOME || key == kCtrlA) {
        name.home();
      } else if (key == KEY_END || key == kCtrlE) {
        name.end();
      } else if (key == KEY_DC) {
        name.erase();
      } else if (key == kCtrlU) {
        name.clear();
      } else if (key >= 0x20 && key < 0x7f) {
        name.insert(static_cast<char>(key));
      }
      draw_all();
    }
  }

  // ----- state
  std::unique_ptr<Toolkit> line_;  // after close(): the line console serves what is left
  SCREEN* screen_ = nullptr;
  bool colour_ = false;
  PlotGlyphs glyphs_ = PlotGlyphs::ascii;
  bool handlers_ = false;
  struct sigaction previous_int_ {}, previous_winch_ {}, previous_hup_ {};

  int rows_ = 0, cols_ = 0;
  TuiLayout layout_;
  bool created_ = false;
  bool hardware_ = false;

  std::deque<ConsoleLine> lines_;
  int scroll_ = 0;  // display rows of the console hidden below the view

  std::string prompt_ = " ";
  bool field_enabled_ = false;
  LineEditor editor_;
  std::string last_line_;
  std::vector<std::string> candidates_;
  bool history_loaded_ = false;
  int command_cursor_row_ = -1, command_cursor_col_ = -1;

  int timer_interval_ = 50;
  int timer_callback_ = 0;
  Clock::time_point next_tick_{};
  std::deque<int> typeahead_;
  bool input_ended_ = false;

  StatusFields status_;
  PlotModel plot_;
  mutable float frame_width_ = 0, frame_height_ = 0;

  std::function<void(int&, int&)> overlay_;
};

}  // namespace

std::unique_ptr<Toolkit> make_tui_toolkit() {
  auto tui = std::make_unique<TuiConsole>();
  if (tui->start()) return tui;
  std::fprintf(stderr, "dorvex: the full-screen window needs a terminal (and TERM); "
                       "using the line console\n");
  return make_line_toolkit(STDIN_FILENO, STDOUT_FILENO);
}

}  // namespace dorvex
