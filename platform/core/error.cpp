#include "platform/core/error.h"

#include <ctime>

namespace core {

RuntimeError::RuntimeError(std::int32_t number, std::string description, std::string source)
    : std::runtime_error(description),
      number_(number),
      description_(std::move(description)),
      source_(std::move(source)) {}

std::string GeneralDate(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char buffer[32];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buffer, n);
}

std::string ErrorLogLine(std::chrono::system_clock::time_point when, std::string_view context,
                         std::int32_t number, std::string_view description) {
  std::string line = "[" + GeneralDate(when) + "] ";
  line.append(context);
  line.append(" - ERROR: ");
  line.append(std::to_string(number));
  line.push_back(' ');
  line.append(description);
  line.append("\r\n\r\n");
  return line;
}

std::string ErrorLogLine(std::chrono::system_clock::time_point when, std::string_view context,
                         const RuntimeError& error) {
  return ErrorLogLine(when, context, error.Number(), error.Description());
}

}  // namespace core
