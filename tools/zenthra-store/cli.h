// zenthra-store, the store's command-line tool, as a function so that tests
// can run it in-process.
//
//   zenthra-store [--root DIR] provision --computer NAME --domain DNS [--users FILE.ldif]
//   zenthra-store [--root DIR] provision --computer NAME --domain DNS --ldap URI --base DN
//                 [--gc URI] [--bind-dn DN --password-file FILE | --sasl-external]
//                 [--starttls] [--ca-file FILE]
//   zenthra-store [--root DIR] mailbox add ALIAS [--inbox-name NAME]
//   zenthra-store [--root DIR] mailbox list
//   zenthra-store [--root DIR] mailbox sync
//   zenthra-store [--root DIR] deliver ALIAS [FILE]
//   zenthra-store [--root DIR] ls URL
//   zenthra-store [--root DIR] show [--raw] URL
//   zenthra-store [--root DIR] put [--folder] URL NAME=VALUE...
//   zenthra-store [--root DIR] rm URL
//
// The server root is --root DIR when given, else ZENTHRA_ROOT. Exit status 0
// on success, 1 when the store refused the operation, 2 on bad usage; every
// failure is one line on err naming what was wrong, and nothing is written.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace store::cli {

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

}  // namespace store::cli
