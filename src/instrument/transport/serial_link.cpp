#include "instrument/transport/serial_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace dorvex {

namespace {

using Clock = std::chrono::steady_clock;

struct BaudEntry {
  int rate;
  speed_t code;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool baud_code(int rate, speed_t& code) {
  for (const auto& e : kBauds)
    if (e.rate == rate) {
      code = e.code;
      return true;
    }
  return false;
}

int baud_rate(speed_t code) {
  for (const auto& e : kBauds)
    if (e.code == code) return e.rate;
  return 0;
}

// Waits until fd is ready for `events`, at most timeout_ms (negative: no limit). Signals that
// interrupt the wait resume it with the time that is left.
int wait_ready(int fd, short events, int timeout_ms, short& revents) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int left = -1;
    if (timeout_ms >= 0) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      left = ms > 0 ? static_cast<int>(ms) : 0;
    }
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, left);
    if (n < 0 && errno == EINTR) continue;
    revents = p.revents;
    return n;
  }
}

}  // namespace

std::string describe_open_error(int err, const std::string& device) {
  switch (err) {
    case ENOENT:
      return device + ": no such device (is the controller's serial adapter plugged in? "
                      "--port or DORVEX_COM<n> name another device)";
    case EACCES:
    case EPERM:
      return device + ": permission denied (add your user to the dialout group: "
                      "sudo usermod -aG dialout $USER, then log in again)";
    case EBUSY:
      return device + ": the port is in use by another program";
    case ENXIO:
    case ENODEV:
      return device + ": no device behind this port";
    case ENOTTY:
      return device + ": not a serial port";
    case EIO:
      return device + ": input/output error";
    default:
      return device + ": system error " + std::to_string(err);
  }
}

bool SerialLink::open(const std::string& device, std::string& reason) {
  close();
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    last_errno_ = errno;
    reason = describe_open_error(last_errno_, device);
    return false;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    last_errno_ = errno;
    reason = describe_open_error(last_errno_, device);
    ::close(fd);
    return false;
  }
  // A second program opening the port gets EBUSY (unless it runs as root).
  if (::ioctl(fd, TIOCEXCL) != 0) {
    last_errno_ = errno;
    reason = describe_open_error(last_errno_, device);
    ::close(fd);
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    last_errno_ = errno;
    reason = describe_open_error(last_errno_, device);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

int SerialLink::set_line(const LinkSettings& s) {
  if (fd_ < 0) return -1;
  speed_t code = 0;
  if (!baud_code(s.baud, code) || s.data_bits < 5 || s.data_bits > 8 || s.parity < 0 ||
      s.parity > 4 || s.stop_bits < 0 || s.stop_bits > 2)
    return 2;
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return -1;
  ::cfsetispeed(&tio, code);
  ::cfsetospeed(&tio, code);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[s.data_bits - 5];
  switch (s.parity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;  // mark
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;           // space
    default: break;
  }
  if (s.stop_bits != 0) tio.c_cflag |= CSTOPB;
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    last_errno_ = errno;
    return -1;
  }
  return 0;
}

int SerialLink::get_line(LineState& st) const {
  if (fd_ < 0) return -1;
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return -1;
  st.baud = baud_rate(::cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5: st.data_bits = 5; break;
    case CS6: st.data_bits = 6; break;
    case CS7: st.data_bits = 7; break;
    default: st.data_bits = 8; break;
  }
  st.parity = 0;
  if (tio.c_cflag & PARENB) {
    const bool odd = (tio.c_cflag & PARODD) != 0;
    if (tio.c_cflag & CMSPAR)
      st.parity = odd ? 3 : 4;
    else
      st.parity = odd ? 1 : 2;
  }
  st.stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;
  return 0;
}

void SerialLink::purge() {
  if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

void SerialLink::close() {
  if (fd_ >= 0) {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  fd_ = -1;
}

LinkStatus SerialLink::write_byte(unsigned char byte, int timeout_ms) {
  if (fd_ < 0) return LinkStatus::error;
  for (;;) {
    const ssize_t n = ::write(fd_, &byte, 1);
    if (n == 1) return LinkStatus::ok;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      short revents = 0;
      const int r = wait_ready(fd_, POLLOUT, timeout_ms, revents);
      if (r == 0) return LinkStatus::timeout;
      if (r < 0) {
        last_errno_ = errno;
        return LinkStatus::error;
      }
      if (revents & (POLLHUP | POLLERR)) return LinkStatus::disconnected;
      continue;
    }
    last_errno_ = n < 0 ? errno : 0;
    return (n < 0 && errno == EIO) ? LinkStatus::disconnected : LinkStatus::error;
  }
}

LinkStatus SerialLink::read_byte(unsigned char& byte, int timeout_ms) {
  if (fd_ < 0) return LinkStatus::error;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  int empty_reads = 0;
  for (;;) {
    const ssize_t n = ::read(fd_, &byte, 1);
    if (n == 1) return LinkStatus::ok;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      last_errno_ = errno;
      // A pseudo-terminal whose far end has closed answers EIO.
      return errno == EIO ? LinkStatus::disconnected : LinkStatus::error;
    }
    // Readable but nothing to read, twice in a row: the line has hung up.
    if (n == 0 && ++empty_reads > 2) return LinkStatus::disconnected;
    int left = -1;
    if (timeout_ms >= 0) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      left = ms > 0 ? static_cast<int>(ms) : 0;
    }
    short revents = 0;
    const int r = wait_ready(fd_, POLLIN, left, revents);
    if (r == 0) return LinkStatus::timeout;
    if (r < 0) {
      last_errno_ = errno;
      return LinkStatus::error;
    }
    if ((revents & POLLIN) == 0 && (revents & (POLLHUP | POLLERR))) return LinkStatus::disconnected;
  }
}

}  // namespace dorvex
