#include "tools/zenthra-store/cli.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <unordered_set>
#include <utility>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "platform/directory/ldap_backend.h"
#include "platform/directory/ldap_config.h"
#include "platform/directory/ldif.h"
#include "platform/directory/ldif_backend.h"
#include "platform/directory/root_backend.h"
#include "platform/store/schema.h"
#include "platform/store/session.h"
#include "platform/store/store.h"
#include "platform/store/url.h"
#include "platform/win/user.h"
#include "tools/zenthra-store/directory_seed.h"
#include "tools/zenthra-store/provisioning.h"

namespace store::cli {

namespace {

using core::RuntimeError;
using core::Variant;

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

const char* kUsageText =
    "usage: zenthra-store [--root DIR] COMMAND ...\n"
    "  provision --computer NAME --domain DNS [--users FILE.ldif]\n"
    "                                           create a server root with its directory\n"
    "                                           (FILE, or a small default one) and a\n"
    "                                           mailbox for each person homed here\n"
    "  provision --computer NAME --domain DNS --ldap URI --base DN\n"
    "            [--gc URI] [--bind-dn DN --password-file FILE | --sasl-external]\n"
    "            [--starttls] [--ca-file FILE]\n"
    "                                           the same with a directory server\n"
    "                                           (ldap://, ldaps://, ldapi://); the\n"
    "                                           password file must be mode 0600\n"
    "  mailbox add ALIAS [--inbox-name NAME]    create a mailbox with its Inbox\n"
    "  mailbox list                             list the mailboxes\n"
    "  mailbox sync                             create the mailboxes of persons homed\n"
    "                                           here that have none yet (never deletes)\n"
    "  deliver ALIAS [FILE]                     deliver a message (FILE or stdin)\n"
    "  ls URL                                   list a folder\n"
    "  show [--raw] URL                         print an item's properties\n"
    "  put [--folder] [--replace-folder] URL NAME=VALUE...\n"
    "                                           create or overwrite an item; --folder\n"
    "                                           makes a folder or sets a folder's\n"
    "                                           properties; an existing folder is\n"
    "                                           replaced (with all below it) only with\n"
    "                                           --replace-folder\n"
    "  rm URL                                   delete an item\n"
    "VALUE true/false is a Boolean, NAME:int=VALUE an integer, else a string.\n"
    "The server root is --root DIR, else $ZENTHRA_ROOT.\n";

// A usage error: reported with exit status 2.
struct UsageError {
  std::string message;
};

// Takes "--name VALUE" (or "--name=VALUE") out of args.
std::optional<std::string> TakeOption(std::vector<std::string>& args, const std::string& name) {
  std::optional<std::string> value;
  for (std::size_t i = 0; i < args.size();) {
    if (args[i] == name) {
      if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
      if (value) throw UsageError{name + " given twice"};
      value = args[i + 1];
      args.erase(args.begin() + i, args.begin() + i + 2);
    } else if (args[i].rfind(name + "=", 0) == 0) {
      if (value) throw UsageError{name + " given twice"};
      value = args[i].substr(name.size() + 1);
      args.erase(args.begin() + i);
    } else {
      ++i;
    }
  }
  return value;
}

bool TakeFlag(std::vector<std::string>& args, const std::string& name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      args.erase(args.begin() + i);
      return true;
    }
  }
  return false;
}

void ExpectArgs(const std::vector<std::string>& args, std::size_t min, std::size_t max,
                const std::string& what) {
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-' && a[1] == '-') throw UsageError{"unknown option " + a};
  }
  if (args.size() < min) throw UsageError{what};
  if (args.size() > max) throw UsageError{"unexpected argument \"" + args[max] + "\""};
}

std::string ShowValue(const Variant& v) {
  switch (v.Type()) {
    case core::VarType::Null:
      return "Null";
    case core::VarType::Empty:
      return "Empty";
    default:
      return core::TerminalSafe(v.AsString());
  }
}

const Variant* Find(const adodb::FieldList& fields, std::string_view name) {
  for (const auto& [n, v] : fields) {
    if (n == name) return &v;
  }
  return nullptr;
}

// NAME=VALUE, NAME:int=VALUE.
std::pair<std::string, Variant> ParseAssignment(const std::string& text) {
  std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) {
    throw UsageError{"expected NAME=VALUE, got \"" + text + "\""};
  }
  std::string name = text.substr(0, eq), value = text.substr(eq + 1);
  const std::string kInt = ":int";
  if (name.size() > kInt.size() &&
      name.compare(name.size() - kInt.size(), kInt.size(), kInt) == 0) {
    name.resize(name.size() - kInt.size());
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno == ERANGE || n < INT32_MIN || n > INT32_MAX) {
      throw UsageError{"\"" + value + "\" is not a 32-bit integer (for " + name + ")"};
    }
    return {name, Variant(static_cast<std::int32_t>(n))};
  }
  if (value == "true") return {name, Variant(true)};
  if (value == "false") return {name, Variant(false)};
  return {name, Variant(value)};
}

// The login name of the user running the tool ("" when it has none).
std::string LogonName() {
  char buffer[256];
  win::DWORD size = sizeof buffer;
  return win::GetUserNameA(buffer, &size) ? std::string(buffer) : std::string();
}

// "cannot read FILE", with why when the system said (errno right after a
// failed open or read; 0 when it said nothing).
std::string CannotRead(const std::string& file, int errnum) {
  return errnum == 0 ? "cannot read " + file : core::DescribeFileError("cannot read", file, errnum);
}

std::string ReadFile(const std::filesystem::path& file) {
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError{CannotRead(file.string(), errno)};
  errno = 0;  // so that a failed read reports its own cause
  std::string text = core::ReadAll(in);
  // A read that failed part-way must not pass for a shorter file.
  if (in.bad()) throw UsageError{CannotRead(file.string(), errno)};
  return text;
}

// The directory server's settings from provision's options; nullopt
// without --ldap.
std::optional<directory::LdapConfig> LdapOptions(std::vector<std::string>& args) {
  std::optional<std::string> uri = TakeOption(args, "--ldap");
  std::optional<std::string> base = TakeOption(args, "--base");
  std::optional<std::string> gc = TakeOption(args, "--gc");
  std::optional<std::string> bind_dn = TakeOption(args, "--bind-dn");
  std::optional<std::string> password_file = TakeOption(args, "--password-file");
  std::optional<std::string> ca_file = TakeOption(args, "--ca-file");
  const bool starttls = TakeFlag(args, "--starttls");
  const bool external = TakeFlag(args, "--sasl-external");
  if (!uri) {
    if (base || gc || bind_dn || password_file || ca_file || starttls || external) {
      throw UsageError{
          "--base, --gc, --bind-dn, --password-file, --ca-file, --starttls and "
          "--sasl-external go with --ldap URI"};
    }
    return std::nullopt;
  }
  if (!base) throw UsageError{"--ldap needs --base DN"};
  directory::LdapConfig c;
  c.uri = *uri;
  c.gc_uri = gc.value_or("");
  c.base = *base;
  if (bind_dn || password_file) c.bind = directory::LdapConfig::Bind::kSimple;
  if (external) c.bind = directory::LdapConfig::Bind::kSaslExternal;
  if (external && (bind_dn || password_file)) {
    throw UsageError{"--sasl-external binds without --bind-dn and --password-file"};
  }
  c.bind_dn = bind_dn.value_or("");
  // The settings are read from anywhere later: paths are made absolute.
  if (password_file) c.password_file = std::filesystem::absolute(*password_file);
  if (ca_file) c.ca_file = std::filesystem::absolute(*ca_file);
  c.starttls = starttls;
  if (bind_dn && !password_file) throw UsageError{"--bind-dn needs --password-file"};
  if (password_file && !bind_dn) throw UsageError{"--password-file needs --bind-dn"};
  const std::string problem = directory::LdapConfigProblem(c);
  if (!problem.empty()) throw UsageError{core::TerminalSafe(problem)};
  return c;
}

int Provision(std::vector<std::string> args, std::ostream& out, const std::filesystem::path& root) {
  std::optional<std::string> computer = TakeOption(args, "--computer");
  std::optional<std::string> domain = TakeOption(args, "--domain");
  std::optional<std::string> users = TakeOption(args, "--users");
  std::optional<directory::LdapConfig> ldap = LdapOptions(args);
  ExpectArgs(args, 0, 0, "");
  if (!computer) throw UsageError{"provision needs --computer NAME"};
  if (!domain) throw UsageError{"provision needs --domain DNS"};
  if (users && ldap) throw UsageError{"--users and --ldap exclude each other"};
  std::string problem = CheckComputerName(*computer);
  if (problem.empty()) problem = CheckDomainName(*domain);
  if (!problem.empty()) throw UsageError{problem};
  const Machine machine{core::LCase(*computer), core::LCase(*domain)};

  // Everything about the directory is checked before anything is written:
  // the server is asked for its persons now.
  RootPlan plan;
  if (ldap) {
    plan.directory = RootPlan::Directory::kLdap;
    plan.text = directory::FormatLdapConfig(*ldap);
    directory::LdapBackend server(*ldap, {machine.computer, machine.domain});
    plan.mailboxes = PlanMailboxes(PersonsWithMailboxes(server), machine);
  } else {
    plan.text = users ? ReadFile(*users) : DefaultUsersLdif(machine, LogonName());
    if (!plan.text.empty() && plan.text.back() != '\n') plan.text += "\n";
    plan.mailboxes = PlanMailboxes(
        directory::ParseLdif(plan.text, users ? *users : "the default directory"), machine);
  }
  for (const std::string& line : ProvisionRoot(root, machine, plan)) out << line << "\n";
  return kOk;
}

// Creates the mailboxes of persons homed here that have none yet, all in
// one transaction; a person whose alias cannot be used is reported and left
// out (status 1), the others still get theirs.
int SyncMailboxes(std::ostream& out, std::ostream& err) {
  const Machine machine = ThisMachine();
  directory::ServerRootBackend directory({machine.computer, machine.domain});
  const MailboxPlan plan = PlanHomedMailboxes(PersonsWithMailboxes(directory), machine);
  std::unique_ptr<Store> store = Store::Open();
  std::unordered_set<std::string> existing;
  for (const MailboxInfo& m : store->Mailboxes()) existing.insert(core::FoldCase(m.alias));
  std::vector<std::string> made;
  store->BeginTrans();
  for (const PlannedMailbox& m : plan.mailboxes) {
    if (existing.count(core::FoldCase(m.alias)) != 0) continue;
    made.push_back(store->AddMailbox(m.alias, m.inbox_name));
  }
  store->CommitTrans();
  for (const std::string& url : made) out << "mailbox " << url << "\n";
  for (const PlanProblem& p : plan.problems) {
    err << "zenthra-store: " << core::TerminalSafe(p.dn) << ": the alias \""
        << core::TerminalSafe(p.alias) << "\" " << core::TerminalSafe(p.what)
        << "; no mailbox made\n";
  }
  return plan.problems.empty() ? kOk : kFailed;
}

int MailboxCommand(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty()) throw UsageError{"mailbox needs a subcommand: add, list or sync"};
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "add") {
    std::optional<std::string> inbox = TakeOption(args, "--inbox-name");
    ExpectArgs(args, 1, 1, "mailbox add needs ALIAS");
    out << Store::Open()->AddMailbox(args[0], inbox.value_or("Inbox")) << "\n";
    return kOk;
  }
  if (sub == "list") {
    ExpectArgs(args, 0, 0, "");
    for (const MailboxInfo& m : Store::Open()->Mailboxes()) {
      out << core::TerminalSafe(m.alias) << "\t" << core::TerminalSafe(m.mailbox_store) << "\t"
          << core::TerminalSafe(m.url) << (m.is_system ? "\tsystem" : "") << "\n";
    }
    return kOk;
  }
  if (sub == "sync") {
    ExpectArgs(args, 0, 0, "");
    return SyncMailboxes(out, err);
  }
  throw UsageError{"unknown mailbox subcommand \"" + sub + "\""};
}

int Deliver(std::vector<std::string> args, std::istream& in, std::ostream& out, std::ostream& err) {
  ExpectArgs(args, 1, 2, "deliver needs ALIAS");
  std::string text;
  if (args.size() == 2) {
    if (std::filesystem::is_directory(args[1])) {
      throw RuntimeError(core::err::kFileNotFound, "cannot read " + args[1] + ": it is a folder");
    }
    errno = 0;
    std::ifstream file(args[1], std::ios::binary);
    if (!file) throw RuntimeError(core::err::kFileNotFound, CannotRead(args[1], errno));
    errno = 0;  // so that a failed read reports its own cause
    try {
      text = core::ReadAll(file);
    } catch (const std::exception& e) {
      throw RuntimeError(core::err::kFileNotFound, "cannot read " + args[1] + ": " + e.what());
    }
    if (file.bad()) throw RuntimeError(core::err::kFileNotFound, CannotRead(args[1], errno));
  } else {
    text = core::ReadAll(in);
  }
  if (text.empty()) {
    throw UsageError{"the message is empty (" +
                     (args.size() == 2 ? args[1] : std::string("standard input")) + ")"};
  }
  std::unique_ptr<Store> store = Store::Open();
  std::string url = store->Deliver(args[0], std::move(text));
  // The line says where the message is; event sinks may have filed it with
  // a commit that only a later one makes durable. The delivery itself is
  // durable already, so a failure here must not make the transport retry.
  try {
    store->Sync();
  } catch (const RuntimeError& e) {
    err << "zenthra-store: warning: " << core::TerminalSafe(e.Description()) << "\n";
  }
  out << url << "\n";
  return kOk;
}

int List(std::vector<std::string> args, std::ostream& out) {
  ExpectArgs(args, 1, 1, "ls needs URL");
  std::unique_ptr<Store> store = Store::Open();
  Item folder = store->Resolve(args[0]);
  if (!folder.is_folder) throw RuntimeError(core::err::kDbNotFound, "not a folder: " + args[0]);
  for (const Item& item : store->Children(folder.id)) {
    // The message text is not needed for the listing.
    adodb::FieldList props = store->Properties(item.id, false);
    const Variant* cls = Find(props, schema::kContentClass);
    const Variant* hidden = Find(props, schema::kIsHidden);
    std::string kind = item.is_folder                                       ? "folder"
                       : cls && cls->Equals(Variant(schema::kMessageClass)) ? "message"
                                                                            : "item";
    out << kind << "\t" << core::TerminalSafe(item.name);
    if (hidden && hidden->Type() == core::VarType::Boolean && hidden->AsBool()) out << "\thidden";
    out << "\n";
  }
  return kOk;
}

int Show(std::vector<std::string> args, std::ostream& out) {
  bool raw = TakeFlag(args, "--raw");
  ExpectArgs(args, 1, 1, "show needs URL");
  std::unique_ptr<Store> store = Store::Open();
  adodb::FieldList props = store->Properties(store->Resolve(args[0]).id);
  if (raw) {
    const Variant* content = Find(props, schema::kContent);
    if (!content) throw RuntimeError(core::err::kDbNotFound, "not a message: " + args[0]);
    out << content->AsString();
    return kOk;
  }
  for (const auto& [name, value] : props) {
    if (name == schema::kContent) {
      out << core::TerminalSafe(name) << " = (" << value.AsString().size()
          << " bytes; show --raw prints them)\n";
    } else {
      out << core::TerminalSafe(name) << " = " << ShowValue(value) << "\n";
    }
  }
  return kOk;
}

int Put(std::vector<std::string> args) {
  bool folder = TakeFlag(args, "--folder");
  bool replaceFolder = TakeFlag(args, "--replace-folder");
  ExpectArgs(args, 1, SIZE_MAX, "put needs URL and NAME=VALUE...");
  adodb::FieldList props;
  for (std::size_t i = 1; i < args.size(); ++i) props.push_back(ParseAssignment(args[i]));
  std::unique_ptr<Store> store = Store::Open();
  std::vector<std::string> names = store->Names(args[0]);
  std::string name = names.back();
  names.pop_back();
  if (names.empty()) throw RuntimeError(core::err::kDbPermissionDenied, "cannot put " + args[0]);
  store->BeginTrans();
  Item parent = store->Resolve(FileUrl(names));
  names.push_back(name);
  std::optional<Item> existing = store->Find(names);
  if (existing && existing->is_folder && !replaceFolder) {
    // Replacing a folder would drop everything below it: only on request.
    // Asked to be a folder, it keeps its content and takes the properties.
    if (!folder) {
      throw RuntimeError(core::err::kDbResourceExists,
                         args[0] +
                             " is a folder; put would replace it and everything below it "
                             "(use --folder to set its properties, --replace-folder to "
                             "replace it)");
    }
    store->Update(existing->id, props);
  } else if (folder && existing && !existing->is_folder) {
    throw RuntimeError(core::err::kDbResourceExists,
                       "an item that is no folder exists at " + args[0]);
  } else {
    // The store never drops a folder's content as a side effect of
    // overwriting it; asked to, the tool deletes it first, in the same
    // transaction.
    if (existing && existing->is_folder) store->Delete(existing->id);
    store->Create(parent.id, name, folder, ExistingItem::Replace, props);
  }
  store->CommitTrans();
  return kOk;
}

int Remove(std::vector<std::string> args) {
  ExpectArgs(args, 1, 1, "rm needs URL");
  std::unique_ptr<Store> store = Store::Open();
  store->Delete(store->Resolve(args[0]).id);
  return kOk;
}

int RunCommand(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
               std::ostream& err) {
  std::vector<std::string> args = arguments;
  try {
    if (TakeFlag(args, "--help") || TakeFlag(args, "-h")) {
      out << kUsageText;
      return kOk;
    }
    std::optional<std::string> root = TakeOption(args, "--root");
    if (root) {
      if (root->empty()) throw UsageError{"--root needs a folder"};
      core::SetServerRoot(*root);
    }
    if (args.empty()) throw UsageError{"no command given (try --help)"};
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "provision") {
      std::filesystem::path dir = root ? std::filesystem::path(*root) : core::ServerRoot();
      return Provision(args, out, dir);
    }
    if (command == "mailbox") return MailboxCommand(args, out, err);
    if (command == "deliver") return Deliver(args, in, out, err);
    if (command == "ls") return List(args, out);
    if (command == "show") return Show(args, out);
    if (command == "put") return Put(args);
    if (command == "rm") return Remove(args);
    throw UsageError{"unknown command \"" + command + "\" (try --help)"};
  } catch (const UsageError& e) {
    err << "zenthra-store: " << e.message << "\n";
    return kUsage;
  } catch (const RuntimeError& e) {
    err << "zenthra-store: " << core::TerminalSafe(e.Description()) << "\n";
    return kFailed;
  } catch (const std::exception& e) {
    err << "zenthra-store: " << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace

int Run(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
        std::ostream& err) {
  const int status = RunCommand(arguments, in, out, err);
  // A command leaves no connection behind: its caller may go on to move,
  // delete or remount the store's files.
  try {
    Session::ReleaseIdle(core::ServerRoot());
  } catch (const RuntimeError&) {
    // No root was configured, so no connection was made.
  }
  return status;
}

}  // namespace store::cli
