// Delivers the kill test's messages into jdoe's Inbox in a loop until
// killed, with the component catalog's activation as the mail server runs
// it, writing "<n>\n" to stdout once each delivery has returned (durable,
// and filed or not as the sink decided). Usage: sink_kill_helper ROOT RUN
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/complus/activation.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/store/provider.h"
#include "platform/store/store.h"
#include "tests/store/kill_message.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sink_kill_helper ROOT RUN\n");
    return 2;
  }
  try {
    core::SetServerRoot(argv[1]);
    store::RegisterProvider();
    complus::EnableCatalogActivation();
    std::unique_ptr<store::Store> store = store::Store::Open(argv[1]);
    const int run = std::atoi(argv[2]);
    for (int n = 0;; ++n) {
      store->Deliver("jdoe", store::testing::KillMessage(run, n));
      std::string ack = std::to_string(n) + "\n";
      if (::write(1, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return 1;
    }
  } catch (const core::RuntimeError& e) {
    std::fprintf(stderr, "sink_kill_helper: %s\n", e.Description().c_str());
    return 1;
  }
}
