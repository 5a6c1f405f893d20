// The store's query dialect: any text either parses or is refused with a
// syntax error, and what parses evaluates against an item without fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/core/error.h"
#include "platform/store/query/query.h"

namespace {

const core::Variant* Lookup(std::string_view name) {
  static const core::Variant kText("Zenthra Quarantined");
  static const core::Variant kNumber(std::int32_t{65500});
  static const core::Variant kFlag(true);
  static const core::Variant kNull = core::Variant::Null();
  if (name.empty()) return nullptr;
  switch (name.size() % 5) {
    case 0:
      return &kText;
    case 1:
      return &kNumber;
    case 2:
      return &kFlag;
    case 3:
      return &kNull;
    default:
      return nullptr;
  }
}

void Refused(const core::RuntimeError& e) {
  if (e.Number() != core::err::kDbErrorsInCommand) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    store::query::Query q = store::query::Parse(text);
    if (q.scopes.empty()) __builtin_trap();
    store::query::Matches(q.where.get(), Lookup);
  } catch (const core::RuntimeError& e) {
    Refused(e);
  }
  try {
    auto where = store::query::ParseCriteria(text);
    store::query::Matches(where.get(), Lookup);
  } catch (const core::RuntimeError& e) {
    Refused(e);
  }
  return 0;
}
