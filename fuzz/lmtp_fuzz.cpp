// Arbitrary bytes from an LMTP client, cut into pieces at places the input
// chooses, fed to the protocol engine with a receiver that stores nothing.
// Besides memory errors it stops on a reply the client could misread: every
// line out must be a three-digit code, a blank or a dash, and printable
// text, ended by CRLF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zenthra-lmtpd/protocol.h"

namespace {

class NullReceiver : public lmtp::Receiver {
 public:
  lmtp::Reply CheckRecipient(const lmtp::Address& address, std::string* mailbox) override {
    if (!address.local.empty() && address.local[0] == 'x') return {550, "5.1.1 No"};
    *mailbox = address.local;
    return {250, "2.1.5 OK"};
  }
  std::vector<lmtp::Reply> Deliver(const lmtp::Envelope& envelope, std::string_view) override {
    // Sometimes one reply short, which the engine must make up for.
    std::size_t n = envelope.recipients.size();
    if (n > 1 && envelope.recipients[0].mailbox.size() % 2) --n;
    return std::vector<lmtp::Reply>(n, lmtp::Reply{250, "2.0.0 OK"});
  }
};

void CheckReplies(const std::string& out) {
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find("\r\n", start);
    if (end == std::string::npos || end - start < 4) __builtin_trap();
    for (std::size_t i = start; i < start + 3; ++i) {
      if (out[i] < '0' || out[i] > '9') __builtin_trap();
    }
    if (out[start + 3] != ' ' && out[start + 3] != '-') __builtin_trap();
    for (std::size_t i = start; i < end; ++i) {
      if (out[i] < 32 || out[i] > 126) __builtin_trap();
    }
    start = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  lmtp::Limits limits;
  limits.max_message_size = 4096;
  limits.max_header_size = 1024;
  limits.max_recipients = 8;
  NullReceiver receiver;
  lmtp::Session session(receiver, limits, "fuzz.example.com");
  session.Start();
  CheckReplies(session.TakeOutput());
  // The first byte chooses the piece size, so pieces split lines, CRLFs and
  // dot lines at every place.
  const std::size_t piece = 1 + data[0] % 64;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (std::size_t at = 0; at < input.size(); at += piece) {
    session.Receive(input.substr(at, piece));
    CheckReplies(session.TakeOutput());
  }
  if (size % 3 == 0) session.ShutDown();
  CheckReplies(session.TakeOutput());
  return 0;
}
