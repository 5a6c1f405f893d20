#include "platform/directory/ldif_backend.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unordered_map>

#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/filter.h"
#include "platform/directory/ldif.h"
#include "platform/directory/path.h"

namespace directory {

struct LdifBackend::Data {
  std::filesystem::path path;
  std::filesystem::file_time_type mtime;
  std::uintmax_t size = 0;
  std::vector<Entry> entries;                          // without the root entry
  std::vector<std::string> names;                      // NormalizeDn of each entry
  std::unordered_map<std::string, std::size_t> index;  // name -> entry
  Entry root;
  std::string host;  // the catalog host; may be empty
};

std::filesystem::path DefaultLdifPath(const std::filesystem::path& server_root) {
  return server_root / "directory" / "users.ldif";
}

LdifBackend::LdifBackend(MachineFacts facts, std::filesystem::path file)
    : facts_(std::move(facts)), file_(std::move(file)) {}

LdifBackend::~LdifBackend() = default;

namespace {

std::string DcForm(std::string_view dns_domain) {
  std::string out;
  for (const std::string& label : core::Split(dns_domain, ".")) {
    if (label.empty()) continue;
    if (!out.empty()) out += ',';
    out += "DC=" + label;
  }
  return out;
}

}  // namespace

std::shared_ptr<const LdifBackend::Data> LdifBackend::Load() {
  std::filesystem::path path = file_.empty() ? DefaultLdifPath(core::ServerRoot()) : file_;
  std::error_code ec;
  auto mtime = std::filesystem::last_write_time(path, ec);
  std::uintmax_t size = ec ? 0 : std::filesystem::file_size(path, ec);
  if (ec) Raise(err::kServerDown, "(no directory data at " + path.string() + ")");

  std::lock_guard<std::mutex> lock(mu_);
  if (cache_ && cache_->path == path && cache_->mtime == mtime && cache_->size == size) {
    return cache_;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) Raise(err::kServerDown, "(cannot read " + path.string() + ")");

  auto data = std::make_shared<Data>();
  data->path = path;
  data->mtime = mtime;
  data->size = size;
  Entry file_root;
  for (Entry& e : ParseLdif(text.str(), path.string())) {
    std::string name = NormalizeDn(e.dn);
    if (name.empty()) {
      file_root = std::move(e);
      continue;
    }
    data->index.emplace(name, data->entries.size());
    data->names.push_back(std::move(name));
    data->entries.push_back(std::move(e));
  }
  if (!facts_.short_name.empty()) data->root.Add("dnsHostName", facts_.DnsHostName());
  if (!facts_.dns_domain.empty()) {
    data->root.Add("defaultNamingContext", DcForm(facts_.dns_domain));
    data->root.Add("rootDomainNamingContext", DcForm(facts_.dns_domain));
  }
  // What the file says of its root entry wins over what the facts imply.
  for (Attribute& a : file_root.attributes) {
    auto it = std::find_if(data->root.attributes.begin(), data->root.attributes.end(),
                           [&](const Attribute& r) { return core::EqualsNoCase(r.name, a.name); });
    if (it != data->root.attributes.end()) {
      it->values = std::move(a.values);
    } else {
      data->root.attributes.push_back(std::move(a));
    }
  }
  if (const Attribute* h = data->root.Find("dnsHostName"); h && !h->values.empty()) {
    data->host = h->values[0];
  }
  cache_ = data;
  return cache_;
}

void LdifBackend::CheckHost(const Data& data, std::string_view host) const {
  if (host.empty()) return;
  std::string_view name = HostName(host);
  if (!data.host.empty() && core::EqualsNoCase(name, data.host)) return;
  if (!facts_.short_name.empty() && core::EqualsNoCase(name, facts_.short_name)) return;
  Raise(err::kServerDown,
        "(" + std::string(host) + " is not a catalog served here" +
            (data.host.empty() ? std::string() : "; the catalog is " + data.host) + ")");
}

SearchResult LdifBackend::Search(const SearchRequest& request) {
  std::shared_ptr<const Data> data = Load();
  CheckHost(*data, request.host);
  Filter filter = ParseFilter(request.filter);
  std::string base = NormalizeDn(request.base_dn);
  // A container need not be written out: entries below it imply it.
  if (!base.empty() && data->index.count(base) == 0 &&
      std::none_of(data->names.begin(), data->names.end(),
                   [&](const std::string& n) { return DnWithin(n, base); })) {
    Raise(err::kNoSuchObject, "(" + request.base_dn + ")");
  }
  std::size_t base_depth = DnDepth(base);

  std::vector<const Entry*> found;
  for (std::size_t i = 0; i < data->entries.size(); ++i) {
    const std::string& name = data->names[i];
    bool in_scope = false;
    switch (request.scope) {
      case SearchScope::kBase:
        in_scope = name == base;
        break;
      case SearchScope::kOneLevel:
        in_scope = DnWithin(name, base) && DnDepth(name) == base_depth + 1;
        break;
      case SearchScope::kSubtree:
        in_scope = DnWithin(name, base);
        break;
    }
    if (in_scope && Matches(filter, data->entries[i])) found.push_back(&data->entries[i]);
  }

  SortEntries(found, request.sort);
  SearchResult result;
  if (request.size_limit > 0 && found.size() > static_cast<std::size_t>(request.size_limit)) {
    found.resize(static_cast<std::size_t>(request.size_limit));
    result.size_limit_exceeded = true;
  }

  std::vector<Entry>& out = result.entries;
  out.reserve(found.size());
  for (const Entry* e : found) {
    if (request.attributes.empty()) {
      out.push_back(*e);
      continue;
    }
    Entry projected{e->dn, {}};
    for (const std::string& want : request.attributes) {
      const Attribute* a = e->Find(want);
      if (a && !projected.Find(want)) projected.attributes.push_back(*a);
    }
    out.push_back(std::move(projected));
  }
  return result;
}

std::optional<Entry> LdifBackend::Read(std::string_view scheme, std::string_view host,
                                       std::string_view dn) {
  (void)scheme;
  std::shared_ptr<const Data> data = Load();
  CheckHost(*data, host);
  std::string name = NormalizeDn(dn);
  auto it = data->index.find(name);
  if (it == data->index.end()) return std::nullopt;
  return data->entries[it->second];
}

Entry LdifBackend::RootDse(std::string_view scheme, std::string_view host) {
  (void)scheme;
  std::shared_ptr<const Data> data = Load();
  CheckHost(*data, host);
  return data->root;
}

}  // namespace directory
