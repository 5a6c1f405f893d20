#include "tools/zenthra-lmtpd/options.h"

#include <cstdint>

namespace lmtp {

const char* const kUsage =
    "usage: zenthra-lmtpd [--root DIR] --listen ADDR [--listen ADDR ...] [OPTION ...]\n"
    "Delivers mail from a mail transport (LMTP, RFC 2033) into the store of the\n"
    "server root, where registered sinks file it as for any delivery. Runs in the\n"
    "foreground and logs one line per delivery and per error on standard error;\n"
    "SIGTERM stops it after the transactions under way.\n"
    "  --root DIR              the server root (default $ZENTHRA_ROOT)\n"
    "  --listen ADDR           unix:PATH (a socket of mode 0660) or HOST:PORT;\n"
    "                          without it, the sockets of socket activation\n"
    "  --max-size BYTES        largest message accepted (default 50M; K, M, G allowed)\n"
    "  --max-connections N     connections at once; more get 421 (default 100)\n"
    "  --idle-timeout SECONDS  close a connection idle this long (default 300)\n"
    "  --shutdown-timeout SECONDS\n"
    "                          on SIGTERM, how long a transaction under way may\n"
    "                          take to finish (default 30)\n";

namespace {

// A whole number of at most max, with an optional K/M/G suffix when
// scaled; UsageError naming the option otherwise.
std::uint64_t Number(const std::string& option, const std::string& text, std::uint64_t max,
                     bool scaled) {
  std::uint64_t multiplier = 1;
  std::string digits = text;
  if (scaled && !digits.empty()) {
    switch (digits.back()) {
      case 'K':
      case 'k':
        multiplier = 1ull << 10;
        break;
      case 'M':
      case 'm':
        multiplier = 1ull << 20;
        break;
      case 'G':
      case 'g':
        multiplier = 1ull << 30;
        break;
      default:
        break;
    }
    if (multiplier != 1) digits.pop_back();
  }
  if (digits.empty() || digits.size() > 12 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError(option + " needs a whole number, not \"" + text + "\"");
  }
  std::uint64_t value = std::stoull(digits) * multiplier;
  if (value > max) {
    throw UsageError(option + " must be at most " + std::to_string(max) + ", not " + text);
  }
  return value;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i], value;
    bool has_value = false;
    if (std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    auto take = [&]() -> std::string {
      if (has_value) return value;
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--root") {
      std::string root = take();
      if (root.empty()) throw UsageError("--root needs a folder");
      o.root = root;
    } else if (arg == "--listen") {
      std::string spec = take();
      if (spec.empty()) throw UsageError("--listen needs unix:PATH or HOST:PORT");
      o.listen.push_back(spec);
    } else if (arg == "--max-size") {
      o.limits.max_message_size = Number(arg, take(), 1ull << 32, true);
      if (o.limits.max_message_size == 0) throw UsageError("--max-size must be more than 0");
    } else if (arg == "--max-connections") {
      o.max_connections = static_cast<int>(Number(arg, take(), 100000, false));
      if (o.max_connections == 0) throw UsageError("--max-connections must be more than 0");
    } else if (arg == "--idle-timeout") {
      o.idle_timeout = std::chrono::seconds(Number(arg, take(), 86400, false));
      if (o.idle_timeout.count() == 0) throw UsageError("--idle-timeout must be more than 0");
    } else if (arg == "--shutdown-timeout") {
      o.shutdown_timeout = std::chrono::seconds(Number(arg, take(), 86400, false));
    } else {
      throw UsageError("unknown option \"" + arg + "\" (try --help)");
    }
  }
  return o;
}

}  // namespace lmtp
