#include "setup/CommandLine.h"

namespace setup {

namespace {
constexpr const char* kRoot = "--root";
}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine c;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string> value;
    if (arg == kRoot) {
      if (i + 1 >= args.size()) {
        c.error = std::string(kRoot) + " needs a folder";
        return c;
      }
      value = args[++i];
    } else if (arg.rfind(std::string(kRoot) + "=", 0) == 0) {
      value = arg.substr(std::string(kRoot).size() + 1);
    } else {
      rest.push_back(arg);
      continue;
    }
    if (c.root) {
      c.error = std::string(kRoot) + " given twice";
      return c;
    }
    if (value->empty()) {
      c.error = std::string(kRoot) + " needs a folder";
      return c;
    }
    c.root = std::move(value);
  }
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (i > 0) c.argumentText += ' ';
    c.argumentText += rest[i];
  }
  c.help = c.argumentText == "--help" || c.argumentText == "-h";
  return c;
}

}  // namespace setup
