// The directory a provisioned server starts with.
//
// A server root holds its directory as an LDIF file (directory/users.ldif).
// Provisioning writes it from the administrator's own LDIF, or from a small
// default one, and appends a record for each mailbox store's system mailbox,
// whose alias only the new store knows. Every person homed on this server
// with an alias then gets a store mailbox of that name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/backend.h"
#include "platform/directory/entry.h"
#include "platform/store/machine.h"
#include "platform/store/store.h"

namespace store::cli {

// A small directory: people homed on this server (one whose preferred
// language gives a localised Inbox, one disabled, one without e-mail
// address), one homed on another server, and the account logonName, so that
// the setup program can propose the running user's identity.
std::string DefaultUsersLdif(const Machine& machine, std::string_view logonName);

// A large directory for measurements: persons numbered 1 to count, of whom
// homed_here (spread evenly through the display-name order) are homed on
// this server and the rest on another. Person i is "Person <i>" with logon
// name and alias "p<i>" (six digits) and address "p<i>@<domain>".
std::string PeopleLdif(const Machine& machine, int count, int homed_here);

// The record of a mailbox store's system mailbox, homed on this server.
std::string SystemMailboxLdif(const Machine& machine, const MailboxInfo& mailbox);

// A mailbox to create for a person of the directory.
struct PlannedMailbox {
  std::string alias;
  std::string inbox_name;
};

// A person of the directory who gets no mailbox, and why.
struct PlanProblem {
  std::string dn;
  std::string alias;
  std::string what;  // e.g. "cannot name a mailbox: ..."
};

struct MailboxPlan {
  std::vector<PlannedMailbox> mailboxes;  // in the order of the entries
  std::vector<PlanProblem> problems;
};

// The mailboxes for the persons of entries homed on machine: those with an
// alias (mailNickName) and a mailbox (msExchMailboxGuid) whose home server's
// last "CN=" component names this computer. System mailboxes are left out:
// the store makes them. The Inbox takes the name a mail client of the
// person's preferredLanguage would show. A person whose alias cannot name a
// mailbox (store::CheckItemName, or a leading blank) gets none, and neither
// do persons who share an alias (without regard to case): each is a
// problem. Linear in the number of entries.
MailboxPlan PlanHomedMailboxes(const std::vector<directory::Entry>& entries,
                               const Machine& machine);

// The same, all or nothing: RuntimeError 5 naming the first problem's entry.
std::vector<PlannedMailbox> PlanMailboxes(const std::vector<directory::Entry>& entries,
                                          const Machine& machine);

// The persons with a mailbox that backend's catalog lists, with the
// attributes PlanHomedMailboxes reads, in pages (a large directory too).
std::vector<directory::Entry> PersonsWithMailboxes(directory::Backend& backend);

// The Inbox's name in a language ("de", "fr-CA", ...); "Inbox" when unknown.
std::string LocalisedInboxName(std::string_view language);

}  // namespace store::cli
