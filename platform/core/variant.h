// Variant: the value of a field or property.
//
// Values are typed as they are written: a priority stored as the text "65500"
// stays a string and never compares equal to the number 65500 under Equals().
// Conversions follow the scripting runtime's rules: reading a Null as text or
// Boolean is error 94, a string that is no number is a type mismatch (13).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace core {

enum class VarType { Empty, Null, Boolean, Integer, Long, Double, String };

class Variant {
 public:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };

  Variant() = default;                          // Empty
  Variant(NullTag) : v_(NullTag{}) {}           // Null
  Variant(bool b) : v_(b) {}                    // Boolean
  Variant(std::int16_t i) : v_(i) {}            // Integer (16-bit)
  Variant(std::int32_t l) : v_(l) {}            // Long (32-bit)
  Variant(double d) : v_(d) {}                  // Double
  Variant(std::string s) : v_(std::move(s)) {}  // String
  Variant(std::string_view s) : v_(std::string(s)) {}
  Variant(const char* s) : v_(std::string(s)) {}

  static Variant Null() { return Variant(NullTag{}); }

  VarType Type() const;
  bool IsEmpty() const { return Type() == VarType::Empty; }
  bool IsNull() const { return Type() == VarType::Null; }
  bool IsNumeric() const;

  // Text of the value: Empty gives "", Boolean gives "True"/"False",
  // numbers their decimal form. Null is error 94.
  std::string AsString() const;
  // The text held by a String, without copying it; null for other types.
  const std::string* Text() const { return std::get_if<std::string>(&v_); }
  // The same, for an owner that may take the text (move from it).
  std::string* Text() { return std::get_if<std::string>(&v_); }
  // Boolean value: numbers are true when non-zero; "True"/"False" (any case)
  // and numeric strings convert; anything else is error 13; Null is error 94.
  bool AsBool() const;
  // 32-bit value, rounding a fraction half to even; error 6 when out of range.
  std::int32_t AsLong() const;
  double AsDouble() const;

  // Same type and same value. Integer and Long of one value are equal, and so
  // are numbers with Double; a string never equals a number.
  bool Equals(const Variant& other) const;
  friend bool operator==(const Variant& a, const Variant& b) { return a.Equals(b); }

  // Name of the type for messages: "Empty", "Null", "Boolean", "Integer",
  // "Long", "Double", "String".
  static const char* TypeName(VarType t);

 private:
  std::variant<std::monostate, NullTag, bool, std::int16_t, std::int32_t, double, std::string> v_;
};

}  // namespace core
