#include "platform/core/error.h"

#include <gtest/gtest.h>

#include <regex>

namespace core {
namespace {

TEST(ErrorLogLine, HasTheExactShape) {
  const auto when = std::chrono::system_clock::now();
  const std::string date = GeneralDate(when);
  EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")));
  EXPECT_EQ(
      ErrorLogLine(when, "file://./backofficestorage/x/mbx/a", -2147217895, "Not found."),
      "[" + date + "] file://./backofficestorage/x/mbx/a - ERROR: -2147217895 Not found.\r\n\r\n");
  // An empty context leaves two blanks between the bracket and the dash.
  EXPECT_EQ(ErrorLogLine(when, "", RuntimeError(53, "File not found")),
            "[" + date + "]  - ERROR: 53 File not found\r\n\r\n");
}

TEST(RuntimeError, CarriesNumberDescriptionAndSource) {
  const RuntimeError e(err::kAdoObjectClosed, "Operation is not allowed when the object is closed.",
                       "ADODB.Record");
  EXPECT_EQ(e.Number(), 3704);
  EXPECT_EQ(e.Description(), "Operation is not allowed when the object is closed.");
  EXPECT_EQ(e.Source(), "ADODB.Record");
  EXPECT_STREQ(e.what(), "Operation is not allowed when the object is closed.");
}

}  // namespace
}  // namespace core
