// Delivers messages in a loop until killed, writing "<n>\n" to stdout after
// each delivery has committed. Usage: store_kill_helper ROOT ALIAS RUN
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/core/error.h"
#include "platform/store/store.h"
#include "tests/store/kill_message.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: store_kill_helper ROOT ALIAS RUN\n");
    return 2;
  }
  try {
    std::unique_ptr<store::Store> store = store::Store::Open(argv[1]);
    for (int n = 0;; ++n) {
      store->Deliver(argv[2], store::testing::KillMessage(std::atoi(argv[3]), n));
      std::string ack = std::to_string(n) + "\n";
      if (::write(1, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return 1;
    }
  } catch (const core::RuntimeError& e) {
    std::fprintf(stderr, "store_kill_helper: %s\n", e.Description().c_str());
    return 1;
  }
}
