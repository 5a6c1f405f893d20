#include "tools/zenthra-store/directory_seed.h"

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <unordered_map>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/url.h"

namespace store::cli {
namespace {

// "example.com" -> "DC=example,DC=com".
std::string DomainDn(const std::string& domain) {
  std::string dn;
  for (const std::string& label : core::Split(domain, ".")) {
    if (!dn.empty()) dn += ",";
    dn += "DC=" + label;
  }
  return dn;
}

std::string HomeServer(const std::string& computer) {
  return "/o=Zenthra/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=" +
         core::UCase(computer);
}

// An LDIF line: values that are not plain ASCII, or that start with a blank,
// a colon or "<", are written in base64 as the format demands.
void Line(std::ostringstream& out, std::string_view name, std::string_view value) {
  bool safe = !value.empty() && value.front() != ' ' && value.front() != ':' &&
              value.front() != '<' && value.back() != ' ';
  for (unsigned char c : value) safe = safe && c >= 0x20 && c < 0x7F;
  if (safe || value.empty()) {
    out << name << ": " << value << "\n";
    return;
  }
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(value.data()), value.size());
  out << name << ":: " << encoded << "\n";
  g_free(encoded);
}

// A stable 16-byte mailbox id from the alias, in base64.
std::string MailboxGuid(std::string_view alias) {
  std::uint64_t h1 = 1469598103934665603ull, h2 = 0x9E3779B97F4A7C15ull;
  for (unsigned char c : alias) {
    h1 = (h1 ^ c) * 1099511628211ull;
    h2 = (h2 ^ c) * 0x100000001B3ull + 0x7F4A7C15ull;
  }
  guchar bytes[16];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<guchar>(h1 >> (8 * i));
    bytes[8 + i] = static_cast<guchar>(h2 >> (8 * i));
  }
  gchar* encoded = g_base64_encode(bytes, sizeof bytes);
  std::string text(encoded);
  g_free(encoded);
  return text;
}

struct Person {
  std::string cn;
  std::string logon;
  std::string alias;  // empty: none
  std::string mail;   // empty: none
  std::string home;   // computer the mailbox is homed on
  bool disabled = false;
  std::string language;
};

void PersonRecord(std::ostringstream& out, const Machine& machine, const Person& p) {
  const std::string base = DomainDn(machine.domain);
  out << "\n";
  Line(out, "dn", "CN=" + p.cn + ",CN=Users," + base);
  out << "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
         "objectClass: user\n";
  Line(out, "cn", p.cn);
  Line(out, "sAMAccountName", p.logon);
  out << "objectCategory: CN=Person,CN=Schema,CN=Configuration," << base << "\n";
  out << "userAccountControl: " << (p.disabled ? 514 : 512) << "\n";
  if (!p.mail.empty()) Line(out, "mail", p.mail);
  if (!p.alias.empty()) Line(out, "mailNickName", p.alias);
  if (!p.language.empty()) Line(out, "preferredLanguage", p.language);
  Line(out, "msExchHomeServerName", HomeServer(p.home));
  out << "msExchMailboxGuid:: " << MailboxGuid(p.alias.empty() ? p.logon : p.alias) << "\n";
}

std::string FirstValue(const directory::Entry& e, std::string_view name) {
  const directory::Attribute* a = e.Find(name);
  return a == nullptr || a->values.empty() ? "" : a->values.front();
}

}  // namespace

std::string LocalisedInboxName(std::string_view language) {
  const std::string primary = core::LCase(core::Split(core::Split(language, "-")[0], "_")[0]);
  if (primary == "de") return "Posteingang";
  if (primary == "fr")
    return "Bo\xC3\xAEte de r\xC3\xA9"
           "ception";
  if (primary == "es") return "Bandeja de entrada";
  if (primary == "it") return "Posta in arrivo";
  if (primary == "nl") return "Postvak IN";
  if (primary == "pt") return "Caixa de entrada";
  return "Inbox";
}

std::string DefaultUsersLdif(const Machine& machine, std::string_view logonName) {
  const std::string& domain = machine.domain;
  const std::string other = machine.computer == "mail02" ? "mail03" : "mail02";
  const std::vector<Person> people = {
      {"Administrator", std::string(logonName), "administrator", "administrator@" + domain,
       machine.computer, false, ""},
      {"Anna Schmidt", "aschmidt", "aschmidt", "anna.schmidt@" + domain, machine.computer, false,
       "de"},
      {"\xC3\x89milie Dubois", "edubois", "edubois", "emilie.dubois@" + domain, machine.computer,
       false, "fr"},
      {"John Doe", "jdoe", "jdoe", "john.doe@" + domain, machine.computer, false, ""},
      {"Mary Major", "mmajor", "mmajor", "mary.major@" + domain, other, false, ""},
      {"Old Account", "oldacct", "oldacct", "old.account@" + domain, machine.computer, true, ""},
      {"Shared Scanner", "scanner", "scanner", "", machine.computer, false, ""},
  };
  std::ostringstream out;
  out << "# The directory of " << machine.DnsName() << ", written when it was provisioned.\n";
  out << "version: 1\n";
  for (const Person& p : people) PersonRecord(out, machine, p);
  return out.str();
}

std::string PeopleLdif(const Machine& machine, int count, int homed_here) {
  const std::string other = machine.computer == "mail02" ? "mail03" : "mail02";
  std::ostringstream out;
  out << "# " << count << " persons, " << homed_here << " homed on " << machine.DnsName()
      << ".\nversion: 1\n";
  for (int i = 1; i <= count; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", i);
    // Person i is homed here when the running share of homed persons grows
    // past a whole number, which spreads them evenly.
    const bool here = static_cast<long long>(i) * homed_here / count !=
                      static_cast<long long>(i - 1) * homed_here / count;
    const std::string id = std::string("p") + number;
    PersonRecord(out, machine,
                 {std::string("Person ") + number, id, id, id + "@" + machine.domain,
                  here ? machine.computer : other, false, ""});
  }
  return out.str();
}

std::string SystemMailboxLdif(const Machine& machine, const MailboxInfo& mailbox) {
  std::ostringstream out;
  const std::string base = DomainDn(machine.domain);
  out << "\n";
  Line(out, "dn", "CN=" + mailbox.alias + ",CN=Microsoft Exchange System Objects," + base);
  out << "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
         "objectClass: user\n";
  Line(out, "cn", mailbox.alias);
  Line(out, "sAMAccountName", mailbox.alias);
  out << "objectCategory: CN=Person,CN=Schema,CN=Configuration," << base << "\n";
  out << "userAccountControl: 514\n";
  Line(out, "mail", mailbox.alias + "@" + machine.domain);
  Line(out, "mailNickName", mailbox.alias);
  Line(out, "displayName", mailbox.mailbox_store);
  Line(out, "msExchHomeServerName", HomeServer(machine.computer));
  out << "msExchMailboxGuid:: " << MailboxGuid(mailbox.alias) << "\n";
  return out.str();
}

std::vector<directory::Entry> PersonsWithMailboxes(directory::Backend& backend) {
  directory::SearchRequest r;
  r.scheme = "GC";
  r.filter = "(&(objectCategory=person)(msExchMailboxGuid=*))";
  r.attributes = {"mailNickName", "msExchMailboxGuid", "msExchHomeServerName", "preferredLanguage"};
  r.page_size = 500;
  r.cache_results = false;
  r.chase_referrals = directory::kChaseAlways;
  return backend.Search(r).entries;
}

MailboxPlan PlanHomedMailboxes(const std::vector<directory::Entry>& entries,
                               const Machine& machine) {
  MailboxPlan plan;
  // Aliases compare without regard to case, as mailbox names do; the first
  // person of each alias, or -1 once a second one has turned up.
  std::unordered_map<std::string, std::ptrdiff_t> first;
  std::vector<const directory::Entry*> owners;
  for (const directory::Entry& e : entries) {
    const std::string alias = FirstValue(e, "mailNickName");
    if (alias.empty() || e.Find("msExchMailboxGuid") == nullptr) continue;
    if (core::StartsWith(alias, "SystemMailbox{", core::Compare::Text)) continue;
    // The home server is the value's last "CN=" component.
    const std::string home = core::UCase(FirstValue(e, "msExchHomeServerName"));
    const std::size_t p = core::InStrRev(home, "CN=");
    if (p == 0 || !core::EqualsNoCase(core::Mid(home, p + 3), machine.computer)) continue;
    std::string problem = CheckItemName(alias);
    if (problem.empty() && core::Trim(alias) != alias) problem = "it begins with a blank";
    if (!problem.empty()) {
      plan.problems.push_back({e.dn, alias, "cannot name a mailbox: " + problem});
      continue;
    }
    auto [it, added] =
        first.emplace(core::FoldCase(alias), static_cast<std::ptrdiff_t>(plan.mailboxes.size()));
    if (!added) {
      plan.problems.push_back({e.dn, alias, "is already used by another person"});
      if (it->second >= 0) {
        // Neither person can have it: which one is meant is not ours to guess.
        const std::size_t i = static_cast<std::size_t>(it->second);
        plan.problems.push_back(
            {owners[i]->dn, plan.mailboxes[i].alias, "is also the alias of \"" + e.dn + "\""});
        plan.mailboxes[i].alias.clear();
        it->second = -1;
      }
      continue;
    }
    plan.mailboxes.push_back({alias, LocalisedInboxName(FirstValue(e, "preferredLanguage"))});
    owners.push_back(&e);
  }
  std::erase_if(plan.mailboxes, [](const PlannedMailbox& m) { return m.alias.empty(); });
  return plan;
}

std::vector<PlannedMailbox> PlanMailboxes(const std::vector<directory::Entry>& entries,
                                          const Machine& machine) {
  MailboxPlan plan = PlanHomedMailboxes(entries, machine);
  if (!plan.problems.empty()) {
    const PlanProblem& p = plan.problems.front();
    throw core::RuntimeError(core::err::kInvalidProcedureCall,
                             "\"" + p.dn + "\": the alias \"" + p.alias + "\" " + p.what);
  }
  return std::move(plan.mailboxes);
}

}  // namespace store::cli
