// Message: a mail message read from the store, as CDO for Exchange offers it.
//
// A new Message is empty; DataSource()->Open loads one from an item. The
// attachments are those a mail client shows (see platform/mime/mime.h).
// A Message is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "platform/cdo/body_part.h"
#include "platform/cdo/data_source.h"
#include "platform/mime/mime.h"

namespace cdo {

// Class identity under which the component is known.
inline constexpr const char* kMessageClassId = "{CD000001-8B95-11D1-82DB-00C04FB1625D}";
inline constexpr const char* kMessageProgId = "CDO.Message";

class Message {
 public:
  Message() : data_source_(this) {}
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Never null: the data source lives as long as the message.
  IDataSource* DataSource() { return &data_source_; }
  BodyParts& Attachments() { return attachments_; }
  const BodyParts& Attachments() const { return attachments_; }

  // The decoded subject (UTF-8); "" when absent or before Open.
  const std::string& Subject() const { return subject_; }
  // The message text as loaded (RFC 5322 bytes); "" before Open.
  const std::string& Content() const { return content_; }
  bool IsLoaded() const { return loaded_; }

 private:
  friend class IDataSource;
  // Replaces the content and everything derived from it; analysed, when
  // given, is the analysis of exactly that content.
  void Load(std::string content, const mime::MessageInfo* analysed = nullptr);

  IDataSource data_source_;
  BodyParts attachments_;
  std::string subject_;
  std::string content_;
  bool loaded_ = false;
};

using MessagePtr = std::shared_ptr<Message>;

}  // namespace cdo
