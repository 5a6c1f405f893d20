#include "tools/zenthra-lmtpd/recipients.h"

#include <memory>
#include <optional>
#include <vector>

#include "platform/ado/command.h"
#include "platform/ado/connection.h"
#include "platform/ado/recordset.h"
#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/directory/object.h"
#include "platform/store/store.h"

namespace lmtp {

namespace {

constexpr std::size_t kMaxCached = 10000;
constexpr const char* kMbx = "MBX";
constexpr const char* kSystemMailboxPrefix = "SystemMailbox{";

// A value between single quotes in a directory query: a doubled quote stays
// a quote, so an address cannot change what is searched for.
std::string QuoteLiteral(const std::string& text) { return core::Replace(text, "'", "''"); }

// The aliases of the persons whose mail is address, without repeats; an
// empty alias for a person without one.
std::vector<std::string> DirectoryAliases(const std::string& search_root,
                                          const std::string& address) {
  auto cnn = std::make_shared<adodb::Connection>();
  cnn->Provider("adsDSOobject");
  cnn->Open("Active Directory Provider", "", "", adodb::adConnectUnspecified);
  adodb::Command command;
  command.ActiveConnection(cnn);
  command.CommandText("SELECT mailNickName FROM '" + search_root +
                      "' WHERE objectCategory='person' AND mail='" + QuoteLiteral(address) + "'");
  command.Properties()["searchscope"].Value(core::Variant(std::int32_t{2}));
  adodb::RecordsetPtr rs = command.Execute(adodb::adCmdUnspecified);
  std::vector<std::string> aliases;
  for (; !rs->Eof(); rs->MoveNext()) {
    core::Variant alias = rs->Fields()["mailNickName"].Value();
    std::string text = alias.IsNull() || alias.IsEmpty() ? "" : alias.AsString();
    bool seen = false;
    for (const std::string& a : aliases) seen = seen || core::EqualsNoCase(a, text);
    if (!seen) aliases.push_back(text);
  }
  return aliases;
}

// The mailbox named alias as the store spells it, unless it is missing or a
// system mailbox.
std::optional<std::string> ExistingMailbox(store::Store& store, const std::string& alias) {
  if (core::StartsWith(alias, kSystemMailboxPrefix, core::Compare::Text)) return std::nullopt;
  std::optional<store::Item> item = store.Find({store.DomainFolder(), kMbx, alias});
  if (!item || !item->is_folder) return std::nullopt;
  return item->name;
}

}  // namespace

Recipients::Recipients(store::Machine machine, std::chrono::milliseconds ttl,
                       std::chrono::milliseconds unknown_ttl)
    : machine_(std::move(machine)), ttl_(ttl), unknown_ttl_(unknown_ttl) {}

Resolution Recipients::Resolve(const Address& address, store::Store& store) {
  const std::string key = core::FoldCase(address.Text());
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = cache_.find(key);
    if (it != cache_.end() && it->second.expires > now) return it->second.resolution;
  }
  Resolution result = Lookup(address, store);
  const std::chrono::milliseconds keep = result.kind == Resolution::kTemporary
                                             ? std::chrono::milliseconds(0)
                                         : result.kind == Resolution::kMailbox ? ttl_
                                                                               : unknown_ttl_;
  if (keep.count() > 0) {
    std::lock_guard<std::mutex> lock(mu_);
    if (cache_.size() >= kMaxCached) cache_.clear();
    cache_[key] = Cached{result, now + keep};
  }
  return result;
}

std::string Recipients::SearchRoot() {
  std::lock_guard<std::mutex> lock(mu_);
  if (search_root_.empty()) {
    search_root_ = "GC://" + directory::GetObject("GC://RootDSE")->Get("dnshostname").AsString();
  }
  return search_root_;
}

Resolution Recipients::Lookup(const Address& address, store::Store& store) {
  const std::string text = address.Text();
  std::vector<std::string> aliases;
  try {
    if (!address.domain.empty()) aliases = DirectoryAliases(SearchRoot(), text);
  } catch (const core::RuntimeError& e) {
    return {Resolution::kTemporary, "", "the directory failed: " + e.Description()};
  }
  try {
    if (!aliases.empty()) {
      // The person's own mailbox or none: the local part of a person's
      // address may well be another person's alias.
      std::vector<std::string> here;
      for (const std::string& alias : aliases) {
        if (alias.empty()) continue;
        if (std::optional<std::string> name = ExistingMailbox(store, alias)) here.push_back(*name);
      }
      if (here.size() == 1) return {Resolution::kMailbox, here[0], "directory"};
      if (here.empty()) {
        return {Resolution::kUnknown, "",
                "the directory's person for it has no mailbox here (alias \"" + aliases[0] + "\")"};
      }
      return {Resolution::kAmbiguous, "",
              "several persons with mailboxes here have it (" + here[0] + ", " + here[1] + ")"};
    }
    const bool local = address.domain.empty() ||
                       core::EqualsNoCase(address.domain, machine_.domain) ||
                       core::EqualsNoCase(address.domain, machine_.DnsName());
    if (!local) return {Resolution::kUnknown, "", "not a domain of this server"};
    if (std::optional<std::string> name = ExistingMailbox(store, address.local)) {
      return {Resolution::kMailbox, *name, "local part"};
    }
    return {Resolution::kUnknown, "", "no such mailbox"};
  } catch (const core::RuntimeError& e) {
    return {Resolution::kTemporary, "", "the store failed: " + e.Description()};
  }
}

}  // namespace lmtp
