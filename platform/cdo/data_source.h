// IDataSource: binds a message to an item of a data source.
//
// Works over adodb::Record, so any provider that binds the URL serves: with a
// null activeConnection the record finds the provider by the URL.
//
// Every failure throws core::RuntimeError; the message keeps its previous
// content and binding when an operation fails.
#pragma once

#include <string>

#include "platform/ado/connection.h"
#include "platform/ado/constants.h"

namespace cdo {

class Message;

class IDataSource {
 public:
  IDataSource(const IDataSource&) = delete;
  IDataSource& operator=(const IDataSource&) = delete;

  // Loads the message text of the existing item at source (its field
  // store::schema::kContent) and binds to it. createOptions must be
  // adFailIfNotExists (this data source never creates on Open; anything else
  // is 3001). An item without message text is cdo::err::kNoContent.
  void Open(const std::string& source, adodb::ConnectionPtr activeConnection = nullptr,
            adodb::ConnectModeEnum mode = adodb::adModeUnknown,
            adodb::RecordCreateOptionsEnum createOptions = adodb::adFailIfNotExists,
            adodb::RecordOpenOptionsEnum options = adodb::adOpenRecordUnspecified,
            const std::string& userName = "", const std::string& password = "");

  // Saves a copy of the message as a new item in the folder containerURL
  // under a name no other item there has (mime::ItemName of the subject:
  // "Subject.EML", then numbered ones, then random numbers; the provider
  // picks, see adodb::ProviderSession::CreateUniqueItem), with its content,
  // as one change, and binds to the copy. createOptions must be
  // adCreateNonCollection (3001 otherwise); the copy is always opened for
  // reading and writing, with mode's share flags. A missing folder fails
  // with the provider's error; when no free name turns up the error is
  // cdo::err::kNoUniqueName.
  void SaveToContainer(const std::string& containerURL,
                       adodb::ConnectionPtr activeConnection = nullptr,
                       adodb::ConnectModeEnum mode = adodb::adModeUnknown,
                       adodb::RecordCreateOptionsEnum createOptions = adodb::adCreateNonCollection,
                       adodb::RecordOpenOptionsEnum options = adodb::adOpenRecordUnspecified,
                       const std::string& userName = "", const std::string& password = "");

  // The URL of the item the message is bound to; "" before the first Open.
  const std::string& SourceURL() const { return source_url_; }

 private:
  friend class Message;
  explicit IDataSource(Message* message) : message_(message) {}

  Message* message_;
  std::string source_url_;
};

}  // namespace cdo
