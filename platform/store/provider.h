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
// Record.Open create options:
//   adFailIfNotExists (-1)     open; kDbNotFound when absent
//   adCreateNonCollection (0)  create an item; kDbResourceExists when taken
//   adCreateCollection         create a folder; kDbResourceExists when taken
//   | adOpenIfExists           open the existing item instead of failing
//   | adCreateOverwrite        replace the existing item (and its content)
// Mode adModeRead makes the record read-only (writes, moves and deletes are
// kDbReadOnly); every other mode may write.
//
// Recordset.Open runs the store's query language (store/query/query.h): the
// scopes' items are read through parameterised statements and the condition
// is evaluated here, so no query text reaches the database. Each row holds
// the selected properties (Null when an item lacks one) and DAV:href. A
// syntax error is kDbErrorsInCommand; an unknown scope is kDbNotFound.
#pragma once

#include <string_view>

#include "platform/ado/provider.h"

namespace store {

class Store;

inline constexpr const char* kProviderName = "ExOLEDB.DataSource";

void RegisterProvider();

// The query behind Recordset.Open, usable without the data-access objects.
adodb::Rowset RunQuery(Store& store, std::string_view text);

}  // namespace store
