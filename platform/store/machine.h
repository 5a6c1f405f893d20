// The machine a server root stands for: its short (NetBIOS-style) name and
// the DNS name of its domain. Written once when the root is provisioned and
// read by every component that needs this computer's names.
#pragma once

#include <filesystem>
#include <string>

namespace store {

struct Machine {
  std::string computer;  // short name, e.g. "mail01"
  std::string domain;    // DNS domain, e.g. "example.com"

  // "computer.domain", the name http URLs must use for this server.
  std::string DnsName() const { return computer + "." + domain; }
};

// The file below the root that holds the names, one "key=value" a line.
std::filesystem::path MachineFile(const std::filesystem::path& root);

// Reads the machine of root (or of core::ServerRoot()). RuntimeError 76 when
// the root is not provisioned, 13 when the file is damaged.
Machine ReadMachine(const std::filesystem::path& root);
Machine ThisMachine();

// Checks a short name or DNS domain: letters, digits, '-' and (domain only)
// '.' between labels. Returns "" when valid, else what is wrong.
std::string CheckComputerName(const std::string& name);
std::string CheckDomainName(const std::string& name);

// Writes the file; fails with kDbResourceExists when one
// exists. Names are stored in lower case.
void WriteMachine(const std::filesystem::path& root, const Machine& machine);

}  // namespace store
