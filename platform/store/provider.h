// The store's data-access provider "ExOLEDB.DataSource".
//
// RegisterProvider() makes it known to the data-access objects; programs
// call it once at start (calling it again is harmless). The provider claims
// store URLs of both forms (url.h), so a Record opened on such a URL without
// a connection finds it.
//
// Connection.Open(url) succeeds when url names the domain folder, MBX, an
// existing mailbox or anything inside one; the store is the one of the
// server root (core::ServerRoot()) at the time of the call.
//
// Every connection and record of a thread shares the thread's session on the
// store (session.h); a connection's BeginTrans opens one level of its
// transactions, nested ones included, and closing or releasing the
// connection discards its levels.
//
// Record.Open create options:
//   adFailIfNotExists (-1)     open; kDbNotFound when absent
//   adCreateNonCollection (0)  create an item; kDbResourceExists when taken
//   adCreateCollection         create a folder; kDbResourceExists when taken
//   | adOpenIfExists           open the existing item instead of failing
//   | adCreateOverwrite        replace the existing item; a folder that holds
//                              items is never replaced (kDbResourceExists)
// Mode adModeRead makes the record read-only (writes, moves and deletes are
// kDbReadOnly); every other mode may write.
//
// Recordset.Open runs the store's query language (store/query/query.h): the
// scopes' items are read through parameterised statements and the condition
// is evaluated here, so no query text reaches the database. Each row holds
// the selected properties (Null when an item lacks one) and DAV:href. A
// syntax error is kDbErrorsInCommand; an unknown scope is kDbNotFound.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/ado/provider.h"
#include "platform/store/store.h"

namespace store {

inline constexpr const char* kProviderName = "ExOLEDB.DataSource";

void RegisterProvider();

// The query behind Recordset.Open, usable without the data-access objects.
adodb::Rowset RunQuery(Store& store, std::string_view text);

// The provider's side of a record bound to item by identity through store,
// so that a move keeps it bound and a rename by someone else does not lose
// it. Without writable every change is kDbReadOnly, the message saying why
// (read_only_reason, e.g. ": the record was opened read-only"). live, when
// given, ends the record's use once it turns false (kAdoObjectClosed).
std::unique_ptr<adodb::RecordSource> MakeRecordSource(std::shared_ptr<Store> store, Item item,
                                                      bool writable, std::string read_only_reason,
                                                      std::shared_ptr<const bool> live = nullptr);

}  // namespace store
