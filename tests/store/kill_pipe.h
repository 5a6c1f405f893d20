// Helper processes for the kill tests: started with their standard output
// on a pipe, they write one line per acknowledged write.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace store::testing {

// Starts program with args, its stdout on a pipe; returns the pid and the
// pipe's read end ({-1, -1} on failure).
inline std::pair<pid_t, int> StartHelper(const std::string& program,
                                         const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, -1};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}

// Waits (up to 30 s) until the helper has acknowledged its first write;
// false when it never did.
inline bool WaitFirstAck(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
  }
  return false;
}

// Reads every acknowledgement the helper wrote; returns how many.
inline int CountAcks(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  int acks = 0;
  for (char c : text) acks += c == '\n';
  return acks;
}

}  // namespace store::testing
