// zenthra-demo: the product's main job on a demo server, from nothing.
//
//   zenthra-demo --root DIR --library Zenthra.dll --mail DIR
//
// Provisions a server root in DIR (its store, directory and catalog), runs
// the setup window's own apply procedure to install Zenthra and register it
// in the demo mailboxes, delivers the sample messages of the mail folder as
// the mail transport does, and prints where each message went. A sample file
// named "ALIAS--NAME.eml" is delivered to the mailbox ALIAS.
//
// One mailbox ("scanner") is left unregistered on purpose: its marked mail
// stays in the Inbox. Disabled accounts are not registered. Which mailboxes
// hold the registration is printed as read back from the store.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/directory/provider.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "platform/ui/ui.h"
#include "setup/InstallForm.h"
#include "tools/zenthra-store/cli.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUnregistered = "scanner";

struct Options {
  fs::path root, library, mail;
};

// Message boxes are printed; every box the demo can meet is an OK box.
class PrintedDialogs : public ui::Dialogs {
 public:
  int MsgBox(const ui::MessageBox& box) override {
    std::cout << "  [" << box.title << "] " << box.prompt << "\n";
    return ui::ButtonResults(box.style).front();
  }
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "zenthra-demo: " << problem << "\n"
            << "usage: zenthra-demo --root DIR --library Zenthra.dll --mail DIR\n";
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << "usage: zenthra-demo --root DIR --library Zenthra.dll --mail DIR\n"
                   "Provisions a demo server in DIR (replacing an earlier demo there), installs\n"
                   "Zenthra through the setup window's apply procedure, delivers the sample\n"
                   "messages of the mail folder and prints where each one went.\n";
      std::exit(0);
    }
    if (i + 1 >= argc) Usage(arg + " needs a value");
    if (arg == "--root") {
      o.root = fs::absolute(argv[++i]);
    } else if (arg == "--library") {
      o.library = fs::absolute(argv[++i]);
    } else if (arg == "--mail") {
      o.mail = fs::absolute(argv[++i]);
    } else {
      Usage("unknown option " + arg);
    }
  }
  if (o.root.empty() || o.library.empty() || o.mail.empty()) Usage("missing option");
  if (!fs::is_regular_file(o.library)) Usage("no library at " + o.library.string());
  if (!fs::is_directory(o.mail)) Usage("no mail folder at " + o.mail.string());
  return o;
}

void Provision(const Options& o) {
  // An earlier demo is replaced, but only one this program made.
  if (fs::exists(o.root)) {
    if (!fs::exists(o.root / ".zenthra-demo")) {
      Usage(o.root.string() + " exists and is no demo server; choose another --root");
    }
    fs::remove_all(o.root);
  }
  core::CreatePrivateFolders(o.root);
  core::WriteFileAtomically(o.root / ".zenthra-demo", "made by zenthra-demo\n");
  std::istringstream in;
  std::ostringstream out, err;
  const int status = store::cli::Run(
      {"--root", o.root.string(), "provision", "--computer", "mail01", "--domain", "example.com"},
      in, out, err);
  if (status != 0) throw std::runtime_error("provisioning failed: " + err.str());
}

// The setup window, driven as an administrator would: tick the install box,
// give the identity's password, a target folder below each Inbox, select
// every enabled mailbox but one, press CHANGE.
void InstallAndRegister(const Options& o) {
  // The installer takes the library from the current directory.
  const fs::path bin = o.root / "bin";
  core::CreatePrivateFolders(bin);
  fs::copy_file(o.library, bin / "Zenthra.dll", fs::copy_options::overwrite_existing);
  fs::current_path(bin);

  PrintedDialogs dialogs;
  ui::Program program(dialogs);
  setup::InstallForm form(program, "");
  form.Show();  // loads the window and runs its first refresh

  form.txtPwd.Text("demo-password");
  form.txtSpamFolder.Text("Inbox\\Spam");
  form.Command4_Click();  // Select All
  // "Show disabled" lists disabled accounts among the unregistered ones; an
  // administrator leaves them out, and the demo keeps one mailbox unregistered.
  for (int i = 0; i < form.MbxInstList.ListCount(); ++i) {
    const std::string entry = form.MbxInstList.List(i);
    if (core::InStr(entry, setup::InstallForm::kDisabledMark) > 0 ||
        core::InStr(entry, " / " + std::string(kUnregistered)) > 0) {
      form.MbxInstList.Selected(i, false);
    }
  }
  std::cout << "Registering in:\n";
  for (int i = 0; i < form.MbxInstList.ListCount(); ++i) {
    if (form.MbxInstList.Selected(i)) std::cout << "  " << form.MbxInstList.List(i) << "\n";
  }
  form.Check3.Value(1);
  form.Command1_Click();  // CHANGE

  std::cout << "Installed: " << (form.Check6.Enabled() ? "yes" : "no") << ", identity "
            << form.txtIdent.Text() << ", target folder " << form.txtSpamFolder.Text() << "\n";
  if (!form.txtErr.Text().empty()) std::cout << "Error log:\n" << form.txtErr.Text();
  form.Command2_Click();  // Exit
}

// Pads text to width characters (setw counts bytes, which misaligns accents).
std::string Padded(const std::string& text, std::size_t width) {
  const std::size_t length = core::Len(text);
  return text + std::string(length < width ? width - length : 1, ' ');
}

// Every mailbox of the store with whether its Inbox (for the system mailbox:
// its store-wide folder) holds the registration item, read from the store
// itself rather than from the window's lists.
void PrintRegistrations(store::Store& store) {
  std::cout << "\nRegistrations as the store holds them:\n";
  std::cout << Padded("MAILBOX", 14) << Padded("FOLDER", 26) << "ZENTHRA\n";
  for (const store::MailboxInfo& m : store.Mailboxes()) {
    std::string folder = m.url + "/StoreEvents/GlobalEvents";
    if (!m.is_system) {
      for (const auto& [name, value] : store.Properties(store.Resolve(m.url).id, false)) {
        if (store::SameProperty(name, store::schema::kInbox)) folder = value.AsString();
      }
    }
    const bool registered = store.Find(store.Names(folder + "/Zenthra.reg")).has_value();
    const std::string shown = folder.substr(std::min(folder.size(), m.url.size() + 1));
    std::cout << Padded(m.is_system ? "(store-wide)" : m.alias, 14) << Padded(shown, 26)
              << (registered ? "registered" : "not registered") << "\n";
  }
}

struct Delivered {
  std::string alias, file, subject;
  store::ItemId id = 0;
};

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return core::ReadAll(in);
}

void DeliverAndReport(const Options& o) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(o.mail)) {
    if (entry.path().extension() == ".eml") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());

  std::unique_ptr<store::Store> store = store::Store::Open(o.root);
  PrintRegistrations(*store);
  std::vector<Delivered> delivered;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    const std::size_t dash = name.find("--");
    if (dash == std::string::npos) continue;
    Delivered d{name.substr(0, dash), name, "", 0};
    const std::string url = store->Deliver(d.alias, ReadFile(file));
    d.id = store->Resolve(url).id;
    for (const auto& [prop, value] : store->Properties(d.id, false)) {
      if (prop == "urn:schemas:httpmail:subject") d.subject = value.AsString();
    }
    delivered.push_back(d);
  }

  std::cout << "\nWhere each message went:\n";
  std::cout << Padded("MAILBOX", 14) << Padded("SUBJECT", 36) << "NOW IN\n";
  for (const Delivered& d : delivered) {
    const std::string url = store->UrlOf(d.id);
    const std::string mailbox = store->UrlOf(store->MailboxOf(d.id));
    std::string folder = url.substr(mailbox.size() + 1);
    folder = folder.substr(0, folder.rfind('/'));
    std::cout << Padded(d.alias, 14) << Padded(core::Left(d.subject, 33), 36) << folder << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  try {
    std::cout << "Provisioning a demo server in " << options.root.string() << "\n";
    Provision(options);
    core::SetServerRoot(options.root);
    store::RegisterProvider();
    const store::Machine machine = store::ThisMachine();
    directory::RegisterProvider(directory::MachineFacts{machine.computer, machine.domain});
    InstallAndRegister(options);
    DeliverAndReport(options);
  } catch (const core::RuntimeError& e) {
    std::cerr << "zenthra-demo: error " << e.Number() << ": " << e.Description() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "zenthra-demo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
