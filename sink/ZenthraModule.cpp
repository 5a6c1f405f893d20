#include "sink/ZenthraModule.h"

#include "platform/ado/record.h"
#include "platform/cdo/message.h"
#include "platform/core/text.h"
#include "platform/store/fsview.h"
#include "platform/store/schema.h"
#include "sink/dllFolders.h"
#include "sink/ignore.h"

namespace ZenthraModule {

thread_local std::string strTargetFolder = "Spam";
thread_local std::string strAttachmentName;
thread_local std::string strTargetFolderURL;

using core::InStrRev;
using core::Left;
using core::Replace;

bool OnSaveBegin(com::IExStoreEventInfo*, const std::string&, std::int32_t) { return true; }
bool OnDeleteBegin(com::IExStoreEventInfo*, const std::string&, std::int32_t) { return true; }
void OnSaveAborted(com::IExStoreEventInfo*, const std::string&, std::int32_t) {}
void OnDeleteCommitted(com::IExStoreEventInfo*, const std::string&, std::int32_t) {}
void OnDeleteAborted(com::IExStoreEventInfo*, const std::string&, std::int32_t) {}

namespace {

void RemoveCopy(const std::string& copyURL) {
  zenthra::IgnoreErrors([&] {
    adodb::Record copy;
    copy.Open(copyURL, nullptr, adodb::adModeReadWrite, adodb::adFailIfNotExists,
              adodb::adOpenRecordUnspecified, "", "");
    copy.DeleteRecord("", false);
  });
}

}  // namespace

void OnSaveCommitted(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                     std::int32_t lFlags) {
  // One trap for the whole procedure: the first failure ends it, and the
  // store's save stands as it is.
  try {
    com::Ptr<com::IExStoreDispEventInfo> dispInfo =
        com::Ptr<com::IUnknown>(pEventInfo).As<com::IExStoreDispEventInfo>();
    if (!dispInfo) return;
    adodb::RecordPtr rec = dispInfo->EventRecord();
    if (!rec) return;

    // Only a message the store has just delivered.
    if (!((lFlags & com::EVT_IS_DELIVERED) > 0 && (lFlags & com::EVT_IS_COLLECTION) == 0)) return;

    // A message that an earlier sink of the same delivery has filed already
    // (registrations that overlap) is no longer where it was delivered: it
    // is left alone, so that it is filed once, into its own mailbox.
    if (!core::EqualsNoCase(rec->Source(), bstrURLItem)) return;

    // The mailbox is the parent of the folder that holds the item. Only the
    // scheme goes: a mailbox may well be called "file:jdoe".
    std::string folderPath = Replace(rec->ParentURL(), "/", "\\");
    if (core::StartsWith(folderPath, "file:")) folderPath = core::Mid(folderPath, 6);
    std::size_t a = InStrRev(folderPath, "\\");
    if (a == 0) return;
    if (strTargetFolder.empty()) return;
    const std::string mailboxPath = Left(folderPath, a);
    const std::string mailboxURL = "file:" + Replace(Left(folderPath, a - 1), "\\", "/");

    dllFolders::ResolveInboxName(mailboxURL);
    strTargetFolderURL = "file:" + Replace(mailboxPath, "\\", "/") + strTargetFolder;

    // The folder is made sure of before the attachments are looked at, so
    // the first delivered message creates it whatever it carries. The
    // namespace's separator is "\", which the folder path spells "/".
    if (store::Dir(mailboxPath + Replace(strTargetFolder, "/", "\\"), store::kDirectory).empty()) {
      std::string contentClass = store::schema::kMailFolderClass;
      bool flag = false;
      dllFolders::CreateFolderPath(mailboxURL, strTargetFolder, contentClass, flag);
    }

    if (strAttachmentName.empty()) return;
    if (!rec->Fields()[store::schema::kHasAttachment].Value().Equals(core::Variant(true))) return;

    cdo::Message message;
    cdo::IDataSource* dataSource = message.DataSource();
    if (!dataSource) return;
    dataSource->Open(rec->Source(), nullptr, adodb::adModeReadWrite, adodb::adFailIfNotExists,
                     static_cast<adodb::RecordOpenOptionsEnum>(0), "", "");

    for (const cdo::IBodyPart& attachment : message.Attachments()) {
      if (!core::EqualsNoCase(attachment.FileName(), strAttachmentName)) continue;
      // The copy gets a name that is new in the target folder; the delivered
      // message then takes the copy's place, so it keeps its identity and
      // never overwrites an older message of the same name.
      dataSource->SaveToContainer(strTargetFolderURL, nullptr, adodb::adModeUnknown,
                                  adodb::adCreateNonCollection,
                                  static_cast<adodb::RecordOpenOptionsEnum>(0), "", "");
      std::string copyURL;
      copyURL = dataSource->SourceURL();
      if (!copyURL.empty()) {
        try {
          rec->Close();
          rec->Open(bstrURLItem, nullptr, adodb::adModeReadWrite, adodb::adFailIfNotExists,
                    adodb::adOpenRecordUnspecified, "", "");
          rec->MoveRecord("", copyURL, "", "", adodb::adMoveOverWrite, false);
        } catch (...) {
          // The message stays in the Inbox, so its copy must not stay too.
          RemoveCopy(copyURL);
          throw;
        }
      }
      break;
    }
  } catch (...) {
  }
}

}  // namespace ZenthraModule
