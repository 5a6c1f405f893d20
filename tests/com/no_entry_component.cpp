// A library that describes a class but has no DllGetClassObject.
#include "platform/com/server.h"

namespace {
const ComClassInfo kClasses[] = {
    {"ComTest.Orphan", "{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E03}", "Orphan", "Apartment"},
};
}  // namespace

COM_EXPORT std::int32_t DllGetClassInfo(const ComClassInfo** classes) {
  *classes = kClasses;
  return 1;
}
