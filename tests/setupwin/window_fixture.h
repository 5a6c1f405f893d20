// A provisioned server per test (mail store, directory file, registry) and
// the setup window on a program whose message boxes are scripted.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/directory/ldif_backend.h"
#include "platform/directory/provider.h"
#include "platform/store/provider.h"
#include "platform/store/store.h"
#include "platform/ui/ui.h"
#include "setup/ComPlus.h"
#include "setup/InstallForm.h"

namespace setupwintest {

namespace fs = std::filesystem;

inline const store::Machine kMachine{"srv1", "example.com"};
inline constexpr const char* kPersonCategory =
    "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com";

// The login name of the user running the tests, looked up independently of
// the code under test.
inline std::string CurrentUser() {
  const passwd* pw = ::getpwuid(::geteuid());
  return pw != nullptr ? pw->pw_name : "";
}

// The home server value Exchange writes for a mailbox on server.
inline std::string HomeOn(const std::string& server) {
  return "/o=Example/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" + server;
}

// One person of the directory; empty attributes are left out of the record.
struct Person {
  std::string cn;
  std::string sam;
  std::string mail;
  std::string alias;
  std::string home;
  bool disabled = false;
  bool mailbox = true;  // has msExchMailboxGuid
  std::string category = kPersonCategory;
};

inline std::string Ldif(const std::vector<Person>& people) {
  std::string text = "version: 1\n";
  for (const Person& p : people) {
    text += "\ndn: CN=" + p.cn + ",CN=Users,DC=example,DC=com\n";
    text += "objectClass: user\n";
    text += "objectCategory: " + p.category + "\n";
    text += "cn: " + p.cn + "\n";
    if (!p.sam.empty()) text += "sAMAccountName: " + p.sam + "\n";
    if (!p.mail.empty()) text += "mail: " + p.mail + "\n";
    if (!p.alias.empty()) text += "mailNickName: " + p.alias + "\n";
    if (!p.home.empty()) text += "msExchHomeServerName: " + p.home + "\n";
    if (p.mailbox) text += "msExchMailboxGuid:: 3q2+7w==\n";
    text += std::string("userAccountControl: ") + (p.disabled ? "514" : "512") + "\n";
  }
  return text;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zenthra-setupwin-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
    root_ = temp_ / "root";
    store::Provision(root_, kMachine);
    core::SetServerRoot(root_);
    store::RegisterProvider();
    directory::RegisterProvider(directory::MachineFacts{kMachine.computer, kMachine.domain});
    store_ = store::Store::Open(root_);
    fs::create_directories(directory::DefaultLdifPath(root_).parent_path());
    WriteDirectory(Ldif({}));
    ComPlus::LastValidPriority = "";
    ComPlus::PriorityChanging = false;
    form_ = std::make_unique<setup::InstallForm>(program_, "");
  }

  void TearDown() override {
    form_.reset();
    store_.reset();
    program_.SetDoEventsHook(nullptr);
    std::error_code ec;
    fs::remove_all(temp_, ec);
  }

  void WriteDirectory(const std::string& ldif) {
    std::ofstream(directory::DefaultLdifPath(root_), std::ios::binary | std::ios::trunc) << ldif;
  }

  // The alias of the mailbox store's system mailbox.
  std::string SystemMailboxAlias() {
    for (const store::MailboxInfo& m : store_->Mailboxes()) {
      if (m.is_system) return m.alias;
    }
    ADD_FAILURE() << "no system mailbox";
    return "";
  }

  std::vector<std::string> Entries(const ui::ListBox& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.ListCount(); ++i) out.push_back(list.List(i));
    return out;
  }

  fs::path temp_;
  fs::path root_;
  std::unique_ptr<store::Store> store_;
  ui::ScriptedDialogs dialogs_;
  ui::Program program_{dialogs_};
  std::unique_ptr<setup::InstallForm> form_;
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

}  // namespace setupwintest
