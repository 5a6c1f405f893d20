// Items: the hidden registration items that bind the event sink to a folder.
//
// A registration item lies in the folder whose saves it subscribes to: a
// mailbox's Inbox (folder name "inbox", matched without regard to case and
// found through the mailbox root's urn:schemas:httpmail:inbox field, so a
// localised Inbox works) or, store-wide, the system mailbox's folder
// "StoreEvents/GlobalEvents" (any other folder name is joined to the base URL
// with "/"). Each call opens its own store connection and releases it before
// returning. Neither function throws core::RuntimeError: failures are
// reported by the result and, when log is true, by an error log line at the
// top of txtErr whose context is baseUrl.
#pragma once

#include <string>

#include "platform/ui/text_box.h"

namespace Items {

// Writes folder/itemName, replacing any item of that name with its content,
// with these properties in this order: DAV:contentclass
// "urn:content-class:storeeventreg", the event method, sink class, match
// scope, criteria and priority as given (all strings; the priority stays
// text) and DAV:ishidden True. The item is written in one transaction, so a
// failure leaves no half-written item. Returns the folder URL used, or ""
// on failure.
std::string CreateRegistrationItem(const std::string& baseUrl, const std::string& folderName,
                                   const std::string& itemName, const std::string& eventMethod,
                                   const std::string& sinkClass, const std::string& matchScope,
                                   const std::string& criteria, const std::string& priority,
                                   bool log, ui::TextBox& txtErr);

// Deletes folder/itemName. True when it was deleted; False on failure, a
// missing item included.
bool DeleteRegistrationItem(const std::string& baseUrl, const std::string& folderName,
                            const std::string& itemName, bool log, ui::TextBox& txtErr);

}  // namespace Items
