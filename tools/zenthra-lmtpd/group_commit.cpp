#include "tools/zenthra-lmtpd/group_commit.h"

#include <pthread.h>

#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "platform/core/error.h"
#include "platform/store/session.h"
#include "platform/store/store.h"

namespace lmtp {

namespace err = core::err;

struct GroupCommit::Job {
  std::vector<Parcel> parcels;
  std::vector<Outcome> outcomes;
  std::size_t bytes = 0;
  bool done = false;
  std::condition_variable finished;
};

namespace {

// Errors by which the store turns one message away while the transaction
// stays whole: the message's own savepoint was rolled back. Anything else
// is taken for a failure of the store, which ends the batch: taking an
// unknown failure for a refusal could let later deliveries of the batch
// run outside the transaction SQLite may have rolled back.
bool IsRefusal(const core::RuntimeError& e) {
  if (IsStorageFailure(e.Description())) return false;
  switch (e.Number()) {
    case err::kDbNotFound:          // no such mailbox or Inbox (any more)
    case err::kAdoInvalidArgument:  // a message the store does not take
    case err::kDbResourceExists:    // no free item name
    case err::kDbPermissionDenied:  // not a mailbox folder
      return true;
    default:
      // A sink that vetoes the save names itself and may use any number.
      return e.Description().find("refused the save") != std::string::npos;
  }
}

std::size_t Bytes(const Parcel& p) { return p.prefix.size() + (p.body ? p.body->size() : 0); }

}  // namespace

bool IsStorageFailure(const std::string& description) {
  return description.rfind("Store database error", 0) == 0;
}

bool IsDiskFull(const std::string& description) {
  return description.find("disk is full") != std::string::npos ||
         description.find("disk full") != std::string::npos ||
         description.find("No space left") != std::string::npos;
}

GroupCommit::GroupCommit(Options options) : options_(std::move(options)) {
  if (options_.committers < 1) options_.committers = 1;
  for (int i = 0; i < options_.committers; ++i) threads_.emplace_back([this] { Run(); });
}

GroupCommit::~GroupCommit() { Stop(); }

void GroupCommit::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
}

std::vector<Outcome> GroupCommit::Deliver(std::vector<Parcel> parcels) {
  if (parcels.empty()) return {};
  auto job = std::make_shared<Job>();
  job->outcomes.resize(parcels.size());
  for (const Parcel& p : parcels) job->bytes += Bytes(p);
  job->parcels = std::move(parcels);
  std::unique_lock<std::mutex> lock(mu_);
  if (stopping_) {
    for (Outcome& o : job->outcomes) o = {Outcome::kTemporary, "", "the service is stopping"};
    return std::move(job->outcomes);
  }
  queue_.push_back(job);
  work_.notify_one();
  job->finished.wait(lock, [&] { return job->done; });
  return std::move(job->outcomes);
}

GroupCommit::Stats GroupCommit::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

std::vector<std::shared_ptr<GroupCommit::Job>> GroupCommit::TakeBatch() {
  std::unique_lock<std::mutex> lock(mu_);
  work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
  std::vector<std::shared_ptr<Job>> batch;
  std::size_t messages = 0, bytes = 0;
  while (!queue_.empty()) {
    const std::shared_ptr<Job>& next = queue_.front();
    if (!batch.empty() && (messages + next->parcels.size() > options_.max_batch_messages ||
                           bytes + next->bytes > options_.max_batch_bytes)) {
      break;
    }
    messages += next->parcels.size();
    bytes += next->bytes;
    batch.push_back(next);
    queue_.pop_front();
  }
  // What is left is another committer's: wake one for it.
  if (!queue_.empty()) work_.notify_one();
  return batch;
}

namespace {

// Stores the batch in one transaction on *store, opening the connection
// when there is none and dropping it after a failure of the store. Calls
// publish(committed) once, when the outcomes are final: as soon as the
// commit is durable, before the sinks' committed phase runs, or after a
// failure.
void CommitBatch(const std::filesystem::path& root, std::unique_ptr<store::Store>& store,
                 const std::vector<Outcome*>& outcomes, const std::vector<const Parcel*>& parcels,
                 const std::function<void(bool committed)>& publish) {
  std::optional<std::string> failure;
  std::vector<Outcome*> written;
  bool published = false;
  try {
    if (!store) store = store::Store::Open(root);
    store->BeginTrans();
    for (std::size_t i = 0; i < parcels.size(); ++i) {
      const Parcel& parcel = *parcels[i];
      std::string text;
      text.reserve(Bytes(parcel));
      text.append(parcel.prefix);
      if (parcel.body) text.append(*parcel.body);
      try {
        outcomes[i]->url = parcel.info
                               ? store->Deliver(parcel.mailbox, std::move(text), *parcel.info)
                               : store->Deliver(parcel.mailbox, std::move(text));
        written.push_back(outcomes[i]);
      } catch (const core::RuntimeError& e) {
        if (!IsRefusal(e)) throw;
        *outcomes[i] = {Outcome::kRefused, "", e.Description()};
      }
    }
    store->CommitTrans([&] {
      for (Outcome* o : written) o->status = Outcome::kStored;
      published = true;
      publish(true);
    });
    return;
  } catch (const core::RuntimeError& e) {
    failure = e.Description();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // Closing the connection discards the transaction, whatever state SQLite
  // left it in. The thread's session goes too: one opened while the file
  // system was read-only would keep every connection of the process to
  // this store read-only after the remount.
  store.reset();
  store::Session::ReleaseIdle(root);
  // Outcomes once published belong to their sessions again.
  if (published) return;
  const Outcome::Status status = IsDiskFull(*failure) ? Outcome::kFull : Outcome::kTemporary;
  for (Outcome* o : outcomes) {
    if (o->status != Outcome::kRefused) *o = {status, "", *failure};
  }
  publish(false);
}

}  // namespace

void GroupCommit::Run() {
  // Named for top -H and profilers: the thread whose load bounds the rate.
  ::pthread_setname_np(::pthread_self(), "committer");
  std::unique_ptr<store::Store> store;
  for (;;) {
    std::vector<std::shared_ptr<Job>> batch = TakeBatch();
    if (batch.empty()) return;
    std::vector<Outcome*> outcomes;
    std::vector<const Parcel*> parcels;
    for (const std::shared_ptr<Job>& job : batch) {
      for (std::size_t i = 0; i < job->parcels.size(); ++i) {
        job->outcomes[i] = Outcome{Outcome::kTemporary, "", "not attempted"};
        outcomes.push_back(&job->outcomes[i]);
        parcels.push_back(&job->parcels[i]);
      }
    }
    CommitBatch(options_.root, store, outcomes, parcels, [&](bool committed) {
      std::lock_guard<std::mutex> lock(mu_);
      if (committed) {
        ++stats_.commits;
        for (const Outcome* o : outcomes) stats_.messages += o->status == Outcome::kStored;
      }
      for (const std::shared_ptr<Job>& job : batch) {
        job->done = true;
        job->finished.notify_all();
      }
    });
  }
}

}  // namespace lmtp
