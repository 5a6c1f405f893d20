// The command line of zenthra-lmtpd.
#pragma once

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/zenthra-lmtpd/protocol.h"

namespace lmtp {

extern const char* const kUsage;

struct Options {
  bool help = false;
  std::filesystem::path root;       // empty: $ZENTHRA_ROOT
  std::vector<std::string> listen;  // as given
  Limits limits;
  int max_connections = 100;
  std::chrono::milliseconds idle_timeout = std::chrono::minutes(5);
  std::chrono::milliseconds shutdown_timeout = std::chrono::seconds(30);
};

// A command line the program cannot run with; what() says why.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Options ParseOptions(const std::vector<std::string>& args);

}  // namespace lmtp
