// dllFolders: the target folder's name and creation, on the store.
//
// Both procedures open a store connection of their own for the call, ignore
// every failure statement by statement and always return normally.
#pragma once

#include <string>

namespace dllFolders {

// When strTargetFolder's first component is "inbox" (any case), replaces it
// with the name of the mailbox's own Inbox, read from the mailbox root's
// urn:schemas:httpmail:inbox. Any other path, or a lookup that fails, leaves
// strTargetFolder unchanged. mailboxURL has no trailing "/".
void ResolveInboxName(std::string mailboxURL);

// Creates, one level at a time below mailboxURL, every folder of folderPath
// ("/"-separated; blank components skipped, the others trimmed) that does
// not exist yet, as a mail folder ("IPF.Note", content class contentClass,
// property 0x3FE6000B = flag). Existing folders are left untouched. Sets
// strTargetFolderURL to the URL of the last folder of the path.
void CreateFolderPath(std::string mailboxURL, const std::string& folderPath,
                      std::string& contentClass, bool& flag);

}  // namespace dllFolders
