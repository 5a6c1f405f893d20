// Message analysis: what a mail client would show of an RFC 5322 message
// (headers, attachments), and the store's item name for a message.
//
// Analyze() is safe to call from several threads at once; the MIME parser is
// initialised once per process on first use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mime {

struct Attachment {
  std::string file_name;     // decoded, UTF-8; empty when the part names no file
  std::string content_type;  // "type/subtype", lower case, e.g. "text/plain"
};

struct MessageInfo {
  // False when the text could not be parsed as a message at all; then
  // has_attachment is false and the other fields are empty.
  bool parsed = false;
  bool has_attachment = false;
  // The attachments of the message itself, in document order. An attached
  // message (message/rfc822) is one attachment; its own parts are not listed.
  std::vector<Attachment> attachments;
  // Decoded header values, UTF-8; empty when the header is absent. from and
  // to are address lists as a reader sees them ("Name <a@b>, c@d");
  // message_id keeps its angle brackets ("<id@host>").
  std::string subject, from, to, message_id;
};

// Analyzes the message text. Never throws and never rejects input: malformed
// MIME still gives a best-effort result, undecodable names a best-effort text.
//
// A part is an attachment when it has Content-Disposition "attachment", or
// names a file (Content-Disposition filename, else Content-Type name) and is
// not the message's body text. Body text is a text part where the body stands
// (the whole message, the first part of a mixed body, an alternative) that
// names no file or is marked Content-Disposition "inline". Alternative bodies, inline body text,
// the images an HTML body shows inline (multipart/related parts with a Content-ID) and the
// signature of a signed message are not attachments.
MessageInfo Analyze(std::string_view rfc5322);

// The store's item name for a message with this subject: a file-system-safe
// stem (the characters / \ : * ? " < > | and control characters become "_",
// surrounding spaces are trimmed, at most 60 characters, "Untitled" when
// empty), then "-<attempt>" when attempt > 0, then ".EML".
// Callers choose a unique name by trying attempt 0, 1, 2, ... in turn.
std::string ItemName(std::string_view subject, int attempt);

}  // namespace mime
