// Group commit: deliveries that arrive together are stored in one
// transaction and made durable by one commit.
//
// The store keeps one SQLite database; every commit is synced to disk, and
// commits of different connections cannot be merged. So sessions do not
// write themselves: they hand their messages to a committer, which owns a
// connection of its own and takes everything waiting at once. It opens one
// transaction, delivers each message in it (each delivery is its own
// savepoint, so a message the store refuses leaves the others in), commits
// once, and only then tells each waiting session how its messages fared.
// While one batch commits the next one gathers, so the more sessions
// deliver at once, the more messages share a commit.
//
// The store runs the registered sinks' committed phase (the filing of
// marked mail, with commits of its own) on the committing thread right
// after the commit. The sessions hear their outcomes as soon as the commit
// is synced, before that phase: the messages are safe by then, and every
// moment between a commit and its reply is one in which a crash makes the
// transport send the message again. While the sinks file, the sessions
// reply and read their next messages.
//
// One committer does it all by default: the store has one write lock, so
// committers taking batches in turn only wait for each other, and every
// commit of one empties the page caches of the others.
// Measured with eight sessions, one committer stored 1.7 times as many
// messages per second as four, at half the CPU per message.
//
// Outcomes:
//   kStored     committed durably (the registered sinks may still be
//               filing it; Stop waits for them)
//   kRefused    the store refused this message (no such mailbox any more, a
//               sink vetoed it, ...); the others of its batch are unharmed
//   kTemporary  the store could not be written (busy, read-only, I/O) or
//               the commit failed; nothing of the batch was stored
//   kFull       as kTemporary, because the disk is full
// A failure of the store itself aborts the whole batch: after some errors
// SQLite has rolled the transaction back on its own, and a later statement
// would then commit by itself, unseen. The committer drops its connection
// (which discards whatever is left of the transaction) and opens a new one
// for the next batch.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mime/mime.h"

namespace lmtp {

struct Outcome {
  enum Status { kStored, kRefused, kTemporary, kFull };
  Status status = kTemporary;
  std::string url;    // kStored: where the store put it
  std::string error;  // otherwise: the store's description
};

// One message for one mailbox: text is prefix followed by *body, so that
// the copies for several recipients share one body. info, when given, is
// mime::Analyze of that text, made by the session so that the committer
// does not parse under the store's write lock.
struct Parcel {
  std::string mailbox;
  std::string prefix;
  std::shared_ptr<const std::string> body;
  std::shared_ptr<const mime::MessageInfo> info;
};

class GroupCommit {
 public:
  struct Options {
    std::filesystem::path root;
    int committers = 1;                      // connections committing in turn
    std::size_t max_batch_messages = 256;    // per transaction
    std::size_t max_batch_bytes = 64 << 20;  // per transaction (one message may exceed it)
  };

  // Starts the committers. They open their connections when first needed.
  explicit GroupCommit(Options options);
  // Stops (see Stop).
  ~GroupCommit();
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // Stores every parcel and waits for their outcomes, in order. Thread-safe.
  // After Stop it stores nothing and answers kTemporary.
  std::vector<Outcome> Deliver(std::vector<Parcel> parcels);

  // Lets the committers finish what is queued (the sinks' filing too), then
  // ends them.
  void Stop();

  // Transactions committed and the messages they stored, so far.
  struct Stats {
    std::uint64_t commits = 0;
    std::uint64_t messages = 0;
  };
  Stats stats();

 private:
  struct Job;
  void Run();
  // Up to the batch limits of whole jobs, oldest first; empty once stopped
  // and drained.
  std::vector<std::shared_ptr<Job>> TakeBatch();

  Options options_;
  std::mutex mu_;
  std::condition_variable work_;
  std::deque<std::shared_ptr<Job>> queue_;
  bool stopping_ = false;
  Stats stats_;
  std::vector<std::thread> threads_;
};

// Whether a store error means the store could not be written (true), as
// opposed to refusing the message; and whether because the disk is full.
bool IsStorageFailure(const std::string& description);
bool IsDiskFull(const std::string& description);

}  // namespace lmtp
