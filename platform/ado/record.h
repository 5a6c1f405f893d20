// Record: one item or folder of a hierarchical data source.
//
// Open binds the record to source, through activeConnection or, when that is
// null, through a connection of its own opened on the provider that binds the
// URL. Every member but Open and State is 3704 on a closed record; Open on an
// open record is 3705.
#pragma once

#include <memory>
#include <string>

#include "platform/ado/connection.h"
#include "platform/ado/fields.h"

namespace adodb {

class Record {
 public:
  Record();
  ~Record();
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  void Open(const std::string& source, ConnectionPtr activeConnection = nullptr,
            ConnectModeEnum mode = adModeUnknown,
            RecordCreateOptionsEnum createOptions = adFailIfNotExists,
            RecordOpenOptionsEnum options = adOpenRecordUnspecified,
            const std::string& userName = "", const std::string& password = "");
  // Creates a new item in the folder folderUrl under a name the provider
  // picks from names, with properties, as one change, and opens the record
  // on it (ProviderSession::CreateUniqueItem). The connection is found as
  // Open finds it.
  void CreateUnique(const std::string& folderUrl, const ItemNames& names,
                    const FieldList& properties, ConnectionPtr activeConnection = nullptr,
                    ConnectModeEnum mode = adModeReadWrite,
                    RecordOpenOptionsEnum options = adOpenRecordUnspecified,
                    const std::string& userName = "", const std::string& password = "");
  void Close();
  ObjectStateEnum State() const;

  adodb::Fields& Fields();
  std::string Source() const;
  std::string ParentURL() const;
  RecordTypeEnum RecordType() const;
  ConnectionPtr ActiveConnection() const;

  // Moves the item (source "" = this record's own item) and returns the
  // destination URL. The record stays open on the moved item.
  std::string MoveRecord(const std::string& source, const std::string& destination,
                         const std::string& userName = "", const std::string& password = "",
                         MoveRecordOptionsEnum options = adMoveUnspecified, bool async = false);
  // Deletes the item (source "" = this record's own item) and closes the
  // record when it was its own item.
  void DeleteRecord(const std::string& source = "", bool async = false);

  // For providers: binds an already open source to this closed record, e.g.
  // the record of an event. connection may be null.
  void Attach(std::unique_ptr<RecordSource> source, ConnectionPtr connection);

 private:
  friend class Connection;
  void CheckOpen() const;
  // Binds source and connection and loads the fields; registers with the
  // connection so that closing it closes this record first.
  void Bind(std::unique_ptr<RecordSource> source, ConnectionPtr connection, bool own);
  // Releases the source and the connection, closing an own connection when
  // close_own_connection (false when that connection is closing itself).
  void Unbind(bool close_own_connection);
  // Reads the source's fields again (values it defers are read when asked).
  void LoadFields();
  // The connection Open and CreateUnique use: activeConnection, or one of
  // the record's own on the provider that binds url (own is then true).
  static ConnectionPtr ConnectionFor(const std::string& url, ConnectionPtr activeConnection,
                                     const std::string& userName, const std::string& password,
                                     bool* own);
  // Opens another item of this record's data source, for MoveRecord and
  // DeleteRecord on a source other than the record's own item. keep_alive
  // receives the connection opened for it when the record has none.
  std::unique_ptr<RecordSource> OpenOther(const std::string& url, ConnectionPtr* keep_alive) const;

  adodb::Fields fields_;
  std::unique_ptr<RecordSource> source_;
  ConnectionPtr connection_;
  bool own_connection_ = false;
};

using RecordPtr = std::shared_ptr<Record>;

}  // namespace adodb
