#include "platform/core/variant.h"

#include <gtest/gtest.h>

#include "platform/core/error.h"

namespace core {
namespace {

int ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

TEST(Variant, KeepsTheTypeItWasWrittenWith) {
  EXPECT_EQ(Variant("65500").Type(), VarType::String);
  EXPECT_EQ(Variant(std::int16_t{100}).Type(), VarType::Integer);
  EXPECT_EQ(Variant(std::int32_t{2}).Type(), VarType::Long);
  EXPECT_EQ(Variant(true).Type(), VarType::Boolean);
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  // A priority written as text is not the number.
  EXPECT_FALSE(Variant("65500") == Variant(std::int32_t{65500}));
  EXPECT_TRUE(Variant(std::int16_t{7}) == Variant(std::int32_t{7}));
  EXPECT_FALSE(Variant(true) == Variant("True"));
}

TEST(Variant, ConversionsFollowTheRuntime) {
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_EQ(Variant(std::int32_t{-3}).AsString(), "-3");
  EXPECT_EQ(Variant(1.5).AsString(), "1.5");
  EXPECT_TRUE(Variant("true").AsBool());
  EXPECT_FALSE(Variant(std::int32_t{0}).AsBool());
  EXPECT_EQ(Variant(" 1.5 ").AsLong(), 2);
  EXPECT_EQ(Variant("2.5").AsLong(), 2);  // half to even
  EXPECT_EQ(Variant("-0.5").AsLong(), 0);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().AsString(); }), err::kInvalidUseOfNull);
  EXPECT_EQ(ErrorNumberOf([] { Variant("abc").AsLong(); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant("").AsDouble(); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant("99999999999").AsLong(); }), err::kOverflow);
}

}  // namespace
}  // namespace core
