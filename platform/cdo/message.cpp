#include "platform/cdo/message.h"

#include <utility>
#include <vector>

#include "platform/cdo/errors.h"
#include "platform/core/error.h"
#include "platform/mime/mime.h"

namespace cdo {

const IBodyPart& BodyParts::Item(std::int32_t index) const {
  if (index < 1 || index > Count()) {
    throw core::RuntimeError(err::kInvalidArg,
                             "Attachment index " + std::to_string(index) + " is out of range 1.." +
                                 std::to_string(Count()) + ".",
                             "CDO.BodyParts");
  }
  return parts_[static_cast<std::size_t>(index - 1)];
}

void Message::Load(std::string content, const mime::MessageInfo* analysed) {
  mime::MessageInfo info = analysed ? *analysed : mime::Analyze(content);
  std::vector<IBodyPart> parts;
  parts.reserve(info.attachments.size());
  for (mime::Attachment& a : info.attachments) {
    parts.emplace_back(std::move(a.file_name), std::move(a.content_type));
  }
  // Nothing below can throw, so a failed analysis never leaves half a message.
  attachments_.Assign(std::move(parts));
  subject_ = std::move(info.subject);
  content_ = std::move(content);
  loaded_ = true;
}

}  // namespace cdo
