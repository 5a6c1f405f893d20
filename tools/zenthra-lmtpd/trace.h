// The trace lines a delivery puts in front of a message: Return-Path with
// the envelope sender, and a Received line saying who handed the message
// over, when, and for whom.
#pragma once

#include <chrono>
#include <string>

#include "tools/zenthra-lmtpd/address.h"

namespace lmtp {

struct Trace {
  std::string helo;  // the client's LHLO name
  std::string peer;  // how it connected: "[127.0.0.1]", "unix socket"
  std::string host;  // this server's name
  std::string id;    // the transaction's id, as logged
};

// "Sat, 07 Dec 2024 08:42:00 +0100": the RFC 5322 date, local time.
std::string MailDate(std::chrono::system_clock::time_point when);

// "Return-Path: <...>" and "Received: ..." lines, each ending in CRLF, for a
// message from sender to recipient received at when.
std::string TraceLines(const Trace& trace, const Path& sender, const Address& recipient,
                       std::chrono::system_clock::time_point when);

// A new transaction id: unique within this host for the life of the service
// and across restarts (it starts from the clock).
std::string NewTransactionId();

}  // namespace lmtp
