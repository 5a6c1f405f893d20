#include "sink/dllFolders.h"

#include <memory>
#include <vector>

#include "platform/ado/connection.h"
#include "platform/ado/record.h"
#include "platform/core/text.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "sink/ZenthraModule.h"
#include "sink/ignore.h"

namespace dllFolders {

namespace {

using zenthra::IgnoreErrors;

constexpr const char* kPropFolderFlag = "http://schemas.microsoft.com/mapi/proptag/x3fe6000b";

adodb::ConnectionPtr OpenConnection(const std::string& mailboxURL) {
  adodb::ConnectionPtr cnn;
  IgnoreErrors([&] { cnn = std::make_shared<adodb::Connection>(); });
  IgnoreErrors([&] { cnn->Provider(store::kProviderName); });
  IgnoreErrors([&] { cnn->Open(mailboxURL, "", "", -1); });
  return cnn;
}

void CloseConnection(adodb::ConnectionPtr& cnn) {
  IgnoreErrors([&] {
    if (cnn && cnn->State() == adodb::adStateOpen) cnn->Close();
  });
  cnn.reset();
}

}  // namespace

void ResolveInboxName(std::string mailboxURL) {
  using ZenthraModule::strTargetFolder;
  std::string path;
  std::string first;
  std::string rest;
  IgnoreErrors([&] { path = strTargetFolder; });
  adodb::ConnectionPtr cnn = OpenConnection(mailboxURL);
  adodb::RecordPtr rec;

  std::size_t p = core::InStr(path, "/");
  if (p < 1) {
    first = path;
  } else {
    first = core::Left(path, p - 1);
    rest = core::Mid(path, p);  // keeps its leading "/"
  }

  if (core::EqualsNoCase(first, "inbox")) {
    IgnoreErrors([&] {
      rec = std::make_shared<adodb::Record>();
      rec->Open(mailboxURL, cnn, adodb::adModeRead, adodb::adFailIfNotExists,
                adodb::adOpenRecordUnspecified, "", "");
    });
    bool hasFields = false;
    IgnoreErrors([&] { hasFields = rec && rec->Fields().Count() > 0; });
    if (hasFields) {
      std::string inboxURL;
      IgnoreErrors([&] { inboxURL = rec->Fields()[store::schema::kInbox].Value().AsString(); });
      // A trailing "/" would otherwise leave an empty name and send the
      // target folder to the mailbox root.
      if (core::Right(inboxURL, 1) == "/") inboxURL = core::Left(inboxURL, core::Len(inboxURL) - 1);
      std::size_t slash = core::InStrRev(inboxURL, "/");
      if (slash > 0 && slash < core::Len(inboxURL)) first = core::Mid(inboxURL, slash + 1);
    }
    IgnoreErrors([&] {
      if (rec && rec->State() == adodb::adStateOpen) rec->Close();
    });
  }

  IgnoreErrors([&] { strTargetFolder = first + rest; });
  rec.reset();
  CloseConnection(cnn);
}

void CreateFolderPath(std::string mailboxURL, const std::string& folderPath,
                      std::string& contentClass, bool& flag) {
  std::vector<std::string> pieces = core::Split(folderPath, "/");
  adodb::ConnectionPtr cnn = OpenConnection(mailboxURL);
  std::string current = mailboxURL;

  for (const std::string& piece : pieces) {
    std::string name = core::Trim(piece);
    if (name.empty()) continue;
    current += "/" + name;
    // Opening with adCreateCollection fails on a folder that exists, and
    // then nothing is written to it: an existing folder is never touched.
    auto rec = std::make_shared<adodb::Record>();
    bool created = false;
    IgnoreErrors([&] {
      rec->Open(current, cnn, adodb::adModeReadWrite, adodb::adCreateCollection,
                adodb::adOpenRecordUnspecified, "", "");
      created = true;
    });
    if (!created) continue;
    IgnoreErrors([&] { rec->Fields()[kPropFolderFlag].Value(core::Variant(flag)); });
    IgnoreErrors([&] { rec->Fields()[store::schema::kOutlookFolderClass].Value("IPF.Note"); });
    IgnoreErrors([&] { rec->Fields()[store::schema::kContentClass].Value(contentClass); });
    IgnoreErrors([&] { rec->Fields().Update(); });
    IgnoreErrors([&] { rec->Close(); });
  }

  IgnoreErrors([&] { ZenthraModule::strTargetFolderURL = current; });
  CloseConnection(cnn);
}

}  // namespace dllFolders
