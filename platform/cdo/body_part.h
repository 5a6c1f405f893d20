// The body parts of a message that are its attachments.
//
// BodyParts is read-only and 1-based, as the collection is in scripts:
// Item(1) .. Item(Count()); any other index is error cdo::err::kInvalidArg.
// Range-for walks the parts in document order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cdo {

class Message;

class IBodyPart {
 public:
  IBodyPart(std::string fileName, std::string contentMediaType)
      : file_name_(std::move(fileName)), content_media_type_(std::move(contentMediaType)) {}

  // The decoded file name (UTF-8); "" when the part names no file.
  const std::string& FileName() const { return file_name_; }
  // "type/subtype" in lower case, e.g. "text/plain".
  const std::string& ContentMediaType() const { return content_media_type_; }

 private:
  std::string file_name_;
  std::string content_media_type_;
};

class BodyParts {
 public:
  using const_iterator = std::vector<IBodyPart>::const_iterator;

  std::int32_t Count() const { return static_cast<std::int32_t>(parts_.size()); }
  const IBodyPart& Item(std::int32_t index) const;

  const_iterator begin() const { return parts_.begin(); }
  const_iterator end() const { return parts_.end(); }

 private:
  friend class Message;
  void Assign(std::vector<IBodyPart> parts) { parts_ = std::move(parts); }

  std::vector<IBodyPart> parts_;
};

}  // namespace cdo
