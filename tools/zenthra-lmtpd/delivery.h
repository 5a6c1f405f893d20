// StoreReceiver: what one LMTP connection delivers into, the store of the
// server root. Recipients are resolved with Recipients against the
// connection's own store session; messages go to the group commit with
// their trace lines, once per distinct mailbox; every outcome and every
// refused recipient is logged in one line, once the replies are out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/zenthra-lmtpd/group_commit.h"
#include "tools/zenthra-lmtpd/protocol.h"
#include "tools/zenthra-lmtpd/recipients.h"

namespace store {
class Store;
}

namespace lmtp {

// What every connection of the service shares.
struct DeliveryContext {
  std::filesystem::path root;
  std::string host;  // this server's name, for the trace lines
  Recipients* recipients = nullptr;
  GroupCommit* commit = nullptr;
};

class StoreReceiver : public Receiver {
 public:
  // peer says how the client connected ("[127.0.0.1]", "unix socket").
  StoreReceiver(const DeliveryContext& context, std::string peer);
  ~StoreReceiver() override;

  Reply CheckRecipient(const Address& address, std::string* mailbox) override;
  std::vector<Reply> Deliver(const Envelope& envelope, std::string_view message) override;
  // Writes the log lines held back since the last call.
  void RepliesSent() override;

 private:
  // Log lines wait for the replies they describe to go out: a client is
  // not kept waiting for the log.
  void Log(std::string line);

  const DeliveryContext& context_;
  std::string peer_;
  std::unique_ptr<store::Store> store_;  // opened at the first recipient
  std::vector<std::string> log_;
};

}  // namespace lmtp
