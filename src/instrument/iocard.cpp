// Access to the counter and shutter card: a simulated card on a Unix-domain socket, or the I/O
// ports themselves.
#include "instrument/iocard.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define DORVEX_HAVE_IOPERM 1
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/output.hpp"

namespace dorvex {

namespace iocard {

std::string write_request(int port, int value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "o %03X %02X\n", static_cast<unsigned>(port) & 0xFFFu,
                static_cast<unsigned>(value) & 0xFFu);
  return buffer;
}

std::string read_request(int port) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "i %03X\n", static_cast<unsigned>(port) & 0xFFFu);
  return buffer;
}

bool decode_answer(const std::string& line, int& value) {
  if (line.size() != 2) return false;
  int v = 0;
  for (char c : line) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (d < 0) return false;
    v = v * 16 + d;
  }
  value = v;
  return true;
}

}  // namespace iocard

namespace {

constexpr int kAnswerTimeoutMs = 2000;

enum class Access { none, socket, ports };

struct Card {
  Access access = Access::none;
  int fd = -1;
  std::string pending;  // received, not yet taken
};

Card& card() {
  static Card c;
  return c;
}

void fail(const std::string& why) {
  CARD_RELEASE();
  ERRORLOG("Counter and shutter card: " + why);
}

bool connect_socket(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    fail("the socket name is too long: " + path);
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    fail("cannot connect to the simulated card on " + path + " (" + reason + ")");
    return false;
  }
  card().fd = fd;
  card().access = Access::socket;
  return true;
}

// Makes the card reachable; false after a reported failure.
bool ready() {
  Card& c = card();
  if (c.access != Access::none) return true;
  const char* socket_path = std::getenv("DORVEX_IOCARD");
  if (socket_path != nullptr && *socket_path != '\0') return connect_socket(socket_path);
#ifdef DORVEX_HAVE_IOPERM
  if (::ioperm(kCardData, 4, 1) == 0) {
    c.access = Access::ports;
    return true;
  }
  fail(std::string("no access to the I/O ports 300-303 (") + std::strerror(errno) +
       "): run as root on the instrument computer, or set DORVEX_IOCARD to the socket of a " +
       "simulated card");
#else
  fail("this computer has no I/O ports: set DORVEX_IOCARD to the socket of a simulated card");
#endif
  return false;
}

bool send_all(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(card().fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One answer line of the simulated card, within the answer timeout.
bool answer_line(std::string& line) {
  Card& c = card();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  for (;;) {
    const std::size_t eol = c.pending.find('\n');
    if (eol != std::string::npos) {
      line = c.pending.substr(0, eol);
      c.pending.erase(0, eol + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{c.fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(c.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    c.pending.append(buffer, static_cast<std::size_t>(n));
    if (c.pending.size() > 4096) return false;
  }
}

}  // namespace

void CARD_OUT(int port, int value) {
  if (!ready()) return;
  if (card().access == Access::ports) {
#ifdef DORVEX_HAVE_IOPERM
    ::outb(static_cast<unsigned char>(value), static_cast<unsigned short>(port));
#endif
    return;
  }
  if (!send_all(iocard::write_request(port, value))) fail("the simulated card went away");
}

int CARD_IN(int port) {
  if (!ready()) return -1;
  if (card().access == Access::ports) {
#ifdef DORVEX_HAVE_IOPERM
    return ::inb(static_cast<unsigned short>(port));
#else
    return -1;
#endif
  }
  if (!send_all(iocard::read_request(port))) {
    fail("the simulated card went away");
    return -1;
  }
  std::string line;
  if (!answer_line(line)) {
    fail("no answer from the simulated card to a read of port " +
         iocard::read_request(port).substr(2, 3));
    return -1;
  }
  int value = 0;
  if (!iocard::decode_answer(line, value)) {
    fail("unreadable answer from the simulated card: " + line.substr(0, 40));
    return -1;
  }
  return value;
}

void CARD_RELEASE() {
  Card& c = card();
  if (c.fd >= 0) ::close(c.fd);
  c.fd = -1;
  c.pending.clear();
  c.access = Access::none;
}

}  // namespace dorvex
