// ZenthraModule: the sink's settings and the procedures that handle each
// phase of a store event.
//
// The settings are per thread: every store thread that runs the component
// has its own copy, set by the latest Construct on that thread, and nothing
// is locked. No procedure here lets an error escape to the store:
// OnSaveCommitted swallows every failure, the others do nothing that fails.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/interfaces.h"

namespace ZenthraModule {

// Path of the target folder below the mailbox root, components separated by
// "/"; a leading "inbox" component is resolved per event (dllFolders).
extern thread_local std::string strTargetFolder;
// File name of the marker attachment; empty leaves every message alone.
extern thread_local std::string strAttachmentName;
// Absolute store URL of the target folder, rebuilt on every delivered message.
extern thread_local std::string strTargetFolderURL;

// Begin phases allow the change; the sink never vetoes anything.
bool OnSaveBegin(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                 std::int32_t lFlags);
bool OnDeleteBegin(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                   std::int32_t lFlags);

// A message just delivered into an Inbox that carries an attachment named
// strAttachmentName (compared without regard to case) is moved into
// strTargetFolder of the same mailbox, which is created first when missing.
// The message keeps its identity and lands under a new, unique item name.
// A message no longer where it was delivered (filed by an earlier sink of
// the same delivery) is left alone, and a copy whose move failed is deleted
// again: a message is filed once, and is never in two places.
void OnSaveCommitted(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                     std::int32_t lFlags);

void OnSaveAborted(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                   std::int32_t lFlags);
void OnDeleteCommitted(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                       std::int32_t lFlags);
void OnDeleteAborted(com::IExStoreEventInfo* pEventInfo, const std::string& bstrURLItem,
                     std::int32_t lFlags);

}  // namespace ZenthraModule
