// MachineFacts: what the directory needs to know about the computer it runs
// on. They are recorded elsewhere (with the mail store) and handed in, so the
// directory never guesses them.
#pragma once

#include <string>

namespace directory {

struct MachineFacts {
  std::string short_name;  // the computer's short (NetBIOS) name
  std::string dns_domain;  // the DNS name of its domain, e.g. "example.com"

  // short_name + "." + dns_domain; the short name alone without a domain.
  std::string DnsHostName() const {
    return dns_domain.empty() ? short_name : short_name + "." + dns_domain;
  }
};

}  // namespace directory
