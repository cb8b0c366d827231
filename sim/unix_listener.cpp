#include "unix_listener.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace dorvex::sim {

int listen_unix_socket(const std::string& path, const std::string& what, std::string& error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    error = "the " + what + " socket path is too long: " + path;
    return -1;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "not a socket, left alone: " + path;
      return -1;
    }
    ::unlink(path.c_str());
  }
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0) {
    error = "cannot serve the " + what + " on " + path;
    if (listener >= 0) ::close(listener);
    return -1;
  }
  return listener;
}

}  // namespace dorvex::sim
