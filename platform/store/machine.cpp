#include "platform/store/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"

namespace store {

namespace {

bool IsLabelChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

std::string CheckLabel(const std::string& label, const char* what) {
  if (label.empty()) return std::string(what) + " has an empty label";
  if (label.size() > 63) return std::string(what) + " has a label longer than 63 characters";
  for (char c : label) {
    if (!IsLabelChar(c)) {
      return std::string(what) + " may hold only letters, digits and '-': \"" + label + "\"";
    }
  }
  if (label.front() == '-' || label.back() == '-') {
    return std::string(what) + " may not begin or end with '-': \"" + label + "\"";
  }
  return "";
}

}  // namespace

std::filesystem::path MachineFile(const std::filesystem::path& root) { return root / "machine"; }

std::string CheckComputerName(const std::string& name) {
  if (name.empty()) return "computer name is empty";
  if (name.size() > 15) return "computer name is longer than 15 characters";
  return CheckLabel(name, "computer name");
}

std::string CheckDomainName(const std::string& name) {
  if (name.empty()) return "domain name is empty";
  if (name.size() > 253) return "domain name is longer than 253 characters";
  for (const std::string& label : core::Split(name, ".")) {
    std::string problem = CheckLabel(label, "domain name");
    if (!problem.empty()) return problem;
  }
  return "";
}

Machine ReadMachine(const std::filesystem::path& root) {
  std::filesystem::path file = MachineFile(root);
  std::ifstream in(file);
  if (!in) {
    throw core::RuntimeError(
        core::err::kPathNotFound,
        "Server root " + root.string() + " is not provisioned (no " + file.string() + ")");
  }
  Machine m;
  std::string line;
  while (std::getline(in, line)) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "computer") m.computer = value;
    if (key == "domain") m.domain = value;
  }
  if (!CheckComputerName(m.computer).empty() || !CheckDomainName(m.domain).empty()) {
    throw core::RuntimeError(core::err::kTypeMismatch,
                             "Machine file " + file.string() + " is damaged");
  }
  return m;
}

Machine ThisMachine() { return ReadMachine(core::ServerRoot()); }

void WriteMachine(const std::filesystem::path& root, const Machine& machine) {
  std::string problem = CheckComputerName(machine.computer);
  if (problem.empty()) problem = CheckDomainName(machine.domain);
  if (!problem.empty()) throw core::RuntimeError(core::err::kInvalidProcedureCall, problem);
  std::filesystem::path file = MachineFile(root);
  // O_EXCL: two provisioning runs racing on one root must not both succeed.
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, core::kPrivateFileMode);
  if (fd < 0) {
    int e = errno;
    if (e == EEXIST) {
      throw core::RuntimeError(core::err::kDbResourceExists,
                               "Server root " + root.string() + " is already provisioned");
    }
    throw core::RuntimeError(core::err::kPathNotFound,
                             "Cannot create " + file.string() + ": " + std::strerror(e));
  }
  ::fchmod(fd, core::kPrivateFileMode);  // whatever the umask
  std::string text = "computer=" + core::LCase(machine.computer) +
                     "\ndomain=" + core::LCase(machine.domain) + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = (::fsync(fd) == 0) && ok;
  ::close(fd);
  if (!ok) {
    std::filesystem::remove(file);
    throw core::RuntimeError(core::err::kPathNotFound, "Cannot write " + file.string());
  }
}

}  // namespace store
