#include "platform/qtui/error_report.h"

#include "platform/core/error.h"

namespace qtui {

std::string RuntimeErrorMessage(const std::exception& error) {
  if (const auto* rt = dynamic_cast<const core::RuntimeError*>(&error)) {
    return "Run-time error '" + std::to_string(rt->Number()) + "':\r\n\r\n" + rt->Description();
  }
  return std::string("Run-time error:\r\n\r\n") + error.what();
}

}  // namespace qtui
