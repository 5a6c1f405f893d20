// The LMTP protocol engine of one connection (RFC 2033 over RFC 5321),
// without sockets: bytes go in through Receive, replies come out of
// TakeOutput. It knows the commands, their order, the message's framing
// (dot-stuffing, CRLF or bare LF line ends) and the limits; what a recipient
// is and where a message goes it asks its Receiver.
//
// Commands: LHLO, MAIL FROM (SIZE=, BODY=7BIT|8BITMIME), RCPT TO, DATA, RSET,
// NOOP, QUIT, HELP; VRFY and EXPN are refused politely, HELO and EHLO are
// pointed to LHLO. Extensions offered: PIPELINING, ENHANCEDSTATUSCODES,
// 8BITMIME, SIZE. Any number of commands may arrive in one piece; their
// replies come out in order.
//
// After the message, one reply per accepted recipient, in the order of the
// RCPT commands. A message over a limit is read to its end and then refused
// for every recipient; nothing of it reaches the Receiver. A message is
// stored with CRLF line ends, whatever the client sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zenthra-lmtpd/address.h"
#include "tools/zenthra-lmtpd/reply.h"

namespace lmtp {

struct Limits {
  std::uint64_t max_message_size = 50ull * 1024 * 1024;  // octets, CRLF line ends
  std::size_t max_command_line = 512;                    // octets without CRLF
  std::size_t max_text_line = 998;                       // message line, without CRLF
  std::size_t max_header_size = 256 * 1024;              // the header section
  std::size_t max_recipients = 1000;                     // per transaction
  int max_errors = 20;                                   // bad commands before 421
};

// A recipient the Receiver accepted.
struct Recipient {
  Address address;      // as the client gave it
  std::string mailbox;  // where the Receiver said it goes
};

// What the client said about one message.
struct Envelope {
  std::string helo;                   // the LHLO argument
  Path sender;                        // MAIL FROM
  std::vector<Recipient> recipients;  // accepted RCPT TO, in order
};

class Receiver {
 public:
  virtual ~Receiver() = default;

  // The reply to RCPT TO for address; when positive, *mailbox says where it
  // goes (kept in the Recipient).
  virtual Reply CheckRecipient(const Address& address, std::string* mailbox) = 0;

  // Stores message (the text as the client sent it, CRLF line ends) for
  // every recipient of envelope and returns one reply per recipient, in
  // order. A positive reply promises that the message is durably stored.
  virtual std::vector<Reply> Deliver(const Envelope& envelope, std::string_view message) = 0;

  // Called once the replies to what the session was given so far have gone
  // out (or could not): what the client need not wait for, such as
  // logging, is done here.
  virtual void RepliesSent() {}
};

class Session {
 public:
  // host names the server in the greeting and the LHLO reply.
  Session(Receiver& receiver, const Limits& limits, std::string host);

  // The 220 greeting, queued on output.
  void Start();
  // Processes bytes from the client; complete commands (and a complete
  // message) are acted on at once, the rest waits for more.
  void Receive(std::string_view bytes);
  // The replies produced so far; the output is empty afterwards.
  std::string TakeOutput();

  // The session is over (QUIT, too many errors, a time-out or shut down):
  // send the output and close.
  bool Closed() const { return closed_; }
  // A transaction is under way: MAIL was accepted and the message not yet
  // answered. Shutting down waits for it.
  bool InTransaction() const { return in_mail_; }

  // The client was idle too long: a 421 reply, and closed.
  void TimedOut();
  // The service is stopping: a 421 reply, and closed. What was not yet
  // answered is dropped, so nothing of it was stored.
  void ShutDown();
  // The service is stopping but lets a transaction under way finish: shut
  // down now when there is none, else as soon as it ends (whatever the
  // client sent after it goes unanswered but for the 421).
  void Drain();

  // The LHLO argument, once given ("" before).
  const std::string& helo() const { return envelope_.helo; }

 private:
  enum class Mode { kCommand, kData };

  void CommandLine(std::string_view line);
  void DataLine(std::string_view line);
  void EndOfData();
  void OverlongLine();
  // The message will be answered with reply for every recipient.
  void Refuse(const Reply& reply);

  // The path after "FROM:" (sender) or "TO:" at the start of arg, with arg
  // left at the parameters; when there is none, answers and returns nothing.
  std::optional<Path> TakePath(std::string_view& arg, bool sender);
  void Lhlo(std::string_view arg);
  void Mail(std::string_view arg);
  void Rcpt(std::string_view arg);
  void Data(std::string_view arg);
  void ResetTransaction();

  void Send(int code, const std::string& text);
  void Error(int code, const std::string& text);  // counts towards max_errors
  void Close(int code, const std::string& text);

  Receiver& receiver_;
  Limits limits_;
  std::string host_;

  std::string input_;
  std::string output_;
  bool closed_ = false;
  int errors_ = 0;
  Mode mode_ = Mode::kCommand;
  bool skipping_ = false;  // inside a line already known to be too long
  bool draining_ = false;

  bool in_mail_ = false;
  Envelope envelope_;

  // The message being received.
  std::string message_;
  std::uint64_t message_size_ = 0;
  std::size_t header_size_ = 0;
  bool in_header_ = true;
  bool refused_ = false;
  Reply refusal_;
};

}  // namespace lmtp
