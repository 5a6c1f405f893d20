#include "tools/zenthra-lmtpd/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

#include "platform/core/files.h"
#include "platform/core/terminal.h"
#include "tools/zenthra-lmtpd/log.h"

namespace lmtp {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
constexpr int kLingerMs = 2000;

using Clock = std::chrono::steady_clock;

int Millis(std::chrono::milliseconds d) {
  if (d.count() < 0) return 0;
  if (d.count() > 24 * 3600 * 1000) return 24 * 3600 * 1000;
  return static_cast<int>(d.count());
}

// How the client reached us, for the trace line and the log.
std::string PeerName(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "unknown";
  std::string host;
  int port = 0;
  if (NumericAddress(addr, &host, &port)) {
    return addr.ss_family == AF_INET6 ? "[IPv6:" + host + "]" : "[" + host + "]";
  }
  ucred cred{};
  socklen_t cred_len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0) {
    return "unix socket, uid " + std::to_string(cred.uid);
  }
  return "unix socket";
}

// Sends all of text; false when the client is gone or stopped reading.
bool SendAll(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Ends the connection so that the last replies arrive: a close with unread
// input would reset it and could destroy replies still on their way.
void CloseGracefully(int fd) {
  ::shutdown(fd, SHUT_WR);
  auto deadline = Clock::now() + std::chrono::milliseconds(kLingerMs);
  char sink[4096];
  for (;;) {
    int left =
        Millis(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
    ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  ::close(fd);
}

}  // namespace

struct Server::Connection {
  std::thread thread;
  std::atomic<bool> done{false};
};

Server::Server(std::vector<Listener> listeners, ServerConfig config, ReceiverFactory factory)
    : listeners_(std::move(listeners)), config_(std::move(config)), factory_(std::move(factory)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make a pipe: " + core::FileErrorCause(errno));
  }
  stop_read_ = fds[0];
  stop_write_ = fds[1];
}

Server::~Server() {
  Reap(true);
  for (Listener& l : listeners_) Close(l);
  if (stop_write_ >= 0) ::close(stop_write_);
  if (stop_read_ >= 0) ::close(stop_read_);
}

void Server::Run(int signal_fd) {
  std::vector<pollfd> fds;
  for (const Listener& l : listeners_) fds.push_back(pollfd{l.fd, POLLIN, 0});
  fds.push_back(pollfd{signal_fd, POLLIN, 0});
  for (;;) {
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogLine("cannot wait for connections: " + core::FileErrorCause(errno) + "; stopping");
      break;
    }
    if (fds.back().revents) break;
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      if (fds[i].revents & POLLIN) Accept(listeners_[i]);
    }
  }
  for (Listener& l : listeners_) Close(l);
  LogLine("stopping: no new connections; finishing the transactions under way");
  ::close(stop_write_);  // every connection's poll sees the pipe end
  stop_write_ = -1;
  Reap(true);
}

void Server::Accept(Listener& listener) {
  int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // The connection stays queued; do not spin on it.
      LogLine("cannot accept a connection on " + listener.name + ": " +
              core::FileErrorCause(errno));
      ::usleep(100 * 1000);
    }
    return;
  }
  Reap(false);
  const std::string peer = PeerName(fd);
  if (static_cast<int>(connections_.size()) >= config_.max_connections) {
    LogLine("refused a connection from " + peer + ": already " +
            std::to_string(connections_.size()) + " connections");
    SendAll(fd, "421 4.3.2 " + config_.host + " Too many connections, try again later\r\n");
    ::close(fd);
    return;
  }
  auto connection = std::make_unique<Connection>();
  Connection* c = connection.get();
  try {
    c->thread = std::thread([this, fd, peer, c] {
      Serve(fd, peer);
      c->done = true;
    });
  } catch (const std::system_error& e) {
    LogLine("cannot start a thread for a connection from " + peer + ": " + e.what());
    SendAll(fd, "421 4.3.2 " + config_.host + " Cannot serve now, try again later\r\n");
    ::close(fd);
    return;
  }
  connections_.push_back(std::move(connection));
}

void Server::Reap(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || (*it)->done) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Serve(int fd, const std::string& peer) {
  // A client that stops reading must not hold the thread forever.
  timeval send_timeout{};
  send_timeout.tv_sec = Millis(config_.idle_timeout) / 1000;
  send_timeout.tv_usec = (Millis(config_.idle_timeout) % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  try {
    Converse(fd, peer);
  } catch (const std::exception& e) {
    // Nothing was acknowledged that is not stored: replies go out only
    // after their work is done.
    LogLine("connection from " + peer + " failed: " + core::TerminalSafe(e.what()));
    SendAll(fd, "421 4.3.0 " + config_.host + " Internal error, try again later\r\n");
  }
  CloseGracefully(fd);
}

void Server::Converse(int fd, const std::string& peer) {
  std::unique_ptr<Receiver> receiver = factory_(peer);
  Session session(*receiver, config_.limits, config_.host);
  session.Start();
  bool draining = false;
  Clock::time_point drain_deadline;
  std::string buffer(kReadSize, '\0');
  bool open = SendAll(fd, session.TakeOutput());
  while (open && !session.Closed()) {
    auto wait = config_.idle_timeout;
    if (draining) {
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(drain_deadline -
                                                                                  Clock::now()));
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_read_, POLLIN, 0}};
    int n = ::poll(fds, draining ? 1 : 2, Millis(wait));
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // The stop comes first: input that arrived with it is read only by the
    // draining session.
    if (!draining && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      draining = true;
      drain_deadline = Clock::now() + config_.shutdown_timeout;
      session.Drain();
      open = SendAll(fd, session.TakeOutput());
      continue;
    }
    if (n == 0) {
      if (draining) {
        LogLine("a transaction from " + peer + " did not finish in time for the stop; dropped");
        session.ShutDown();
      } else {
        LogLine("connection from " + peer + " idle too long; closed" +
                (session.InTransaction() ? " (its unfinished message was not stored)" : ""));
        session.TimedOut();
      }
      SendAll(fd, session.TakeOutput());
      break;
    }
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (session.InTransaction()) {
        LogLine("connection from " + peer +
                " closed in the middle of a transaction; its message was not stored");
      }
      break;
    }
    session.Receive(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    open = SendAll(fd, session.TakeOutput());
    receiver->RepliesSent();
  }
}

}  // namespace lmtp
