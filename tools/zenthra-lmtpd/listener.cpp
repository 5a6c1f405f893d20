#include "tools/zenthra-lmtpd/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/core/files.h"

namespace lmtp {

namespace {

constexpr int kBacklog = 128;
constexpr int kFirstInheritedFd = 3;  // SD_LISTEN_FDS_START

[[noreturn]] void Fail(const std::string& spec, const std::string& why) {
  throw std::runtime_error("cannot listen on " + spec + ": " + why);
}

std::string SocketName(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "socket";
  if (addr.ss_family == AF_UNIX) {
    return std::string("unix:") + reinterpret_cast<const sockaddr_un*>(&addr)->sun_path;
  }
  std::string host;
  int port = 0;
  if (!NumericAddress(addr, &host, &port)) return "socket";
  if (addr.ss_family == AF_INET6) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

Listener ListenUnix(const std::string& spec, const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty()) Fail(spec, "the socket path is empty");
  if (path.size() >= sizeof addr.sun_path) Fail(spec, "the socket path is too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) Fail(spec, "a file that is not a socket is in the way");
    // Left over from a service that ended without cleaning up, or live?
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
      bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      ::close(probe);
      if (live) Fail(spec, "another program is listening there");
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      Fail(spec, "cannot remove the old socket: " + core::FileErrorCause(errno));
    }
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) Fail(spec, core::FileErrorCause(errno));
  // bind creates the file with the umask applied; make it no wider than
  // 0660 from the start, then exactly 0660.
  mode_t old = ::umask(0117);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int bind_errno = errno;
  ::umask(old);
  if (rc != 0) {
    ::close(fd);
    Fail(spec, core::FileErrorCause(bind_errno));
  }
  if (::chmod(path.c_str(), 0660) != 0 || ::listen(fd, kBacklog) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(path.c_str());
    Fail(spec, core::FileErrorCause(e));
  }
  Listener listener{fd, "unix:" + path, path};
  if (::lstat(path.c_str(), &st) == 0) {
    listener.unix_device = st.st_dev;
    listener.unix_inode = st.st_ino;
  }
  return listener;
}

Listener ListenTcp(const std::string& spec) {
  std::size_t colon = spec.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == spec.size()) {
    Fail(spec, "give unix:PATH or HOST:PORT");
  }
  std::string host = spec.substr(0, colon), port = spec.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
      std::atoi(port.c_str()) > 65535) {
    Fail(spec, "bad port \"" + port + "\"");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) Fail(spec, ::gai_strerror(rc));
  std::string why = "no usable address";
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      why = core::FileErrorCause(errno);
      continue;
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, kBacklog) == 0) {
      ::freeaddrinfo(found);
      return Listener{fd, SocketName(fd), {}};
    }
    why = core::FileErrorCause(errno);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  Fail(spec, why);
}

}  // namespace

bool NumericAddress(const sockaddr_storage& address, std::string* host, int* port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    *port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    *port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  *host = text;
  return true;
}

Listener Listen(const std::string& spec) {
  if (spec.rfind("unix:", 0) == 0) return ListenUnix(spec, spec.substr(5));
  return ListenTcp(spec);
}

std::vector<Listener> InheritedListeners() {
  std::vector<Listener> out;
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (!pid || !fds || std::atol(pid) != static_cast<long>(::getpid())) return out;
  int count = std::atoi(fds);
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  for (int fd = kFirstInheritedFd; fd < kFirstInheritedFd + count; ++fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    out.push_back(Listener{fd, SocketName(fd), {}});
  }
  return out;
}

void Close(Listener& listener) {
  if (listener.fd < 0) return;
  if (!listener.unix_path.empty()) {
    // Only our own socket: another instance may have replaced it since.
    struct stat file;
    if (::lstat(listener.unix_path.c_str(), &file) == 0 && file.st_dev == listener.unix_device &&
        file.st_ino == listener.unix_inode) {
      ::unlink(listener.unix_path.c_str());
    }
  }
  ::close(listener.fd);
  listener.fd = -1;
}

}  // namespace lmtp
