// A program that starts and ends and does nothing else, linked against the
// same libraries as zenthra-store: process_bench runs it beside the real
// delivery, so that the cost of loading those libraries shows on its own.
#include "platform/store/store.h"

int main() {
  // An address taken and never called keeps the store's code in the
  // program, and with it the libraries that code calls; the linker drops
  // libraries nothing calls, here as in zenthra-store.
  std::unique_ptr<store::Store> (*volatile keep)(const std::filesystem::path&) =
      &store::Store::Open;
  (void)keep;
  return 0;
}
