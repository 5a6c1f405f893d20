#include "platform/mime/mime.h"

#include <gmime/gmime.h>

#include <cstdint>
#include <mutex>
#include <new>

#include "platform/core/text.h"

namespace mime {
namespace {

// Nesting deeper than this is not mail a client would display; the walk
// stops there instead of risking the stack on hostile input.
constexpr int kMaxDepth = 64;

// Header text that declares no charset is tried as UTF-8 first, then as the
// Windows Western code page most such mail was written in.
const char* kFallbackCharsets[] = {"utf-8", "windows-1252", nullptr};

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// GObject references released on scope exit.
template <typename T>
struct Ref {
  T* p = nullptr;
  explicit Ref(T* ptr) : p(ptr) {}
  ~Ref() {
    if (p != nullptr) g_object_unref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
};

struct CharPtr {
  char* p;
  explicit CharPtr(char* ptr) : p(ptr) {}
  ~CharPtr() { g_free(p); }
  CharPtr(const CharPtr&) = delete;
  CharPtr& operator=(const CharPtr&) = delete;
};

struct OptionsPtr {
  GMimeParserOptions* p;
  OptionsPtr() : p(g_mime_parser_options_new()) {}
  ~OptionsPtr() { g_mime_parser_options_free(p); }
  OptionsPtr(const OptionsPtr&) = delete;
  OptionsPtr& operator=(const OptionsPtr&) = delete;
};

// Decoded values are meant to be UTF-8 already; anything GMime could not
// convert is repaired here so callers never see broken text.
std::string Utf8(const char* s) {
  if (s == nullptr) return {};
  if (g_utf8_validate(s, -1, nullptr)) return s;
  CharPtr fixed(g_utf8_make_valid(s, -1));
  return fixed.p;
}

bool IsType(GMimeObject* obj, const char* type, const char* subtype) {
  GMimeContentType* ct = g_mime_object_get_content_type(obj);
  return ct != nullptr && g_mime_content_type_is_type(ct, type, subtype);
}

std::string MediaType(GMimeObject* obj) {
  GMimeContentType* ct = g_mime_object_get_content_type(obj);
  if (ct == nullptr) return "application/octet-stream";
  CharPtr type(g_mime_content_type_get_mime_type(ct));
  std::string out = type.p != nullptr ? type.p : "application/octet-stream";
  for (char& c : out) c = g_ascii_tolower(c);
  return out;
}

// Content-Disposition filename, else Content-Type name; GMime has already
// undone RFC 2231 and RFC 2047 encodings.
std::string FileName(GMimeObject* obj) {
  const char* name = g_mime_object_get_content_disposition_parameter(obj, "filename");
  if (name == nullptr || *name == '\0')
    name = g_mime_object_get_content_type_parameter(obj, "name");
  return Utf8(name);
}

bool IsAttachmentDisposition(GMimeObject* obj) {
  const char* disposition = g_mime_object_get_disposition(obj);
  return disposition != nullptr && g_ascii_strcasecmp(disposition, "attachment") == 0;
}

bool IsInline(GMimeObject* obj) {
  const char* disposition = g_mime_object_get_disposition(obj);
  return disposition != nullptr && g_ascii_strcasecmp(disposition, "inline") == 0;
}

// Where a part stands: in the message's body (where text is what the reader
// sees as the message) or anywhere else.
enum class Position { kBody, kOther };

class Walker {
 public:
  explicit Walker(std::vector<Attachment>* out) : out_(out) {}

  void Walk(GMimeObject* obj, Position pos, int depth) {
    if (obj == nullptr || depth > kMaxDepth) return;
    if (GMIME_IS_MESSAGE_PART(obj)) {
      // An attached message is one attachment; its own parts belong to it.
      Add(obj);
      return;
    }
    if (GMIME_IS_MULTIPART(obj)) {
      WalkMultipart(GMIME_MULTIPART(obj), pos, depth);
      return;
    }
    if (IsAttachmentDisposition(obj)) {
      Add(obj);
      return;
    }
    if (FileName(obj).empty()) return;
    // Text where the body stands is the body even with a name, when it says
    // it is shown inline. Without that word a named part is a file: that is
    // how a scanner's marker looks after it replaced the message's only part.
    const bool body_text = pos == Position::kBody && IsType(obj, "text", "*") && IsInline(obj);
    if (!body_text) Add(obj);
  }

 private:
  void WalkMultipart(GMimeMultipart* mp, Position pos, int depth) {
    GMimeObject* obj = GMIME_OBJECT(mp);
    const int count = g_mime_multipart_get_count(mp);
    if (GMIME_IS_MULTIPART_SIGNED(mp)) {
      // The signature is the sender's proof, not something sent along.
      if (count > 0) Walk(g_mime_multipart_get_part(mp, 0), pos, depth + 1);
      return;
    }
    if (IsType(obj, "multipart", "alternative")) {
      // Every alternative is a rendering of the same body.
      for (int i = 0; i < count; ++i) Walk(g_mime_multipart_get_part(mp, i), pos, depth + 1);
      return;
    }
    if (IsType(obj, "multipart", "related")) {
      // The root is the body; the other parts are resources it shows inline
      // (images by Content-ID) unless they are plainly sent as attachments.
      const int root = RelatedRoot(mp);
      for (int i = 0; i < count; ++i) {
        GMimeObject* part = g_mime_multipart_get_part(mp, i);
        if (i == root) {
          Walk(part, pos, depth + 1);
        } else if (g_mime_object_get_content_id(part) == nullptr || IsAttachmentDisposition(part)) {
          Walk(part, Position::kOther, depth + 1);
        }
      }
      return;
    }
    // mixed and every other kind: the first part carries the body, the rest
    // travels with it.
    for (int i = 0; i < count; ++i) {
      Walk(g_mime_multipart_get_part(mp, i), i == 0 ? pos : Position::kOther, depth + 1);
    }
  }

  static int RelatedRoot(GMimeMultipart* mp) {
    const char* start = g_mime_object_get_content_type_parameter(GMIME_OBJECT(mp), "start");
    if (start == nullptr) return 0;
    std::string id = start;
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    const int count = g_mime_multipart_get_count(mp);
    for (int i = 0; i < count; ++i) {
      const char* cid = g_mime_object_get_content_id(g_mime_multipart_get_part(mp, i));
      if (cid != nullptr && id == cid) return i;
    }
    return 0;
  }

  void Add(GMimeObject* obj) { out_->push_back(Attachment{FileName(obj), MediaType(obj)}); }

  std::vector<Attachment>* out_;
};

std::string Addresses(InternetAddressList* list) {
  if (list == nullptr || internet_address_list_length(list) == 0) return {};
  CharPtr text(internet_address_list_to_string(list, nullptr, FALSE));
  return Utf8(text.p);
}

MessageInfo AnalyzeOrThrow(std::string_view rfc5322) {
  InitOnce();
  MessageInfo info;

  // The memory stream copies the text, so the caller's buffer may go away.
  Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(rfc5322.data(), rfc5322.size()));
  Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.p));
  g_mime_parser_set_format(parser.p, GMIME_FORMAT_MESSAGE);
  // Per-call options: the process-wide defaults are not ours to change.
  OptionsPtr options;
  g_mime_parser_options_set_fallback_charsets(options.p, kFallbackCharsets);
  Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.p, options.p));
  if (message.p == nullptr) return info;

  info.parsed = true;
  info.subject = Utf8(g_mime_message_get_subject(message.p));
  info.from = Addresses(g_mime_message_get_from(message.p));
  info.to = Addresses(g_mime_message_get_to(message.p));
  if (const char* id = g_mime_message_get_message_id(message.p); id != nullptr && *id != '\0') {
    // Built by pushes: GCC 12 at -O3 warns falsely (-Wrestrict) on "<" + s.
    const std::string text = Utf8(id);
    info.message_id.reserve(text.size() + 2);
    info.message_id.push_back('<');
    info.message_id += text;
    info.message_id.push_back('>');
  }

  Walker(&info.attachments).Walk(g_mime_message_get_mime_part(message.p), Position::kBody, 0);
  info.has_attachment = !info.attachments.empty();
  return info;
}

// True for characters a file name in the store must not hold.
bool Unsafe(std::uint32_t c) {
  switch (c) {
    case '/':
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
      return true;
    default:
      return c < 0x20 || (c >= 0x7F && c <= 0x9F);
  }
}

// Replaces unsafe characters and bytes that are not UTF-8 by "_".
std::string SafeStem(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    const char* next = nullptr;
    gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      out += '_';
      ++p;
      continue;
    }
    next = g_utf8_next_char(p);
    if (Unsafe(c)) {
      out += '_';
    } else {
      out.append(p, next);
    }
    p = next;
  }
  return out;
}

}  // namespace

MessageInfo Analyze(std::string_view rfc5322) {
  // One message is often looked at several times in a row on a thread (the
  // store when it is saved, then a sink through its message object, then
  // the store again for the sink's copy): the latest answer is kept.
  constexpr std::size_t kMaxRemembered = 1 << 20;
  struct Latest {
    std::string text;
    MessageInfo info;
  };
  thread_local Latest latest;
  if (!latest.text.empty() && latest.text == rfc5322) return latest.info;
  try {
    MessageInfo info = AnalyzeOrThrow(rfc5322);
    latest.text.clear();  // remembered only once both parts are whole
    if (rfc5322.size() <= kMaxRemembered && !rfc5322.empty()) {
      latest.info = info;
      latest.text.assign(rfc5322);
    }
    return info;
  } catch (...) {
    // Only allocation can fail here; report "not parsed" rather than throw.
    return MessageInfo{};
  }
}

std::string ItemName(std::string_view subject, int attempt) {
  constexpr std::size_t kMaxStem = 60;
  std::string stem = core::Trim(SafeStem(subject));
  if (core::Len(stem) > kMaxStem) stem = core::Trim(core::Left(stem, kMaxStem));
  if (stem.empty()) stem = "Untitled";
  if (attempt > 0) stem.append("-").append(std::to_string(attempt));
  return stem.append(".EML");
}

}  // namespace mime
