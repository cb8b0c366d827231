#include "pty_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace dorvex::sim {

namespace {
constexpr std::size_t kMaxLine = 4096;
}

std::string terminator_text(int code) {
  switch (code) {
    case 1: return "\r";
    case 2: return "\n";
    default: return "\r\n";
  }
}

std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case 3: out += "<ETX>"; break;
      case 6: out += "<ACK>"; break;
      case 10: out += "<LF>"; break;
      case 13: out += "<CR>"; break;
      default:
        if (c < 32 || c >= 127) {
          static const char hex[] = "0123456789ABCDEF";
          out += "<x";
          out += hex[c >> 4];
          out += hex[c & 15];
          out += ">";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

bool Transcript::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void Transcript::write(double real, double simulated, const char* direction,
                       const std::string& text) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "%12.6f %12.6f %s %s\n", real, simulated, direction, visible(text).c_str());
  std::fflush(file_);
}

Transcript::~Transcript() {
  if (file_ != nullptr) std::fclose(file_);
}

PtyLink::~PtyLink() { close(); }

bool PtyLink::open(const std::string& link_path, int receive_terminator, int send_terminator,
                   std::string& error) {
  struct termios raw {};
  cfmakeraw(&raw);
  cfsetispeed(&raw, B9600);
  cfsetospeed(&raw, B9600);
  char name[PATH_MAX] = {};
  if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  slave_name_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  struct stat st {};
  if (lstat(link_path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = link_path + " exists and is not a symbolic link";
      return false;
    }
    unlink(link_path.c_str());  // a link left behind by an earlier run
  }
  if (symlink(slave_name_.c_str(), link_path.c_str()) != 0) {
    error = "cannot link " + link_path + ": " + std::strerror(errno);
    return false;
  }
  link_path_ = link_path;
  receive_terminator_ = receive_terminator;
  send_terminator_ = terminator_text(send_terminator);
  return true;
}

bool PtyLink::read_lines(std::vector<std::string>& lines, std::vector<std::string>& notes) {
  char buffer[1024];
  for (;;) {
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO)) break;
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  const char end = receive_terminator_ == 1 ? '\r' : '\n';
  for (std::size_t at; (at = pending_.find(end)) != std::string::npos;) {
    std::string line = pending_.substr(0, at);
    pending_.erase(0, at + 1);
    if (receive_terminator_ == 3) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      } else {
        notes.push_back("line ended by LF without CR");
      }
    }
    lines.push_back(line);
  }
  if (pending_.size() > kMaxLine) {
    notes.push_back("no line terminator in " + std::to_string(pending_.size()) +
                    " characters: discarded");
    pending_.clear();
  }
  return true;
}

bool PtyLink::send(const std::string& text) {
  std::string data = text + send_terminator_;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(master_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      // Nobody reads the line: wait a little, then give the answer up.
      struct pollfd p {master_, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

void PtyLink::hold_input(bool hold) {
  if (slave_ >= 0) ::tcflow(slave_, hold ? TCOOFF : TCOON);
}

void PtyLink::close() {
  if (!link_path_.empty()) {
    char target[PATH_MAX] = {};
    ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
    if (n > 0 && slave_name_ == std::string(target, static_cast<std::size_t>(n)))
      unlink(link_path_.c_str());
    link_path_.clear();
  }
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
}

}  // namespace dorvex::sim
