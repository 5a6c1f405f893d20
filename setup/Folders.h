// Folders: whether an item of a given name lies in a folder of a mailbox.
#pragma once

#include <string>

#include "platform/ado/connection.h"
#include "platform/ui/text_box.h"

namespace Folders {

// Looks for items whose DAV:displayname is itemName, one level deep in the
// folder folderName of the mailbox at baseUrl. folderName "inbox" (any case)
// stands for the mailbox's Inbox whatever it is called, found through the
// mailbox root's urn:schemas:httpmail:inbox field; any other folder name is
// joined to baseUrl with "/". extraCondition is appended to the query's WHERE
// clause as it stands (e.g. " AND \"DAV:ishidden\" = true").
//
// Returns 1 when at least one item matched, 0 when none did, -1 on any
// failure (unreachable URL, missing folder or Inbox field, rejected query).
// On failure, and only when log is true, an error log line is put at the top
// of txtErr, naming the folder URL once it is known, else baseUrl.
//
// cnn must be closed or null. A null cnn gets a connection for the length of
// the call and is null again afterwards; a given connection is opened on
// baseUrl and left closed in the caller's variable on every path, ready for
// the next call. Never throws core::RuntimeError.
int FolderItemExists(const std::string& baseUrl, const std::string& folderName,
                     const std::string& itemName, const std::string& extraCondition, bool log,
                     adodb::ConnectionPtr& cnn, ui::TextBox& txtErr);

// The query FolderItemExists runs. The folder URL and the item name are
// quoted so that no quote in them can change the query's meaning; names
// without quotes are inserted as they are.
std::string ItemQuery(const std::string& folderUrl, const std::string& itemName,
                      const std::string& extraCondition);

}  // namespace Folders
