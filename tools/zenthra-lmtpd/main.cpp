// zenthra-lmtpd: the LMTP delivery service of a server root. See --help.
#include <malloc.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/terminal.h"
#include "platform/directory/provider.h"
#include "platform/store/machine.h"
#include "platform/store/store.h"
#include "tools/zenthra-lmtpd/delivery.h"
#include "tools/zenthra-lmtpd/group_commit.h"
#include "tools/zenthra-lmtpd/listener.h"
#include "tools/zenthra-lmtpd/log.h"
#include "tools/zenthra-lmtpd/options.h"
#include "tools/zenthra-lmtpd/recipients.h"
#include "tools/zenthra-lmtpd/server.h"

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// SIGTERM and SIGINT arrive on a descriptor the accept loop waits on. They
// are blocked before any thread starts, so every thread inherits the mask
// and none is interrupted by them.
int SignalDescriptor() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  if (::pthread_sigmask(SIG_BLOCK, &mask, nullptr) != 0) return -1;
  ::signal(SIGPIPE, SIG_IGN);
  return ::signalfd(-1, &mask, SFD_CLOEXEC);
}

// The store of root, or an error that names the root and, when the store's
// folder cannot be written, why (a read-only or full file system, ...).
std::unique_ptr<store::Store> OpenStore(const std::filesystem::path& root) {
  try {
    std::unique_ptr<store::Store> store = store::Store::Open(root);
    // A store that can be read but not written would take every message
    // only to defer it; refuse to start so that the service manager shows why.
    if (!store->Writable())
      throw core::RuntimeError(core::err::kEFail, store->session().WriteRefusal());
    return store;
  } catch (const core::RuntimeError& e) {
    std::string why = e.Description();
    if (::access(store::DatabaseFile(root).parent_path().c_str(), W_OK) != 0) {
      why += " (" + core::FileErrorCause(errno) + ")";
    }
    throw core::RuntimeError(e.Number(), "cannot open the store of " + root.string() + ": " + why);
  }
}

int Serve(const lmtp::Options& options) {
  const int signal_fd = SignalDescriptor();
  if (signal_fd < 0) {
    lmtp::LogLine("cannot receive signals");
    return kFailed;
  }
  const std::filesystem::path root = options.root.empty() ? core::ServerRoot() : options.root;
  core::SetServerRoot(root);  // for the catalog and the sinks the store loads
  const store::Machine machine = store::ReadMachine(root);
  // Fails now rather than at the first message. Held open for the life of
  // the service: while one connection is open the store's write-ahead log
  // and its index stay, so sessions opening their own connections never
  // have to create them (which a full disk would refuse).
  std::unique_ptr<store::Store> keeper = OpenStore(root);
  directory::RegisterProvider(directory::MachineFacts{machine.computer, machine.domain});

  std::vector<lmtp::Listener> listeners = lmtp::InheritedListeners();
  try {
    for (const std::string& spec : options.listen) listeners.push_back(lmtp::Listen(spec));
  } catch (...) {
    for (lmtp::Listener& l : listeners) lmtp::Close(l);
    throw;
  }
  if (listeners.empty()) {
    throw lmtp::UsageError(
        "nothing to listen on: give --listen (or start it by socket activation)");
  }

  lmtp::Recipients recipients(machine);
  lmtp::GroupCommit commit(lmtp::GroupCommit::Options{root});
  const lmtp::DeliveryContext context{root, machine.DnsName(), &recipients, &commit};
  lmtp::ServerConfig config{options.limits, machine.DnsName(), options.max_connections,
                            options.idle_timeout, options.shutdown_timeout};
  for (const lmtp::Listener& l : listeners) lmtp::LogLine("listening on " + l.name);
  {
    lmtp::Server server(std::move(listeners), config, [&](const std::string& peer) {
      return std::make_unique<lmtp::StoreReceiver>(context, peer);
    });
    lmtp::LogLine("ready: delivering into " + core::TerminalSafe(root.string()));
    server.Run(signal_fd);
  }
  commit.Stop();
  ::close(signal_fd);
  // How well deliveries shared their commits, for whoever tunes the disk.
  const lmtp::GroupCommit::Stats stats = commit.stats();
  auto count = [](std::uint64_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  lmtp::LogLine("stopped: " + count(stats.messages, "message") + " stored in " +
                count(stats.commits, "commit"));
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Every message is copied a few times on several threads and freed again.
  // By default glibc then hands the freed memory back to the kernel almost
  // after every message (madvise, and page faults to get it back), which
  // measured as a third of the service's CPU per message. Keep up to 8 MiB
  // free per arena, and serve messages under 1 MiB from the heap.
  ::mallopt(M_TRIM_THRESHOLD, 8 << 20);
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  try {
    const lmtp::Options options =
        lmtp::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
      std::cout << lmtp::kUsage;
      return kOk;
    }
    return Serve(options);
  } catch (const lmtp::UsageError& e) {
    lmtp::LogLine(core::TerminalSafe(e.what()));
    return kUsage;
  } catch (const core::RuntimeError& e) {
    lmtp::LogLine(core::TerminalSafe(e.Description()));
    return kFailed;
  } catch (const std::exception& e) {
    lmtp::LogLine(core::TerminalSafe(e.what()));
    return kFailed;
  }
}
