#include "tools/zenthra-lmtpd/protocol.h"

#include <utility>

namespace lmtp {

namespace {

constexpr std::size_t kKeptMessageCapacity = 1 << 20;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Takes the keyword (case-insensitive) and an optional run of blanks after it
// off the front of text; false when text does not start with it.
bool TakeKeyword(std::string_view& text, std::string_view keyword) {
  if (text.size() < keyword.size() || Upper(text.substr(0, keyword.size())) != keyword) {
    return false;
  }
  text.remove_prefix(keyword.size());
  // "MAIL FROM: <a@b>" is common enough to accept.
  while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  return true;
}

// The blank-separated words of text.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// A decimal number of at most 19 digits; false for anything else.
bool ParseCount(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = n;
  return true;
}

}  // namespace

Session::Session(Receiver& receiver, const Limits& limits, std::string host)
    : receiver_(receiver), limits_(limits), host_(std::move(host)) {}

void Session::Start() { Send(220, host_ + " Zenthra LMTP service ready"); }

std::string Session::TakeOutput() { return std::exchange(output_, std::string()); }

void Session::Receive(std::string_view bytes) {
  if (closed_) return;
  input_.append(bytes);
  std::size_t start = 0;
  while (!closed_) {
    std::size_t end = input_.find('\n', start);
    if (end == std::string::npos) {
      // A line that cannot end within its limit is answered now and its
      // bytes dropped, so a client cannot make the session hold more than
      // a line's worth of input. The margin allows a stuffing dot and a CR.
      std::size_t limit =
          (mode_ == Mode::kCommand ? limits_.max_command_line : limits_.max_text_line) + 2;
      if (input_.size() - start > limit) {
        if (!skipping_) OverlongLine();
        skipping_ = true;
        start = input_.size();
      }
      break;
    }
    std::string_view line(input_.data() + start, end - start);
    start = end + 1;
    if (skipping_) {  // the end of a line already answered
      skipping_ = false;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (mode_ == Mode::kCommand) {
      CommandLine(line);
    } else {
      DataLine(line);
    }
    if (draining_ && !in_mail_) ShutDown();
  }
  if (closed_) {
    input_.clear();
  } else {
    input_.erase(0, start);
  }
}

void Session::OverlongLine() {
  if (mode_ == Mode::kCommand) {
    Error(500,
          "5.5.2 Line too long (at most " + std::to_string(limits_.max_command_line) + " octets)");
  } else if (!refused_) {
    Refuse(Reply{554, "5.6.0 A line of the message is longer than " +
                          std::to_string(limits_.max_text_line) + " octets"});
  }
}

void Session::Refuse(const Reply& reply) {
  refused_ = true;
  refusal_ = reply;
  std::string().swap(message_);  // what is read from now on is dropped
}

void Session::CommandLine(std::string_view line) {
  if (line.size() > limits_.max_command_line) {
    OverlongLine();
    return;
  }
  std::size_t blank = line.find(' ');
  std::string verb = Upper(line.substr(0, blank));
  std::string_view arg =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  if (verb == "LHLO") {
    Lhlo(arg);
  } else if (verb == "MAIL") {
    Mail(arg);
  } else if (verb == "RCPT") {
    Rcpt(arg);
  } else if (verb == "DATA") {
    Data(arg);
  } else if (verb == "RSET") {
    ResetTransaction();
    Send(250, "2.0.0 OK");
  } else if (verb == "NOOP") {
    Send(250, "2.0.0 OK");
  } else if (verb == "QUIT") {
    Close(221, "2.0.0 " + host_ + " closing connection");
  } else if (verb == "VRFY" || verb == "EXPN") {
    Send(502, "5.5.1 " + verb + " is not offered; RCPT tells whether an address is accepted");
  } else if (verb == "HELO" || verb == "EHLO") {
    Error(500, "5.5.1 This is an LMTP service: greet with LHLO");
  } else if (verb == "HELP") {
    Send(214, "2.0.0 Commands: LHLO MAIL RCPT DATA RSET NOOP QUIT");
  } else if (verb.empty()) {
    Error(500, "5.5.2 Empty command");
  } else {
    Error(500, "5.5.2 Command not recognized");
  }
}

void Session::Lhlo(std::string_view arg) {
  while (!arg.empty() && arg.back() == ' ') arg.remove_suffix(1);
  if (!IsDomainOrLiteral(arg)) {
    Error(501, "5.5.4 Syntax: LHLO <the client's host name>");
    return;
  }
  ResetTransaction();
  envelope_.helo = std::string(arg);
  output_ += "250-" + host_ + "\r\n";
  output_ += "250-PIPELINING\r\n";
  output_ += "250-ENHANCEDSTATUSCODES\r\n";
  output_ += "250-8BITMIME\r\n";
  output_ += "250 SIZE " + std::to_string(limits_.max_message_size) + "\r\n";
}

std::optional<Path> Session::TakePath(std::string_view& arg, bool sender) {
  if (!TakeKeyword(arg, sender ? "FROM:" : "TO:")) {
    Error(501, sender ? "5.5.4 Syntax: MAIL FROM:<address>" : "5.5.4 Syntax: RCPT TO:<address>");
    return std::nullopt;
  }
  std::size_t used = 0;
  std::string why;
  std::optional<Path> path = ParsePath(arg, sender, !sender, &used, &why);
  if (!path) {
    Error(501, (sender ? "5.1.7 Bad sender address: " : "5.1.3 Bad recipient address: ") + why);
    return std::nullopt;
  }
  arg.remove_prefix(used);
  return path;
}

void Session::Mail(std::string_view arg) {
  if (envelope_.helo.empty()) {
    Error(503, "5.5.1 Send LHLO first");
    return;
  }
  if (in_mail_) {
    Error(503, "5.5.1 Nested MAIL command");
    return;
  }
  std::optional<Path> path = TakePath(arg, true);
  if (!path) return;
  bool size_seen = false, body_seen = false;
  for (std::string_view word : Words(arg)) {
    std::size_t eq = word.find('=');
    std::string key = Upper(word.substr(0, eq));
    std::string_view value =
        eq == std::string_view::npos ? std::string_view() : word.substr(eq + 1);
    if (key == "SIZE" && !size_seen) {
      size_seen = true;
      std::uint64_t declared = 0;
      if (!ParseCount(value, &declared)) {
        // More digits than fit are a size no limit allows.
        bool digits = !value.empty() && value.find_first_not_of("0123456789") == value.npos;
        if (!digits) {
          Error(501, "5.5.4 SIZE needs a number of octets");
          return;
        }
        declared = UINT64_MAX;
      }
      if (declared > limits_.max_message_size) {
        Send(552, "5.3.4 Message size exceeds the limit of " +
                      std::to_string(limits_.max_message_size) + " octets");
        return;
      }
    } else if (key == "BODY" && !body_seen) {
      body_seen = true;
      std::string type = Upper(value);
      if (type != "7BIT" && type != "8BITMIME") {
        Error(555, "5.5.4 BODY=" + type + " is not supported");
        return;
      }
    } else {
      Error(555, "5.5.4 Unsupported MAIL parameter " + key);
      return;
    }
  }
  in_mail_ = true;
  envelope_.sender = *path;
  envelope_.recipients.clear();
  Send(250, "2.1.0 Sender OK");
}

void Session::Rcpt(std::string_view arg) {
  if (!in_mail_) {
    Error(503, "5.5.1 Send MAIL first");
    return;
  }
  std::optional<Path> path = TakePath(arg, false);
  if (!path) return;
  std::vector<std::string_view> params = Words(arg);
  if (!params.empty()) {
    Error(555,
          "5.5.4 Unsupported RCPT parameter " + Upper(params[0].substr(0, params[0].find('='))));
    return;
  }
  if (envelope_.recipients.size() >= limits_.max_recipients) {
    Send(452, "4.5.3 Too many recipients");
    return;
  }
  std::string mailbox;
  Reply reply = receiver_.CheckRecipient(path->address, &mailbox);
  if (reply.Positive()) envelope_.recipients.push_back(Recipient{path->address, mailbox});
  Send(reply.code, reply.text);
}

void Session::Data(std::string_view arg) {
  if (!arg.empty()) {
    Error(501, "5.5.4 DATA takes no arguments");
    return;
  }
  if (!in_mail_) {
    Error(503, "5.5.1 Send MAIL first");
    return;
  }
  if (envelope_.recipients.empty()) {
    Send(503, "5.5.1 No valid recipients");
    return;
  }
  mode_ = Mode::kData;
  std::string().swap(message_);
  message_size_ = 0;
  header_size_ = 0;
  in_header_ = true;
  refused_ = false;
  Send(354, "End the message with <CRLF>.<CRLF>");
}

void Session::DataLine(std::string_view line) {
  if (line == ".") {
    EndOfData();
    return;
  }
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  if (refused_) return;
  if (line.size() > limits_.max_text_line) {
    OverlongLine();
    return;
  }
  const std::size_t octets = line.size() + 2;
  if (in_header_) {
    if (line.empty()) {
      in_header_ = false;
    } else {
      header_size_ += octets;
      if (header_size_ > limits_.max_header_size) {
        Refuse(Reply{552, "5.3.4 The message header exceeds " +
                              std::to_string(limits_.max_header_size) + " octets"});
        return;
      }
    }
  }
  message_size_ += octets;
  if (message_size_ > limits_.max_message_size) {
    Refuse(Reply{552, "5.3.4 Message size exceeds the limit of " +
                          std::to_string(limits_.max_message_size) + " octets"});
    return;
  }
  message_.append(line);
  message_.append("\r\n");
}

void Session::EndOfData() {
  mode_ = Mode::kCommand;
  const std::size_t count = envelope_.recipients.size();
  std::vector<Reply> replies;
  if (refused_) {
    replies.assign(count, refusal_);
  } else {
    replies = receiver_.Deliver(envelope_, message_);
    // One reply per recipient whatever the receiver did: a missing one
    // cannot promise anything.
    replies.resize(count, Reply{451, "4.3.0 Delivery outcome unknown, try again later"});
  }
  for (const Reply& reply : replies) Send(reply.code, reply.text);
  ResetTransaction();
}

void Session::ResetTransaction() {
  in_mail_ = false;
  envelope_.sender = Path();
  envelope_.recipients.clear();
  // The next message of the connection reuses the space of this one, up to
  // a size most mail stays under; a huge one's space goes back.
  if (message_.capacity() > kKeptMessageCapacity) {
    std::string().swap(message_);
  } else {
    message_.clear();
  }
  message_size_ = 0;
  header_size_ = 0;
  in_header_ = true;
  refused_ = false;
}

void Session::TimedOut() {
  if (!closed_) Close(421, "4.4.2 " + host_ + " Idle too long, closing connection");
}

void Session::ShutDown() {
  if (!closed_) Close(421, "4.3.2 " + host_ + " Service shutting down, try again later");
}

void Session::Drain() {
  draining_ = true;
  if (!in_mail_) ShutDown();
}

void Session::Send(int code, const std::string& text) {
  // Replies quote the client's words back; a control or 8-bit byte among
  // them could break the client's reading of the reply.
  std::string clean = text;
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
  }
  output_ += Reply{code, clean}.Line();
}

void Session::Error(int code, const std::string& text) {
  Send(code, text);
  if (++errors_ >= limits_.max_errors) {
    Close(421, "4.7.0 " + host_ + " Too many errors, closing connection");
  }
}

void Session::Close(int code, const std::string& text) {
  Send(code, text);
  closed_ = true;
  mode_ = Mode::kCommand;
  ResetTransaction();
}

}  // namespace lmtp
