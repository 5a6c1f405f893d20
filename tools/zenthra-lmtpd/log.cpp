#include "tools/zenthra-lmtpd/log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace lmtp {

void LogLine(std::string_view text) {
  static std::mutex mu;
  std::string line = "zenthra-lmtpd: ";
  line.append(text);
  line += '\n';
  std::lock_guard<std::mutex> lock(mu);
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to log to; the service goes on
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace lmtp
