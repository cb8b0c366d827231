// Preloaded into dorvex by kill_restart_collection.sh: the n-th write(2) to one file writes only
// its first k bytes, and the process is then killed with SIGKILL, as a program dies in the
// middle of writing a record. DORVEX_KILL_WRITE="<absolute path> <n> <k>".
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using WriteFn = ssize_t (*)(int, const void*, size_t);

struct Plan {
  std::string path;
  long n = 0, k = 0, seen = 0;
  bool active = false;
};

Plan& plan() {
  static Plan p = [] {
    Plan q;
    const char* spec = std::getenv("DORVEX_KILL_WRITE");
    char path[4096];
    if (spec != nullptr && std::sscanf(spec, "%4095s %ld %ld", path, &q.n, &q.k) == 3) {
      q.path = path;
      q.active = q.n > 0;
    }
    return q;
  }();
  return p;
}

bool is_target(int fd) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t len = ::readlink(link, target, sizeof target - 1);
  return len > 0 && plan().path == std::string(target, static_cast<std::size_t>(len));
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  static const WriteFn real = reinterpret_cast<WriteFn>(::dlsym(RTLD_NEXT, "write"));
  Plan& p = plan();
  if (p.active && fd > 2 && count > 1 && is_target(fd) && ++p.seen == p.n) {
    real(fd, buf, std::min(static_cast<size_t>(p.k), count - 1));
    ::kill(::getpid(), SIGKILL);
  }
  return real(fd, buf, count);
}
