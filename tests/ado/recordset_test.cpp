#include <gtest/gtest.h>

#include "platform/ado/ado.h"
#include "tests/ado/expect_error.h"
#include "tests/ado/memory_provider.h"

namespace adodb {
namespace {

using testing::kMemoryProviderName;
using testing::ScopedMemoryProvider;
namespace err = core::err;

constexpr const char* kRecordset = "ADODB.Recordset";

class RecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_->Put("mem://srv", true);
    store_->Put("mem://srv/empty", true);
    store_->Put("mem://srv/a", false);
    store_->Put("mem://srv/b", true);
    connection_ = std::make_shared<Connection>();
    connection_->Provider(kMemoryProviderName);
    connection_->Open("mem://srv");
  }
  ScopedMemoryProvider store_;
  ConnectionPtr connection_;
};

TEST_F(RecordsetTest, WalksTheRowsOfAQuery) {
  Recordset rs;
  rs.Open("CHILDREN mem://srv", connection_, adOpenUnspecified, adLockUnspecified, -1);
  EXPECT_EQ(store_->state().last_query, "CHILDREN mem://srv");
  EXPECT_TRUE(store_->state().last_properties.empty());
  EXPECT_EQ(rs.State(), adStateOpen);
  EXPECT_EQ(rs.RecordCount(), 3);
  EXPECT_FALSE(rs.Bof());
  std::vector<std::string> hrefs;
  while (!rs.Eof()) {
    EXPECT_EQ(rs.Fields().Count(), 2);
    hrefs.push_back(rs.Fields()["DAV:href"].Value().AsString());
    rs.MoveNext();
  }
  EXPECT_EQ(hrefs, (std::vector<std::string>{"mem://srv/a", "mem://srv/b", "mem://srv/empty"}));
  EXPECT_ADO_ERROR(rs.MoveNext(), err::kAdoNoCurrentRecord, kRecordset);
  EXPECT_ADO_ERROR(rs.Fields()["DAV:href"].Value(), err::kAdoNoCurrentRecord, kRecordset);

  rs.MoveFirst();
  EXPECT_FALSE(rs.Eof());
  EXPECT_EQ(rs.Fields()["DAV:href"].Value().AsString(), "mem://srv/a");
  EXPECT_FALSE(rs.Fields()["DAV:isfolder"].Value().AsBool());
  EXPECT_ADO_ERROR(rs.Fields()["DAV:nothing"].Value(), err::kAdoItemNotFound, "ADODB.Field");
}

TEST_F(RecordsetTest, RowFieldsAreReadOnly) {
  Recordset rs;
  rs.Open("CHILDREN mem://srv", connection_);
  EXPECT_ADO_ERROR(rs.Fields()["DAV:href"].Value(Variant("x")), err::kAdoFeatureNotAvailable,
                   "ADODB.Field");
  EXPECT_EQ(rs.Fields()["DAV:href"].Value().AsString(), "mem://srv/a");
}

TEST_F(RecordsetTest, EmptyResultIsAtEofAtOnce) {
  Recordset rs;
  rs.Open("CHILDREN mem://srv/empty", connection_);
  EXPECT_TRUE(rs.Eof());
  EXPECT_TRUE(rs.Bof());
  EXPECT_EQ(rs.RecordCount(), 0);
  EXPECT_ADO_ERROR(rs.MoveNext(), err::kAdoNoCurrentRecord, kRecordset);
}

TEST_F(RecordsetTest, StateRules) {
  Recordset rs;
  EXPECT_EQ(rs.State(), adStateClosed);
  EXPECT_ADO_ERROR(rs.Eof(), err::kAdoObjectClosed, kRecordset);
  EXPECT_ADO_ERROR(rs.MoveNext(), err::kAdoObjectClosed, kRecordset);
  EXPECT_ADO_ERROR(rs.RecordCount(), err::kAdoObjectClosed, kRecordset);
  EXPECT_ADO_ERROR(rs.Fields(), err::kAdoObjectClosed, kRecordset);
  EXPECT_ADO_ERROR(rs.Close(), err::kAdoObjectClosed, kRecordset);
  EXPECT_ADO_ERROR(rs.Open("CHILDREN mem://srv", nullptr), err::kAdoInvalidConnection, kRecordset);
  auto closed = std::make_shared<Connection>();
  EXPECT_ADO_ERROR(rs.Open("CHILDREN mem://srv", closed), err::kAdoInvalidConnection, kRecordset);

  rs.Open("CHILDREN mem://srv", connection_);
  EXPECT_ADO_ERROR(rs.Open("CHILDREN mem://srv", connection_), err::kAdoObjectOpen, kRecordset);
  Field f = rs.Fields()["DAV:href"];
  rs.Close();
  EXPECT_EQ(rs.State(), adStateClosed);
  EXPECT_ADO_ERROR(f.Value(), err::kAdoObjectClosed, kRecordset);
}

TEST_F(RecordsetTest, RejectedQueryLeavesItClosed) {
  Recordset rs;
  EXPECT_ADO_ERROR(rs.Open("DROP everything", connection_), err::kDbErrorsInCommand, "");
  EXPECT_EQ(rs.State(), adStateClosed);
}

TEST_F(RecordsetTest, RaggedRowsetIsRefused) {
  Recordset rs;
  Rowset rows;
  rows.columns = {"a", "b"};
  rows.rows = {{Variant(1), Variant(2)}, {Variant(3)}};
  EXPECT_ADO_ERROR(rs.Open(std::move(rows)), err::kAdoInvalidArgument, kRecordset);
  EXPECT_EQ(rs.State(), adStateClosed);
}

TEST(Properties, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  Command cmd;
  Properties& p = cmd.Properties();
  EXPECT_EQ(p.Count(), 0);
  EXPECT_ADO_ERROR(p["Page Size"].Value(), err::kAdoItemNotFound, "ADODB.Property");
  p["Page Size"].Value(Variant(std::int16_t{100}));
  p["page size"].Value(Variant(std::int16_t{50}));
  p["searchscope"].Value(Variant(std::int32_t{2}));
  EXPECT_EQ(p.Count(), 2);
  EXPECT_EQ(p.Item("PAGE SIZE").Value().AsLong(), 50);
  EXPECT_EQ(p.List()[0].first, "Page Size");
  EXPECT_EQ(p.List()[1].first, "searchscope");
}

TEST_F(RecordsetTest, CommandRunsWithItsPropertiesOnTheConnection) {
  auto cmd = std::make_shared<Command>();
  cmd->ActiveConnection(connection_);
  cmd->CommandText("CHILDREN mem://srv");
  cmd->Properties()["searchscope"].Value(Variant(std::int32_t{2}));
  cmd->Properties()["cache results"].Value(Variant(true));
  cmd->Properties()["Page Size"].Value(Variant(std::int16_t{100}));
  RecordsetPtr rs = cmd->Execute(adCmdUnspecified);
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->State(), adStateOpen);
  EXPECT_EQ(rs->RecordCount(), 3);
  EXPECT_EQ(rs->Fields()["DAV:href"].Value().AsString(), "mem://srv/a");

  const PropertyList& seen = store_->state().last_properties;
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].first, "searchscope");
  EXPECT_EQ(seen[0].second.Type(), core::VarType::Long);
  EXPECT_EQ(seen[1].first, "cache results");
  EXPECT_EQ(seen[1].second.Type(), core::VarType::Boolean);
  EXPECT_EQ(seen[2].first, "Page Size");
  EXPECT_EQ(seen[2].second.Type(), core::VarType::Integer);
  EXPECT_EQ(seen[2].second.AsLong(), 100);
}

TEST_F(RecordsetTest, CommandNeedsAnOpenConnectionAndText) {
  Command cmd;
  cmd.CommandText("CHILDREN mem://srv");
  EXPECT_ADO_ERROR(cmd.Execute(), err::kAdoInvalidConnection, "ADODB.Command");
  cmd.ActiveConnection(std::make_shared<Connection>());
  EXPECT_ADO_ERROR(cmd.Execute(), err::kAdoInvalidConnection, "ADODB.Command");
  cmd.ActiveConnection(connection_);
  cmd.CommandText("");
  EXPECT_ADO_ERROR(cmd.Execute(), static_cast<std::int32_t>(0x80040E0C), "ADODB.Command");
  cmd.CommandText("nonsense");
  EXPECT_ADO_ERROR(cmd.Execute(), err::kDbErrorsInCommand, "");
}

}  // namespace
}  // namespace adodb
