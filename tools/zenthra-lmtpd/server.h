// The service's connections: accepting on every listener, one thread per
// connection running a Session, the connection limit, the idle time-out,
// and an orderly stop.
//
// Stopping (SIGTERM or SIGINT on signal_fd): the listeners close at once.
// A connection between transactions gets 421 and is closed; one in the
// middle of a transaction may finish it (its message is stored and
// answered) for up to shutdown_timeout, then gets 421. Run returns when the
// last connection has ended.
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/zenthra-lmtpd/listener.h"
#include "tools/zenthra-lmtpd/protocol.h"

namespace lmtp {

struct ServerConfig {
  Limits limits;
  std::string host;  // this server's name in the greeting
  int max_connections = 100;
  std::chrono::milliseconds idle_timeout = std::chrono::minutes(5);
  std::chrono::milliseconds shutdown_timeout = std::chrono::seconds(30);
};

class Server {
 public:
  // The receiver of a new connection; peer says how it connected.
  using ReceiverFactory = std::function<std::unique_ptr<Receiver>(const std::string& peer)>;

  Server(std::vector<Listener> listeners, ServerConfig config, ReceiverFactory factory);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until signal_fd (a signalfd) becomes readable, then stops as
  // described above.
  void Run(int signal_fd);

 private:
  struct Connection;
  void Accept(Listener& listener);
  void Serve(int fd, const std::string& peer);
  void Converse(int fd, const std::string& peer);
  void Reap(bool all);

  std::vector<Listener> listeners_;
  ServerConfig config_;
  ReceiverFactory factory_;
  int stop_read_ = -1, stop_write_ = -1;  // closing the write end wakes every connection
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace lmtp
