// A provisioned mail server per test, as the administrator finds it: the
// mail store with its mailboxes and mailbox store, the directory's global
// catalog, an empty component catalog, and the setup program's folder
// holding Zenthra.dll. The setup program runs in-process with its message
// boxes scripted; checks read the store and the catalog directly.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/activation.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/directory/ldif_backend.h"
#include "platform/directory/provider.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "platform/ui/ui.h"
#include "setup/ComPlus.h"
#include "setup/Disclaimer.h"
#include "setup/InstallForm.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

inline const store::Machine kMachine{"srv1", "example.com"};
inline constexpr const char* kMbx = "file://./backofficestorage/example.com/MBX";
inline constexpr const char* kFolderURL = "http://srv1.example.com/exadmin/example.com/mbx";
inline constexpr const char* kFileFolderURL = "file://./backofficestorage/example.com/mbx";
inline constexpr const char* kMarker = "Quarantined Attachment.txt";
inline constexpr const char* kCriteria = " WHERE \"DAV:ishidden\" = FALSE";

// The login name of the user running the tests, found without the code
// under test.
inline std::string CurrentUser() {
  const passwd* pw = ::getpwuid(::geteuid());
  return pw != nullptr ? pw->pw_name : "";
}

// One person of the global catalog; empty attributes are left out.
struct Person {
  std::string cn;
  std::string sam;
  std::string mail;
  std::string alias;
  std::string server = "SRV1";  // the home server's name; "" for none
  bool mailbox = true;          // has msExchMailboxGuid
  bool disabled = false;
};

inline std::string Ldif(const std::vector<Person>& people) {
  std::string text = "version: 1\n";
  int n = 0;
  for (const Person& p : people) {
    text += "\ndn: CN=" + p.cn + " " + std::to_string(++n) + ",CN=Users,DC=example,DC=com\n";
    text += "objectClass: user\n";
    text += "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\n";
    text += "cn: " + p.cn + "\n";
    if (!p.sam.empty()) text += "sAMAccountName: " + p.sam + "\n";
    if (!p.mail.empty()) text += "mail: " + p.mail + "\n";
    if (!p.alias.empty()) text += "mailNickName: " + p.alias + "\n";
    if (!p.server.empty()) {
      text +=
          "msExchHomeServerName: /o=Example/ou=First Administrative Group/cn=Configuration/"
          "cn=Servers/cn=" +
          p.server + "\n";
    }
    if (p.mailbox) text += "msExchMailboxGuid:: 3q2+7w==\n";
    text += std::string("userAccountControl: ") + (p.disabled ? "514" : "512") + "\n";
  }
  return text;
}

// A message as the scanner passes it on: with the marker attachment in place
// of what it stripped, or a plain one.
inline std::string Message(const std::string& subject, const std::string& attachment = "") {
  std::string text = "From: scanner@example.com\r\nTo: someone@example.com\r\nSubject: " + subject +
                     "\r\nMIME-Version: 1.0\r\n";
  if (attachment.empty()) return text + "Content-Type: text/plain\r\n\r\nHello.\r\n";
  return text +
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
         "Content-Type: text/plain\r\n\r\nHello.\r\n--b1\r\nContent-Type: text/plain; name=\"" +
         attachment + "\"\r\nContent-Disposition: attachment; filename=\"" + attachment +
         "\"\r\n\r\nThe attachment was removed.\r\n--b1--\r\n";
}

// The folder the setup program runs in, holding a copy of Zenthra.dll. One
// per test program and kept to its end: a loaded library stays loaded and
// is registered under the path it was loaded from. The path is never
// destroyed, so the clean-up at exit can still read it.
inline const fs::path& ProgramDir() {
  static const fs::path* const dir = [] {
    std::string pattern = (fs::temp_directory_path() / "zenthra-e2e-program-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return new fs::path();
    std::error_code ec;
    fs::copy_file(ZENTHRA_DLL, fs::path(pattern) / "Zenthra.dll", ec);
    if (ec) {
      fs::remove_all(pattern, ec);
      return new fs::path();
    }
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(ProgramDir(), ignored);
    });
    return new fs::path(pattern);
  }();
  return *dir;
}

// Runs a program of the product in a process of its own, in the current
// directory, with input on its standard input and the server root in
// ZENTHRA_ROOT (none when root is empty); no display, so a program with
// windows talks on the terminal. Returns its exit status (-1 when it did not
// run or exit) and what it wrote: standard output and error together in
// output, or, when errors is given, standard error there on its own.
inline int RunProgram(const std::vector<std::string>& args, const fs::path& root,
                      const std::string& input, std::string* output,
                      std::string* errors = nullptr) {
  const fs::path scratch =
      fs::path(::testing::TempDir()) / ("zenthra-e2e-run-" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  const fs::path in = scratch / "program-input.txt";
  const fs::path out = scratch / "program-output.txt";
  const fs::path err = scratch / "program-errors.txt";
  std::ofstream(in, std::ios::binary | std::ios::trunc) << input;

  std::vector<std::string> env;
  if (!root.empty()) env.push_back("ZENTHRA_ROOT=" + root.string());
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var = *e;
    if (var.rfind("ZENTHRA_ROOT=", 0) == 0 || var.rfind("DISPLAY=", 0) == 0 ||
        var.rfind("WAYLAND_DISPLAY=", 0) == 0) {
      continue;
    }
    env.push_back(var);
  }
  std::vector<std::string> argStrings = args;
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (errors != nullptr) {
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
  } else {
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  const bool exited = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status);
  auto read = [](const fs::path& file, std::string* text) {
    std::ifstream stream(file, std::ios::binary);
    text->assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  };
  if (output != nullptr) read(out, output);
  if (errors != nullptr) read(err, errors);
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return exited ? WEXITSTATUS(status) : -1;
}

// One run of ZenthraSetup: the program with its scripted message boxes and
// the disclaimer it opens with, which owns the setup window.
class SetupRun {
 public:
  explicit SetupRun(std::string commandLine = "") : disclaimer_(program_, std::move(commandLine)) {}

  // Opens the program and answers the disclaimer with Yes: the setup window
  // loads, activates and (in batch mode) does its work.
  void Accept() {
    disclaimer_.Show();
    ASSERT_TRUE(disclaimer_.Command1.Click());
  }

  setup::InstallForm& window() { return disclaimer_.SetupWindow(); }
  ui::ScriptedDialogs& dialogs() { return dialogs_; }
  ui::Program& program() { return program_; }

 private:
  ui::ScriptedDialogs dialogs_;
  ui::Program program_{dialogs_};
  setup::Disclaimer disclaimer_;
};

struct ComponentInfo {
  std::string progId;
  bool constructionEnabled = false;
  std::string constructorString;
};

struct AppInfo {
  std::string name;
  std::string identity;
  bool accessChecks = true;
  std::vector<ComponentInfo> components;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zenthra-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
    root_ = temp_ / "root";
    store::Provision(root_, kMachine);
    core::SetServerRoot(root_);
    store::RegisterProvider();
    directory::RegisterProvider(directory::MachineFacts{kMachine.computer, kMachine.domain});
    previous_hook_ = complus::EnableCatalogActivation();
    store_ = store::Store::Open(root_);
    store_->AddMailbox("jdoe");
    store_->AddMailbox("asmith", "Posteingang");
    store_->AddMailbox("carol");
    for (const store::MailboxInfo& m : store_->Mailboxes()) {
      if (m.is_system) system_alias_ = m.alias;
    }
    ASSERT_FALSE(system_alias_.empty());
    fs::create_directories(directory::DefaultLdifPath(root_).parent_path());
    WriteDirectory(DefaultPeople());

    ComPlus::LastValidPriority = "";
    ComPlus::PriorityChanging = false;
    previous_dir_ = fs::current_path();
    ASSERT_FALSE(ProgramDir().empty());
    fs::current_path(ProgramDir());
  }

  void TearDown() override {
    fs::current_path(previous_dir_);
    store_.reset();
    com::SetConstructionHook(previous_hook_);
    com::FreeUnusedLibraries();
    std::error_code ec;
    fs::remove_all(temp_, ec);
  }

  // The administrator (no mailbox of their own), three mailboxes on this
  // server, one on another server, and the mailbox store's system mailbox.
  // Anna's address differs from her alias, as addresses often do.
  std::vector<Person> DefaultPeople() const {
    return {
        {"Administrator", CurrentUser(), "", "", "SRV1", false},
        {"Anna Smith", "asmith", "anna.smith@example.com", "asmith"},
        {"Bob Brown", "bbrown", "bob@example.com", "bbrown", "SRV2"},
        {"Carol Clark", "carol", "carol@example.com", "carol"},
        {"John Doe", "jdoe", "jdoe@example.com", "jdoe"},
        {system_alias_, "", system_alias_ + "@example.com", system_alias_},
    };
  }

  void WriteDirectory(const std::vector<Person>& people) {
    std::ofstream(directory::DefaultLdifPath(root_), std::ios::binary | std::ios::trunc)
        << Ldif(people);
  }

  // The list entries the setup program shows for the default people.
  static std::string Entry(const std::string& cn, const std::string& mail,
                           const std::string& alias) {
    return cn + " / SRV1 / " + mail + " / " + alias;
  }
  std::string AnnaEntry() const { return Entry("Anna Smith", "anna.smith@example.com", "asmith"); }
  std::string CarolEntry() const { return Entry("Carol Clark", "carol@example.com", "carol"); }
  std::string JohnEntry() const { return Entry("John Doe", "jdoe@example.com", "jdoe"); }
  std::string StoreEntry() const {
    return Entry(system_alias_, system_alias_ + "@example.com", system_alias_);
  }

  // Where registration items lie.
  static std::string InboxOf(const std::string& alias) {
    return std::string(kMbx) + "/" + alias + (alias == "asmith" ? "/Posteingang" : "/Inbox");
  }
  std::string GlobalEvents() const {
    return std::string(kMbx) + "/" + system_alias_ + "/StoreEvents/GlobalEvents";
  }

  // The properties of folderUrl/Zenthra.reg, or nullopt when there is none.
  std::optional<adodb::FieldList> RegistrationItem(const std::string& folderUrl) {
    const auto item = store_->Find(store_->Names(folderUrl + "/Zenthra.reg"));
    if (!item) return std::nullopt;
    return store_->Properties(item->id, false);
  }
  static std::string Property(const adodb::FieldList& fields, const std::string& name) {
    for (const auto& [n, v] : fields) {
      if (core::EqualsNoCase(n, name)) return v.IsNull() ? "<null>" : v.AsString();
    }
    return "<absent>";
  }
  // The folders of the default mailboxes and store that hold a registration
  // item, in a fixed order.
  std::vector<std::string> RegisteredFolders() {
    std::vector<std::string> found;
    for (const std::string& folder :
         {InboxOf("jdoe"), InboxOf("asmith"), InboxOf("carol"), GlobalEvents()}) {
      if (RegistrationItem(folder)) found.push_back(folder);
    }
    return found;
  }

  // The subjects of the messages in a folder, sorted; empty when the folder
  // does not exist.
  std::vector<std::string> Subjects(const std::string& folderUrl) {
    std::vector<std::string> subjects;
    const auto folder = store_->Find(store_->Names(folderUrl));
    if (!folder) return subjects;
    for (const store::Item& item : store_->Children(folder->id)) {
      if (item.is_folder) continue;
      for (const auto& [name, value] : store_->Properties(item.id, false)) {
        if (name == store::schema::kSubject) subjects.push_back(value.AsString());
      }
    }
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  static std::vector<AppInfo> Catalog() {
    complus::COMAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps->Populate();
    std::vector<AppInfo> result;
    for (std::int32_t i = 0; i < apps->Count(); ++i) {
      auto app = apps->Item(i);
      AppInfo info{app->Name(),
                   app->Value("Identity").AsString(),
                   app->Value("ApplicationAccessChecksEnabled").AsBool(),
                   {}};
      auto comps = apps->GetCollection("Components", core::Variant(app->Key()));
      comps->Populate();
      for (std::int32_t j = 0; j < comps->Count(); ++j) {
        auto c = comps->Item(j);
        info.components.push_back({c->Name(), c->Value("ConstructionEnabled").AsBool(),
                                   c->Value("ConstructorString").AsString()});
      }
      result.push_back(std::move(info));
    }
    return result;
  }

  static std::vector<std::string> Entries(const ui::ListBox& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.ListCount(); ++i) out.push_back(list.List(i));
    return out;
  }

  // Clicks the entry of list whose text is entry, as the administrator does.
  static void Pick(ui::ListBox& list, const std::string& entry) {
    for (int i = 0; i < list.ListCount(); ++i) {
      if (list.List(i) == entry) {
        list.Click(i);
        return;
      }
    }
    ADD_FAILURE() << "no entry \"" << entry << "\" in " << list.Name();
  }

  fs::path temp_;
  fs::path root_;
  fs::path previous_dir_;
  com::ConstructionHook previous_hook_;
  std::unique_ptr<store::Store> store_;
  std::string system_alias_;
};

// The error log with each entry's date, which must have the general date
// shape, replaced by "DATE".
inline std::string Undated(const std::string& log) {
  static const std::regex date(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
  return std::regex_replace(log, date, "[DATE] ");
}

}  // namespace e2e
