// A wire that passes everything on to another and keeps a record: the
// endpoints connected to, every search sent and what its page brought. A
// hook runs after each page, so that a test can stop the server midway.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/directory/ldap_wire.h"

namespace directory::testing {

class RecordingWire : public LdapConnector {
 public:
  struct Page {
    WireSearch search;
    int result = 0;
    std::size_t entries = 0;
    std::optional<int> sort_result;
  };

  explicit RecordingWire(std::shared_ptr<LdapConnector> inner) : inner_(std::move(inner)) {}

  std::unique_ptr<LdapConnection> Connect(const Endpoint& endpoint) override {
    Endpoint seen = endpoint;
    seen.password = seen.password.empty() ? "" : "(given)";
    endpoints.push_back(seen);
    return std::make_unique<Connection>(inner_->Connect(endpoint), *this);
  }

  std::vector<Endpoint> endpoints;
  std::vector<Page> pages;
  std::function<void(std::size_t page)> after_page;

 private:
  class Connection : public LdapConnection {
   public:
    Connection(std::unique_ptr<LdapConnection> inner, RecordingWire& owner)
        : inner_(std::move(inner)), owner_(owner) {}
    WirePage Search(const WireSearch& search) override {
      WirePage page = inner_->Search(search);
      owner_.pages.push_back({search, page.result, page.entries.size(), page.sort_result});
      if (owner_.after_page) owner_.after_page(owner_.pages.size());
      return page;
    }

   private:
    std::unique_ptr<LdapConnection> inner_;
    RecordingWire& owner_;
  };

  std::shared_ptr<LdapConnector> inner_;
};

}  // namespace directory::testing
