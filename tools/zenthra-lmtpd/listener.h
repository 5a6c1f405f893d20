// The sockets the service listens on: a Unix-domain socket (created with
// mode 0660 whatever the umask, so the mail transport's group can reach it
// and nobody else), a TCP address, or sockets a service manager passed in
// (socket activation: LISTEN_PID and LISTEN_FDS).
#pragma once

#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <vector>

namespace lmtp {

struct Listener {
  int fd = -1;                      // non-blocking, close-on-exec
  std::string name;                 // "unix:/run/x.sock", "127.0.0.1:2403"
  std::filesystem::path unix_path;  // a socket file this process made; removed at the end
  unsigned long long unix_device = 0, unix_inode = 0;  // which file that is
};

// Opens what spec names: "unix:PATH" or "HOST:PORT" ("[::1]:24" for IPv6;
// port 0 picks a free one, which the name then shows). A stale socket file
// at PATH (nobody listening) is replaced; a live one, or another kind of
// file, is refused. Throws std::runtime_error saying what failed and why.
Listener Listen(const std::string& spec);

// The sockets a service manager passed to this process; none without
// socket activation. The activation variables are removed from the
// environment so that programs started later do not take them for theirs.
std::vector<Listener> InheritedListeners();

// The numeric host ("127.0.0.1", "::1") and port of an IPv4 or IPv6
// address; false for any other kind.
bool NumericAddress(const sockaddr_storage& address, std::string* host, int* port);

// Closes the socket and removes the socket file this process made (when it
// is still the same file).
void Close(Listener& listener);

}  // namespace lmtp
