#include "tools/zenthra-lmtpd/delivery.h"

#include <chrono>
#include <unordered_map>

#include "platform/core/error.h"
#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "platform/mime/mime.h"
#include "platform/store/store.h"
#include "tools/zenthra-lmtpd/log.h"
#include "tools/zenthra-lmtpd/trace.h"

namespace lmtp {

namespace {

std::string Safe(std::string_view text) { return core::TerminalSafe(text); }

std::string Bracketed(const Address& address) { return "<" + address.Text() + ">"; }

Reply ReplyFor(const Outcome& outcome, const Address& address, const std::string& id) {
  const std::string who = Bracketed(address) + " ";
  switch (outcome.status) {
    case Outcome::kStored:
      return {250, "2.0.0 " + who + "Delivered (" + id + ")"};
    case Outcome::kRefused:
      return {554, "5.3.0 " + who + "The store refused the message (" + id + ")"};
    case Outcome::kFull:
      return {452, "4.3.1 " + who + "The store is out of disk space, try again later (" + id + ")"};
    case Outcome::kTemporary:
      break;
  }
  return {451,
          "4.3.0 " + who + "The store cannot take the message now, try again later (" + id + ")"};
}

const char* Verb(Outcome::Status status) {
  switch (status) {
    case Outcome::kStored:
      return "delivered";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kFull:
    case Outcome::kTemporary:
      break;
  }
  return "deferred";
}

}  // namespace

StoreReceiver::StoreReceiver(const DeliveryContext& context, std::string peer)
    : context_(context), peer_(std::move(peer)) {}

StoreReceiver::~StoreReceiver() { RepliesSent(); }

void StoreReceiver::Log(std::string line) { log_.push_back(std::move(line)); }

void StoreReceiver::RepliesSent() {
  for (const std::string& line : log_) LogLine(line);
  log_.clear();
}

Reply StoreReceiver::CheckRecipient(const Address& address, std::string* mailbox) {
  Resolution r;
  try {
    if (!store_) store_ = store::Store::Open(context_.root);
    r = context_.recipients->Resolve(address, *store_);
  } catch (const core::RuntimeError& e) {
    r = {Resolution::kTemporary, "", "the store failed: " + e.Description()};
  }
  const std::string who = Bracketed(address);
  switch (r.kind) {
    case Resolution::kMailbox:
      *mailbox = r.mailbox;
      return {250, "2.1.5 " + who + " OK"};
    case Resolution::kUnknown:
      Log("rejected recipient " + Safe(who) + ": " + Safe(r.detail));
      return {550, "5.1.1 " + who + " No such mailbox here"};
    case Resolution::kAmbiguous:
      Log("rejected recipient " + Safe(who) + ": " + Safe(r.detail));
      return {550, "5.1.4 " + who + " The address is ambiguous here"};
    case Resolution::kTemporary:
      break;
  }
  // The session's connection may be what failed; the next recipient opens
  // a new one.
  store_.reset();
  Log("cannot check recipient " + Safe(who) + ": " + Safe(r.detail));
  if (IsDiskFull(r.detail)) {
    return {452, "4.3.1 " + who + " The store is out of disk space, try again later"};
  }
  return {451, "4.4.3 " + who + " Recipients cannot be checked now, try again later"};
}

std::vector<Reply> StoreReceiver::Deliver(const Envelope& envelope, std::string_view message) {
  const std::string id = NewTransactionId();
  const auto now = std::chrono::system_clock::now();
  const Trace trace{envelope.helo, peer_, context_.host, id};
  auto body = std::make_shared<const std::string>(message);

  // A mailbox named twice (by two addresses, or one address twice) gets
  // the message once; each of its recipients gets that delivery's reply.
  std::vector<std::size_t> parcel_of;
  std::vector<Parcel> parcels;
  std::unordered_map<std::string, std::size_t> by_mailbox;
  for (const Recipient& r : envelope.recipients) {
    auto [it, added] = by_mailbox.emplace(core::FoldCase(r.mailbox), parcels.size());
    if (added) {
      Parcel parcel{r.mailbox, TraceLines(trace, envelope.sender, r.address, now), body, nullptr};
      // Sessions parse side by side; the committer, which holds the write
      // lock for the whole batch, then only stores.
      parcel.info = std::make_shared<const mime::MessageInfo>(mime::Analyze(parcel.prefix + *body));
      parcels.push_back(std::move(parcel));
    }
    parcel_of.push_back(it->second);
  }
  std::vector<Outcome> outcomes = context_.commit->Deliver(std::move(parcels));

  std::vector<Reply> replies;
  const std::string from =
      Safe("<" + (envelope.sender.null ? "" : envelope.sender.address.Text()) + ">");
  for (std::size_t i = 0; i < envelope.recipients.size(); ++i) {
    const Recipient& r = envelope.recipients[i];
    const Outcome& outcome = outcomes[parcel_of[i]];
    std::string line = std::string(Verb(outcome.status)) + " id=" + id + " from=" + from +
                       " to=" + Safe(Bracketed(r.address)) + " mailbox=" + Safe(r.mailbox) +
                       " size=" + std::to_string(message.size());
    if (outcome.status == Outcome::kStored) {
      line += " url=" + Safe(outcome.url);
    } else {
      line += ": " + Safe(outcome.error);
    }
    Log(std::move(line));
    replies.push_back(ReplyFor(outcome, r.address, id));
  }
  return replies;
}

}  // namespace lmtp
