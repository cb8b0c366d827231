#include "clock_socket.hpp"

#include "unix_listener.hpp"

#include <sys/socket.h>
#include <unistd.h>

namespace dorvex::sim {

ClockSocket::~ClockSocket() {
  if (client_ >= 0) ::close(client_);
  if (listener_ >= 0) {
    ::close(listener_);
    ::unlink(path_.c_str());
  }
}

bool ClockSocket::open(const std::string& path, std::string& error) {
  listener_ = listen_unix_socket(path, "clock", error);
  if (listener_ < 0) return false;
  path_ = path;
  return true;
}

void ClockSocket::serve(const std::function<std::string(const std::string&)>& answer) {
  if (client_ < 0) {
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return;
  }
  char buffer[512];
  const ssize_t n = ::read(client_, buffer, sizeof buffer);
  if (n <= 0) {
    ::close(client_);
    client_ = -1;
    pending_.clear();
    return;
  }
  pending_.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t eol; (eol = pending_.find('\n')) != std::string::npos;) {
    const std::string reply = answer(pending_.substr(0, eol)) + "\n";
    pending_.erase(0, eol + 1);
    if (::write(client_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
  }
  if (pending_.size() > 4096) pending_.clear();  // no line end in sight: not a clock client
}

}  // namespace dorvex::sim
