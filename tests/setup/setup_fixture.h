// A provisioned server root (mail store and component catalog) per test, the
// error log box the modules write to, and checks for its lines.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/store/provider.h"
#include "platform/store/store.h"
#include "platform/ui/text_box.h"

namespace setuptest {

inline constexpr const char* kMbx = "file://./backofficestorage/example.com/MBX";
inline constexpr const char* kHttpMbx = "http://mail01.example.com/exadmin/example.com/mbx";

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zenthra-setup-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
    root_ = temp_ / "root";
    store::Provision(root_, store::Machine{"mail01", "example.com"});
    core::SetServerRoot(root_);
    store::RegisterProvider();
    store_ = store::Store::Open(root_);
  }
  void TearDown() override {
    store_.reset();
    std::error_code ec;
    std::filesystem::remove_all(temp_, ec);
  }

  // The file URL of the system mailbox of the mailbox store.
  std::string SystemMailbox() {
    for (const store::MailboxInfo& m : store_->Mailboxes()) {
      if (m.is_system) return m.url;
    }
    ADD_FAILURE() << "no system mailbox";
    return "";
  }

  std::filesystem::path temp_;
  std::filesystem::path root_;
  std::unique_ptr<store::Store> store_;
  ui::TextBox txtErr{"txtErr"};
};

// The error f raises; a failure of the test when it raises none.
template <typename F>
core::RuntimeError Raised(F&& f) {
  try {
    f();
  } catch (const core::RuntimeError& e) {
    return e;
  }
  ADD_FAILURE() << "no run-time error raised";
  return core::RuntimeError(0, "");
}

// The error log with each entry's date, which must have the general date
// shape, replaced by "DATE".
inline std::string Undated(const std::string& log) {
  static const std::regex date(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
  return std::regex_replace(log, date, "[DATE] ");
}

// One error log line as the log must hold it, with the date as "DATE".
inline std::string Line(const std::string& context, const core::RuntimeError& e) {
  return "[DATE] " + context + " - ERROR: " + std::to_string(e.Number()) + " " + e.Description() +
         "\r\n\r\n";
}

}  // namespace setuptest
