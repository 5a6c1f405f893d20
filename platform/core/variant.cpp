#include "platform/core/variant.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/core/error.h"
#include "platform/core/text.h"

namespace core {
namespace {

[[noreturn]] void ThrowNull() { throw RuntimeError(err::kInvalidUseOfNull, "Invalid use of Null"); }
[[noreturn]] void ThrowMismatch() { throw RuntimeError(err::kTypeMismatch, "Type mismatch"); }

// Parses a decimal number with optional sign and fraction, blanks around it
// allowed. Returns false when the text is no number.
bool ParseNumber(std::string_view text, double* out) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;
  if (first == last) return false;
  const auto [ptr, ec] = std::from_chars(first, last, *out, std::chars_format::fixed);
  return ec == std::errc() && ptr == last;
}

std::string DoubleText(double d) {
  if (d == std::floor(d) && std::fabs(d) < 1e15) {
    return std::to_string(static_cast<long long>(d));
  }
  char buffer[64];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  (void)ec;
  return std::string(buffer, ptr);
}

}  // namespace

VarType Variant::Type() const { return static_cast<VarType>(v_.index()); }

bool Variant::IsNumeric() const {
  const VarType t = Type();
  return t == VarType::Integer || t == VarType::Long || t == VarType::Double;
}

const char* Variant::TypeName(VarType t) {
  switch (t) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::Boolean:
      return "Boolean";
    case VarType::Integer:
      return "Integer";
    case VarType::Long:
      return "Long";
    case VarType::Double:
      return "Double";
    case VarType::String:
      return "String";
  }
  return "Unknown";
}

std::string Variant::AsString() const {
  switch (Type()) {
    case VarType::Empty:
      return "";
    case VarType::Null:
      ThrowNull();
    case VarType::Boolean:
      return std::get<bool>(v_) ? "True" : "False";
    case VarType::Integer:
      return std::to_string(std::get<std::int16_t>(v_));
    case VarType::Long:
      return std::to_string(std::get<std::int32_t>(v_));
    case VarType::Double:
      return DoubleText(std::get<double>(v_));
    case VarType::String:
      return std::get<std::string>(v_);
  }
  ThrowMismatch();
}

double Variant::AsDouble() const {
  switch (Type()) {
    case VarType::Empty:
      return 0;
    case VarType::Null:
      ThrowNull();
    case VarType::Boolean:
      return std::get<bool>(v_) ? -1 : 0;
    case VarType::Integer:
      return std::get<std::int16_t>(v_);
    case VarType::Long:
      return std::get<std::int32_t>(v_);
    case VarType::Double:
      return std::get<double>(v_);
    case VarType::String: {
      double d;
      if (!ParseNumber(std::get<std::string>(v_), &d)) ThrowMismatch();
      return d;
    }
  }
  ThrowMismatch();
}

bool Variant::AsBool() const {
  if (Type() == VarType::Boolean) return std::get<bool>(v_);
  if (Type() == VarType::String) {
    const std::string& s = std::get<std::string>(v_);
    if (EqualsNoCase(Trim(s), "True")) return true;
    if (EqualsNoCase(Trim(s), "False")) return false;
  }
  return AsDouble() != 0;
}

std::int32_t Variant::AsLong() const {
  const double d = std::nearbyint(AsDouble());  // default rounding: half to even
  if (!(d >= std::numeric_limits<std::int32_t>::min() &&
        d <= std::numeric_limits<std::int32_t>::max())) {
    throw RuntimeError(err::kOverflow, "Overflow");
  }
  return static_cast<std::int32_t>(d);
}

bool Variant::Equals(const Variant& other) const {
  if (IsNumeric() && other.IsNumeric()) return AsDouble() == other.AsDouble();
  return v_ == other.v_;
}

}  // namespace core
