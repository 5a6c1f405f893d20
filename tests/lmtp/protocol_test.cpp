// The protocol engine on byte strings: command order, replies, the
// message's framing and the limits, with a receiver that records what
// reached it.
#include "tools/zenthra-lmtpd/protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace lmtp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class RecordingReceiver : public Receiver {
 public:
  Reply CheckRecipient(const Address& address, std::string* mailbox) override {
    if (unknown.count(address.local)) return {550, "5.1.1 No such mailbox"};
    *mailbox = address.local;
    return {250, "2.1.5 OK"};
  }
  std::vector<Reply> Deliver(const Envelope& envelope, std::string_view message) override {
    envelopes.push_back(envelope);
    messages.emplace_back(message);
    if (!replies.empty()) return replies;
    return std::vector<Reply>(envelope.recipients.size(), Reply{250, "2.0.0 Delivered"});
  }

  std::set<std::string> unknown;
  std::vector<Reply> replies;  // what Deliver answers when set
  std::vector<Envelope> envelopes;
  std::vector<std::string> messages;
};

// The codes of the final lines of the replies in output ("250-" lines of a
// multi-line reply are left out).
std::vector<int> Codes(const std::string& output) {
  std::vector<int> codes;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= 4 && line[3] == ' ') codes.push_back(std::stoi(line.substr(0, 3)));
  }
  return codes;
}

class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() { Restart(Limits{}); }

  void Restart(const Limits& limits) {
    session_ = std::make_unique<Session>(receiver_, limits, "mx.example.com");
    session_->Start();
    greeting_ = session_->TakeOutput();
  }
  std::string Say(std::string_view input) {
    session_->Receive(input);
    return session_->TakeOutput();
  }
  // LHLO and MAIL, as every transaction begins.
  void Begin() {
    ASSERT_THAT(Codes(Say("LHLO client.example.org\r\nMAIL FROM:<s@example.org>\r\n")),
                ElementsAre(250, 250));
  }

  RecordingReceiver receiver_;
  std::unique_ptr<Session> session_;
  std::string greeting_;
};

TEST_F(ProtocolTest, GreetsAndOffersItsExtensionsOnLhloOnly) {
  EXPECT_EQ(greeting_, "220 mx.example.com Zenthra LMTP service ready\r\n");
  EXPECT_THAT(Say("HELO client\r\n"), HasSubstr("500 5.5.1"));
  EXPECT_THAT(Say("EHLO client\r\n"), HasSubstr("500 5.5.1"));
  EXPECT_THAT(Say("MAIL FROM:<a@b.c>\r\n"), HasSubstr("503 5.5.1 Send LHLO first"));
  EXPECT_THAT(Say("LHLO\r\n"), HasSubstr("501 5.5.4"));
  EXPECT_EQ(Say("lhlo client.example.org\r\n"),
            "250-mx.example.com\r\n250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n"
            "250-8BITMIME\r\n250 SIZE 52428800\r\n");
  EXPECT_THAT(Say("LHLO [192.0.2.7]\r\n"), HasSubstr("250 SIZE"));
}

TEST_F(ProtocolTest, AnswersEachAcceptedRecipientAfterTheMessage) {
  receiver_.unknown = {"ghost"};
  Begin();
  EXPECT_THAT(Codes(Say("RCPT TO:<anna@example.com>\r\nRCPT TO:<ghost@example.com>\r\n"
                        "RCPT TO:<bob@example.com>\r\n")),
              ElementsAre(250, 550, 250));
  receiver_.replies = {{250, "2.0.0 <anna@example.com> Delivered"},
                       {451, "4.3.0 <bob@example.com> Try again later"}};
  EXPECT_EQ(Say("DATA\r\n"), "354 End the message with <CRLF>.<CRLF>\r\n");
  EXPECT_EQ(Say("Subject: hi\r\n\r\nHello.\r\n.\r\n"),
            "250 2.0.0 <anna@example.com> Delivered\r\n451 4.3.0 <bob@example.com> Try again "
            "later\r\n");
  ASSERT_EQ(receiver_.envelopes.size(), 1u);
  const Envelope& e = receiver_.envelopes[0];
  EXPECT_EQ(e.helo, "client.example.org");
  EXPECT_EQ(e.sender.address.Text(), "s@example.org");
  ASSERT_EQ(e.recipients.size(), 2u);
  EXPECT_EQ(e.recipients[0].mailbox, "anna");
  EXPECT_EQ(e.recipients[1].address.Text(), "bob@example.com");
  EXPECT_EQ(receiver_.messages[0], "Subject: hi\r\n\r\nHello.\r\n");

  // A receiver that answers short cannot leave a recipient unanswered.
  receiver_.replies = {{250, "2.0.0 one"}};
  Begin();
  Say("RCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\n");
  EXPECT_THAT(Codes(Say("DATA\r\nx\r\n.\r\n")), ElementsAre(354, 250, 451));
}

TEST_F(ProtocolTest, PipelinedCommandsGetTheirRepliesInOrderHoweverTheBytesArrive) {
  const std::string script =
      "LHLO c.example.org\r\nMAIL FROM:<> BODY=8BITMIME SIZE=100\r\nRCPT TO:<a@x.org>\r\n"
      "RCPT TO:<b@x.org>\r\nDATA\r\nLine 1\r\n..dotted\r\n.\r\nRSET\r\nNOOP\r\nQUIT\r\n"
      "NOOP\r\n";
  std::string whole = Say(script);
  EXPECT_THAT(Codes(whole), ElementsAre(250, 250, 250, 250, 354, 250, 250, 250, 250, 221));
  EXPECT_TRUE(session_->Closed());

  RecordingReceiver other;
  Session bytewise(other, Limits{}, "mx.example.com");
  std::string out;
  for (char c : script) {
    bytewise.Receive(std::string_view(&c, 1));
    out += bytewise.TakeOutput();
  }
  EXPECT_EQ(out, whole);
  EXPECT_EQ(other.messages, receiver_.messages);
  EXPECT_TRUE(receiver_.envelopes[0].sender.null);
}

TEST_F(ProtocolTest, UnstuffsDotsAndStoresEveryLineWithCrlf) {
  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\n");
  // Bare LF, CRLF, a stuffed dot, a lone CR inside a line, and a final
  // dot line ended by a bare LF.
  Say("Subject: x\n\r\n..leading dot\r\n...\nkeep\rthis\r\n.x\n");
  EXPECT_THAT(Codes(Say(".\n")), ElementsAre(250));
  EXPECT_EQ(receiver_.messages.at(0),
            "Subject: x\r\n\r\n.leading dot\r\n..\r\nkeep\rthis\r\nx\r\n");
  // A line that merely starts with the terminator is text.
  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\n");
  EXPECT_THAT(Say(". \r\n"), IsEmpty());
  Say("\r\n.\r\n");
  EXPECT_EQ(receiver_.messages.at(1), " \r\n\r\n");
}

TEST_F(ProtocolTest, TakesAMessageOfExactlyTheSizeLimitAndRefusesOneOctetMore) {
  Limits limits;
  limits.max_message_size = 1000;
  Restart(limits);
  // 10 lines of 98 octets plus CRLF: 1000 octets.
  std::string body;
  for (int i = 0; i < 10; ++i) body += std::string(98, 'a' + i) + "\r\n";
  Begin();
  EXPECT_THAT(Codes(Say("RCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n" + body + ".\r\n")),
              ElementsAre(250, 250, 354, 250, 250));
  EXPECT_EQ(receiver_.messages.at(0), body);

  Begin();
  std::string out = Say("RCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n" + body + "\r\n.\r\n");
  EXPECT_THAT(Codes(out), ElementsAre(250, 250, 354, 552, 552));
  EXPECT_THAT(out, HasSubstr("552 5.3.4 Message size exceeds the limit of 1000 octets"));
  EXPECT_EQ(receiver_.messages.size(), 1u);  // the refused one never reached it

  // Announced sizes are checked at MAIL, however many digits they have.
  Say("LHLO c.example.org\r\n");
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> SIZE=1000\r\n"), HasSubstr("250 2.1.0"));
  Say("RSET\r\n");
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> SIZE=1001\r\n"), HasSubstr("552 5.3.4"));
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> SIZE=99999999999999999999999\r\n"), HasSubstr("552 5.3.4"));
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> SIZE=12k\r\n"), HasSubstr("501 5.5.4"));
  EXPECT_FALSE(session_->InTransaction());
}

TEST_F(ProtocolTest, RefusesOverlongLinesAndHeadersClearlyAndCarriesOn) {
  Limits limits;
  limits.max_header_size = 100;
  Restart(limits);
  EXPECT_THAT(Say("NOOP " + std::string(600, 'x') + "\r\n"), HasSubstr("500 5.5.2 Line too long"));
  // The rest of a line too long is dropped as it arrives, and answered once.
  EXPECT_THAT(Codes(Say("NOOP " + std::string(1000, 'y'))), ElementsAre(500));
  EXPECT_THAT(Codes(Say(std::string(100000, 'y'))), IsEmpty());
  EXPECT_THAT(Codes(Say("\r\nNOOP\r\n")), ElementsAre(250));

  Begin();
  Say("RCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n");
  std::string out = Say("Subject: x\r\n" + std::string(999, 'z') + "\r\nmore\r\n.\r\n");
  EXPECT_THAT(Codes(out), ElementsAre(554, 554));
  EXPECT_THAT(out, HasSubstr("5.6.0 A line of the message is longer than 998 octets"));
  // 998 octets after a stuffing dot is within the limit.
  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\n");
  EXPECT_THAT(Codes(Say("\r\n." + std::string(998, '.') + "\r\n.\r\n")), ElementsAre(250));

  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\n");
  std::string header;
  for (int i = 0; i < 10; ++i) header += "X-H" + std::to_string(i) + ": value\r\n";
  EXPECT_THAT(Say(header + "\r\nbody\r\n.\r\n"),
              HasSubstr("552 5.3.4 The message header exceeds 100"));
  // A body of any length is not a header.
  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\n");
  EXPECT_THAT(Codes(Say("S: 1\r\n\r\n" + header + header + ".\r\n")), ElementsAre(250));
  EXPECT_EQ(receiver_.messages.size(), 2u);
  EXPECT_EQ(receiver_.messages[0], "\r\n" + std::string(998, '.') + "\r\n");
}

TEST_F(ProtocolTest, KeepsCommandsInTheirOrder) {
  EXPECT_THAT(Say("RCPT TO:<a@x.org>\r\n"), HasSubstr("503 5.5.1"));
  Say("LHLO c.example.org\r\n");
  EXPECT_THAT(Say("RCPT TO:<a@x.org>\r\n"), HasSubstr("503 5.5.1 Send MAIL first"));
  EXPECT_THAT(Say("DATA\r\n"), HasSubstr("503 5.5.1 Send MAIL first"));
  EXPECT_THAT(Say("MAIL FROM:<s@x.org>\r\n"), HasSubstr("250"));
  EXPECT_TRUE(session_->InTransaction());
  EXPECT_THAT(Say("MAIL FROM:<s@x.org>\r\n"), HasSubstr("503 5.5.1 Nested MAIL"));
  // Every recipient refused: DATA must fail, and the message never starts.
  receiver_.unknown = {"ghost"};
  EXPECT_THAT(Say("RCPT TO:<ghost@x.org>\r\n"), HasSubstr("550"));
  EXPECT_THAT(Say("DATA\r\n"), HasSubstr("503 5.5.1 No valid recipients"));
  EXPECT_THAT(Say("RSET\r\n"), HasSubstr("250"));
  EXPECT_FALSE(session_->InTransaction());
  EXPECT_THAT(Say("RCPT TO:<a@x.org>\r\n"), HasSubstr("503"));
  EXPECT_THAT(Say("VRFY jdoe\r\n"), HasSubstr("502 5.5.1"));
  EXPECT_THAT(Say("EXPN staff\r\n"), HasSubstr("502 5.5.1"));
  EXPECT_THAT(Say("HELP\r\n"), HasSubstr("214"));
  EXPECT_THAT(Say("STARTTLS\r\n"), HasSubstr("500 5.5.2"));
  EXPECT_THAT(Say("DATA now\r\n"), HasSubstr("501"));
}

TEST_F(ProtocolTest, ChecksMailAndRecipientParameters) {
  Say("LHLO c.example.org\r\n");
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> BODY=BINARYMIME\r\n"), HasSubstr("555 5.5.4"));
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> SMTPUTF8\r\n"), HasSubstr("555 5.5.4"));
  EXPECT_THAT(Say("MAIL FROM:<s@x.org> SIZE=1 SIZE=2\r\n"), HasSubstr("555 5.5.4"));
  EXPECT_THAT(Say("MAIL FROM:s@x.org\r\n"), HasSubstr("501 5.1.7"));
  EXPECT_THAT(Say("MAIL TO:<s@x.org>\r\n"), HasSubstr("501 5.5.4"));
  EXPECT_THAT(Say("mail from: <s@x.org> body=7bit\r\n"), HasSubstr("250"));
  EXPECT_THAT(Say("RCPT TO:<a@x.org> NOTIFY=NEVER\r\n"), HasSubstr("555 5.5.4"));
  EXPECT_THAT(Say("RCPT TO:<>\r\n"), HasSubstr("501 5.1.3"));
  EXPECT_THAT(Say("RCPT TO:<Postmaster>\r\n"), HasSubstr("250"));
  // A control character the client sent is not echoed back raw.
  EXPECT_THAT(Say("RSET\r\nMAIL FROM:<s@x.org> BODY=A\rB\r\n"), HasSubstr("BODY=A?B is not"));
}

TEST_F(ProtocolTest, LimitsRecipientsAndErrors) {
  Limits limits;
  limits.max_recipients = 2;
  limits.max_errors = 3;
  Restart(limits);
  Begin();
  EXPECT_THAT(Codes(Say("RCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nRCPT TO:<c@x.org>\r\n")),
              ElementsAre(250, 250, 452));
  EXPECT_THAT(Codes(Say("BAD\r\nBAD\r\n")), ElementsAre(500, 500));
  EXPECT_FALSE(session_->Closed());
  std::string out = Say("BAD\r\nNOOP\r\n");
  EXPECT_THAT(Codes(out), ElementsAre(500, 421));
  EXPECT_TRUE(session_->Closed());
  EXPECT_THAT(Say("NOOP\r\n"), IsEmpty());
  EXPECT_TRUE(receiver_.messages.empty());
}

TEST_F(ProtocolTest, TimeOutAndShutDownDropWhatWasNotAnswered) {
  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\nSubject: half\r\n");
  EXPECT_TRUE(session_->InTransaction());
  session_->ShutDown();
  EXPECT_THAT(session_->TakeOutput(), HasSubstr("421 4.3.2"));
  EXPECT_TRUE(session_->Closed());
  EXPECT_FALSE(session_->InTransaction());
  Say("\r\n.\r\n");
  EXPECT_TRUE(receiver_.messages.empty());

  // Draining lets the transaction under way finish; what follows it in
  // the same piece of input is not acted on.
  Restart(Limits{});
  Begin();
  Say("RCPT TO:<a@x.org>\r\nDATA\r\nSubject: whole\r\n");
  session_->Drain();
  EXPECT_FALSE(session_->Closed());
  EXPECT_THAT(Codes(Say("\r\n.\r\nMAIL FROM:<s@x.org>\r\n")), ElementsAre(250, 421));
  EXPECT_TRUE(session_->Closed());
  EXPECT_EQ(receiver_.messages.size(), 1u);
  Restart(Limits{});
  session_->Drain();
  EXPECT_THAT(session_->TakeOutput(), HasSubstr("421 4.3.2"));

  Restart(Limits{});
  session_->TimedOut();
  EXPECT_THAT(session_->TakeOutput(), HasSubstr("421 4.4.2"));
  EXPECT_TRUE(session_->Closed());
}

// --- Addresses --------------------------------------------------------------

std::string Parsed(std::string_view text, bool rcpt = true) {
  std::size_t used = 0;
  std::string why;
  std::optional<Path> path = ParsePath(text, !rcpt, rcpt, &used, &why);
  if (!path) return "error: " + why;
  if (path->null) return "<>";
  return path->address.local + " | " + path->address.domain + " | " + path->address.Text() + " | " +
         std::to_string(used);
}

TEST(AddressTest, ReadsThePathFormsOfMailAndRcpt) {
  EXPECT_EQ(Parsed("<jdoe@example.com>"), "jdoe | example.com | jdoe@example.com | 18");
  EXPECT_EQ(Parsed("<John.Doe+tag@Mail.Example.COM> SIZE=1"),
            "John.Doe+tag | Mail.Example.COM | John.Doe+tag@Mail.Example.COM | 31");
  EXPECT_EQ(Parsed("<\"a b\\\"c\"@x.org>"), "a b\"c | x.org | \"a b\\\"c\"@x.org | 16");
  EXPECT_EQ(Parsed("<\"a>b\"@x.org>"), "a>b | x.org | \"a>b\"@x.org | 13");
  EXPECT_EQ(Parsed("<@relay.example,@b.example:u@x.org>"), "u | x.org | u@x.org | 35");
  EXPECT_EQ(Parsed("<u@[192.0.2.1]>"), "u | [192.0.2.1] | u@[192.0.2.1] | 15");
  EXPECT_EQ(Parsed("<o'brien@x.org>"), "o'brien | x.org | o'brien@x.org | 15");
  EXPECT_EQ(Parsed("<POSTMASTER>"), "POSTMASTER |  | POSTMASTER | 12");
  EXPECT_EQ(Parsed("<>", false), "<>");
  EXPECT_EQ(Parsed("<postmaster>", false), "error: the address lacks @domain");
}

TEST(AddressTest, RefusesWhatIsNoAddress) {
  for (const char* bad : {"jdoe@example.com",
                          "<jdoe@example.com",
                          "<jdoe>",
                          "<@example.com>",
                          "<.a@x.org>",
                          "<a..b@x.org>",
                          "<a.@x.org>",
                          "<a@>",
                          "<a@-x.org>",
                          "<a@x-.org>",
                          "<a@x..org>",
                          "<a@x.org.>",
                          "<a b@x.org>",
                          "<\"a\rb\"@x.org>",
                          "<a\x01@x.org>",
                          "<\"open@x.org>",
                          "<@x.org:>",
                          "<@x.org,a@x.org>",
                          "<a@[1.2.3.4>",
                          "<a@[]>",
                          "<j\xc3\xb6rg@x.org>",
                          "<>"}) {
    EXPECT_THAT(Parsed(bad), HasSubstr("error: ")) << bad;
  }
  std::string long_path = "<" + std::string(250, 'a') + "@x.org>";
  EXPECT_EQ(Parsed(long_path), "error: the address is too long");
}

}  // namespace
}  // namespace lmtp
