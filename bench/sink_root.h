// Server roots for the delivery benchmarks: a folder below
// $ZENTHRA_BENCH_DIR (else the current folder; not /tmp, which may be
// memory-backed and make fsync free), Zenthra.dll installed as the setup
// program installs it, and optionally its registration in jdoe's Inbox.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/complus/catalog.h"
#include "platform/core/file_stamp.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "platform/store/url.h"

namespace bench {

inline constexpr const char* kMarker = "Quarantined Attachment.txt";

// A new empty folder for one benchmark's root.
inline std::filesystem::path NewDir(const std::string& prefix) {
  const char* base = std::getenv("ZENTHRA_BENCH_DIR");
  std::string tmpl = (std::filesystem::path(base ? base : ".") / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return std::filesystem::absolute(tmpl);
}

// A message of about lines * 78 bytes with one attachment, the marker when
// marked, "report.txt" otherwise.
inline std::string Message(const std::string& subject, bool marked, int lines = 260) {
  std::string line(76, 'x');
  std::string body;
  for (int i = 0; i < lines; ++i) body += line + "\r\n";
  std::string name = marked ? kMarker : "report.txt";
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
         "--B\r\nContent-Type: text/plain\r\n\r\n" +
         body + "--B\r\nContent-Type: text/plain; name=\"" + name +
         "\"\r\nContent-Disposition: attachment; filename=\"" + name + "\"\r\n\r\nx\r\n--B--\r\n";
}

// Writes the sink's registration item into the folder at inbox_url.
inline void RegisterSinkIn(store::Store& s, const std::string& inbox_url) {
  using core::Variant;
  namespace schema = store::schema;
  s.Create(s.Resolve(inbox_url).id, "Zenthra.reg", false, store::ExistingItem::Replace,
           {{schema::kContentClass, Variant(schema::kEventRegistrationClass)},
            {schema::kEventMethod, Variant("onsyncsave")},
            {schema::kSinkClass, Variant("Zenthra.ZenthraCls")},
            {schema::kMatchScope, Variant("SHALLOW")},
            {schema::kCriteria, Variant(" WHERE \"DAV:ishidden\" = FALSE")},
            {schema::kPriority, Variant("65500")},
            {schema::kIsHidden, Variant(true)}});
}

// Writes the sink's registration item into the Inbox of mailbox alias.
inline void RegisterSink(store::Store& s, const std::string& alias = "jdoe") {
  RegisterSinkIn(s, std::string(store::kFileUrlPrefix) + "example.com/MBX/" + alias + "/Inbox");
}

// Installs dll as the component "Zenthra" of the current server root
// (target "Spam", the marker), as the setup program does.
inline void InstallSinkComponent(const std::string& dll) {
  using core::Variant;
  complus::COMAdminCatalog catalog;
  complus::CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  apps->Populate();
  auto app = apps->Add();
  app->Value("Name", Variant("Zenthra"));
  app->Value("ApplicationAccessChecksEnabled", Variant(false));
  apps->SaveChanges();
  catalog.InstallComponent("Zenthra", dll, "", "");
  complus::CatalogCollectionPtr comps =
      apps->GetCollection("Components", Variant(core::UCase(app->Value("ID").AsString())));
  comps->Populate();
  comps->Item(0)->Value("ConstructionEnabled", Variant(true));
  comps->Item(0)->Value("ConstructorString", Variant(std::string("Spam\r") + kMarker + "\r65500"));
  comps->SaveChanges();
}

// Waits until the class registry and the component catalog below root have
// been left alone long enough for a process to keep what it read of them
// (core::FileStamp::Settled), as on a server whose component was not
// installed a moment ago; until then every activation reads them again.
inline void WaitUntilSettled(const std::filesystem::path& root) {
  for (const char* folder : {"com", "complus"}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder, ec)) {
      if (!entry.is_regular_file()) continue;
      for (;;) {
        std::optional<core::FileStamp> stamp = core::FileStamp::Of(entry.path());
        if (!stamp || stamp->Settled()) break;
        ::usleep(100 * 1000);
      }
    }
  }
}

// Provisions root, makes it the server root and installs dll there.
inline void InstallSink(const std::filesystem::path& root, const std::string& dll) {
  store::Provision(root, store::Machine{"bench", "example.com"});
  core::SetServerRoot(root);
  InstallSinkComponent(dll);
  WaitUntilSettled(root);
}

// InstallSink, then mailbox jdoe, with the sink registered in its Inbox when
// registered.
inline void PrepareSinkRoot(const std::filesystem::path& root, const std::string& dll,
                            bool registered) {
  InstallSink(root, dll);
  std::unique_ptr<store::Store> s = store::Store::Open(root);
  s->AddMailbox("jdoe");
  if (registered) RegisterSink(*s);
}

}  // namespace bench
