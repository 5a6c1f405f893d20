#include "setup/RenewalJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "platform/core/error.h"
#include "platform/core/files.h"

namespace RenewalJournal {

namespace fs = std::filesystem;

namespace {

void Escape(std::string_view text, std::string* out) {
  for (char c : text) {
    switch (c) {
      case '\\':
        *out += "\\\\";
        break;
      case '\t':
        *out += "\\t";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\n':
        *out += "\\n";
        break;
      default:
        *out += c;
    }
  }
}

// Undoes Escape; false for a backslash that starts no known pair.
bool Unescape(std::string_view text, std::string* out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\':
        *out += '\\';
        break;
      case 't':
        *out += '\t';
        break;
      case 'r':
        *out += '\r';
        break;
      case 'n':
        *out += '\n';
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

fs::path JournalFile(const fs::path& root) { return root / "setup" / "renewal-journal"; }

std::string Format(const std::vector<Renewal>& renewals) {
  std::string text;
  for (const Renewal& r : renewals) {
    Escape(r.folder, &text);
    text += '\t';
    Escape(r.entry, &text);
    text += '\n';
  }
  return text;
}

std::vector<Renewal> Parse(std::string_view text, const std::string& source) {
  std::vector<Renewal> renewals;
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    // A line without its line feed was never finished: the file is damaged.
    const std::string_view line = text.substr(0, end);
    const std::size_t tab = line.find('\t');
    Renewal r;
    if (end == std::string_view::npos || tab == std::string_view::npos ||
        !Unescape(line.substr(0, tab), &r.folder) || !Unescape(line.substr(tab + 1), &r.entry) ||
        r.folder.empty() || r.entry.empty()) {
      throw core::RuntimeError(core::err::kTypeMismatch,
                               source + ", line " + std::to_string(line_number) +
                                   ": not a registration (folder, tab, list entry)");
    }
    renewals.push_back(std::move(r));
    text.remove_prefix(end + 1);
  }
  return renewals;
}

void Write(const fs::path& root, const std::vector<Renewal>& renewals) {
  const fs::path file = JournalFile(root);
  if (!renewals.empty()) {
    core::CreatePrivateFolders(file.parent_path());
    core::WriteFileAtomically(file, Format(renewals));
    return;
  }
  if (::unlink(file.c_str()) != 0) {
    if (errno == ENOENT) return;
    throw core::RuntimeError(core::err::kPathNotFound,
                             core::DescribeFileError("Cannot remove", file, errno));
  }
  // The removal is durable only once the folder is.
  const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  const int rc = ::fsync(dir);
  const int e = errno;
  ::close(dir);
  if (rc != 0) {
    throw core::RuntimeError(core::err::kPathNotFound,
                             core::DescribeFileError("Cannot remove", file, e));
  }
}

std::vector<Renewal> Read(const fs::path& root) {
  const fs::path file = JournalFile(root);
  std::error_code ec;
  if (!fs::exists(file, ec) && !ec) return {};
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in || ec) {
    const int e = ec ? ec.value() : (errno != 0 ? errno : EIO);
    throw core::RuntimeError(core::err::kPathNotFound,
                             core::DescribeFileError("Cannot read", file, e));
  }
  const std::string text = core::ReadAll(in);
  if (in.bad()) {
    throw core::RuntimeError(core::err::kPathNotFound,
                             core::DescribeFileError("Cannot read", file, EIO));
  }
  return Parse(text, file.string());
}

}  // namespace RenewalJournal
