#include <gtest/gtest.h>

#include "platform/ado/ado.h"
#include "tests/ado/expect_error.h"
#include "tests/ado/memory_provider.h"

namespace adodb {
namespace {

using testing::kMemoryProviderName;
using testing::ScopedMemoryProvider;
namespace err = core::err;

constexpr const char* kRecord = "ADODB.Record";

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_->Put("mem://srv", true);
    store_->Put("mem://srv/mbx", true,
                {{"urn:schemas:httpmail:inbox", Variant("mem://srv/mbx/Posteingang")}});
    store_->Put("mem://srv/mbx/Posteingang", true);
    store_->Put("mem://srv/mbx/Spam", true);
    store_->Put("mem://srv/mbx/Posteingang/msg.eml", false,
                {{"urn:schemas:httpmail:hasattachment", Variant(true)},
                 {"DAV:displayname", Variant("msg.eml")}});
    connection_ = std::make_shared<Connection>();
    connection_->Provider(kMemoryProviderName);
    connection_->Open("mem://srv/mbx");
  }
  ScopedMemoryProvider store_;
  ConnectionPtr connection_;
};

TEST_F(RecordTest, ClosedRecordRefusesEverythingButOpenAndState) {
  Record r;
  EXPECT_EQ(r.State(), adStateClosed);
  EXPECT_ADO_ERROR(r.Close(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.Fields(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.Source(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.ParentURL(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.RecordType(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.ActiveConnection(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.MoveRecord("", "mem://srv/mbx/x"), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(r.DeleteRecord(), err::kAdoObjectClosed, kRecord);
}

TEST_F(RecordTest, OpenStateRules) {
  Record r;
  r.Open("mem://srv/mbx", connection_, adModeRead);
  EXPECT_EQ(r.State(), adStateOpen);
  EXPECT_ADO_ERROR(r.Open("mem://srv/mbx", connection_), err::kAdoObjectOpen, kRecord);
  r.Close();

  auto closed = std::make_shared<Connection>();
  closed->Provider(kMemoryProviderName);
  EXPECT_ADO_ERROR(r.Open("mem://srv/mbx", closed), err::kAdoInvalidConnection, kRecord);
  EXPECT_EQ(r.State(), adStateClosed);
}

TEST_F(RecordTest, OpenFailsOnAMissingItemAndStaysClosed) {
  Record r;
  EXPECT_ADO_ERROR(r.Open("mem://srv/mbx/none", connection_, adModeRead, adFailIfNotExists),
                   err::kDbNotFound, "");
  EXPECT_EQ(r.State(), adStateClosed);
  // Creating a folder that exists fails too; creating a new one works.
  EXPECT_ADO_ERROR(r.Open("mem://srv/mbx/Spam", connection_, adModeReadWrite, adCreateCollection),
                   err::kDbResourceExists, "");
  r.Open("mem://srv/mbx/Spam2", connection_, adModeReadWrite, adCreateCollection);
  EXPECT_EQ(r.RecordType(), adCollectionRecord);
  EXPECT_TRUE(store_->Has("mem://srv/mbx/Spam2"));
}

TEST_F(RecordTest, WithoutConnectionItOpensOneOfItsOwnOnTheBindingProvider) {
  {
    Record r;
    r.Open("mem://srv/mbx/Posteingang/msg.eml", nullptr, adModeReadWrite);
    ConnectionPtr own = r.ActiveConnection();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->Provider(), kMemoryProviderName);
    EXPECT_EQ(own->State(), adStateOpen);
    EXPECT_EQ(store_->state().last_connection_string, "mem://srv/mbx/Posteingang/msg.eml");
    EXPECT_EQ(store_->state().live_sessions, 2);
    r.Close();
    EXPECT_EQ(own->State(), adStateClosed);
    EXPECT_EQ(store_->state().live_sessions, 1);

    // A connection handed in is not the record's to close.
    r.Open("mem://srv/mbx", connection_, adModeRead);
    r.Close();
    EXPECT_EQ(connection_->State(), adStateOpen);
  }
  Record r;
  EXPECT_ADO_ERROR(r.Open("nowhere://x"), err::kAdoProviderNotFound, kRecord);
  EXPECT_EQ(store_->state().live_sessions, 1);
}

TEST_F(RecordTest, SourceParentAndType) {
  Record r;
  r.Open("mem://srv/mbx/Posteingang/msg.eml", connection_, adModeRead);
  EXPECT_EQ(r.Source(), "mem://srv/mbx/Posteingang/msg.eml");
  EXPECT_EQ(r.ParentURL(), "mem://srv/mbx/Posteingang");
  EXPECT_EQ(r.RecordType(), adSimpleRecord);
  EXPECT_EQ(r.ActiveConnection(), connection_);
}

TEST_F(RecordTest, FieldsReadCountAndMissingNames) {
  Record r;
  r.Open("mem://srv/mbx", connection_, adModeRead);
  EXPECT_EQ(r.Fields().Count(), 1);
  EXPECT_EQ(r.Fields()["urn:schemas:httpmail:inbox"].Value().AsString(),
            "mem://srv/mbx/Posteingang");
  EXPECT_EQ(r.Fields().Item(0).Name(), "urn:schemas:httpmail:inbox");
  EXPECT_ADO_ERROR(r.Fields().Item(1), err::kAdoItemNotFound, "ADODB.Fields");
  EXPECT_ADO_ERROR(r.Fields().Item(-1), err::kAdoItemNotFound, "ADODB.Fields");
  // Names match without regard to case, as a query's column may be spelt
  // differently by the code that reads it.
  EXPECT_EQ(r.Fields()["URN:Schemas:HTTPMAIL:Inbox"].Value().AsString(),
            "mem://srv/mbx/Posteingang");
  try {
    r.Fields()["nope"].Value();
    FAIL();
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Description(),
              "Item cannot be found in the collection corresponding to the requested name or "
              "ordinal.");
  }
  // A field taken while open refuses once the record is closed.
  Field f = r.Fields()["urn:schemas:httpmail:inbox"];
  r.Close();
  EXPECT_ADO_ERROR(f.Value(), err::kAdoObjectClosed, kRecord);
  EXPECT_ADO_ERROR(f.Value(Variant(1)), err::kAdoObjectClosed, kRecord);
}

TEST_F(RecordTest, WritingAddsChangesAndDeletesOnUpdate) {
  Record r;
  r.Open("mem://srv/mbx/reg", connection_, adModeReadWrite, adCreateOverwrite, adDelayFetchFields);
  EXPECT_EQ(r.Fields().Count(), 0);
  r.Fields()["DAV:contentclass"].Value(Variant("urn:content-class:storeeventreg"));
  r.Fields()["priority"].Value(Variant("65500"));
  // Pending values read back and count before Update, but are not stored.
  EXPECT_EQ(r.Fields().Count(), 2);
  EXPECT_EQ(r.Fields()["priority"].Value().AsString(), "65500");
  EXPECT_EQ(r.Fields().Item(1).Name(), "priority");
  EXPECT_TRUE(store_->Get("mem://srv/mbx/reg", "priority").IsEmpty());
  r.Fields().Update();
  EXPECT_EQ(store_->Get("mem://srv/mbx/reg", "priority").Type(), core::VarType::String);
  EXPECT_EQ(store_->Get("mem://srv/mbx/reg", "priority").AsString(), "65500");
  EXPECT_EQ(r.Fields().Count(), 2);

  // A write under another spelling changes the stored field, never adds a twin.
  r.Fields()["PRIORITY"].Value(Variant(std::int32_t{7}));
  r.Fields()["DAV:contentclass"].Value(Variant());
  r.Fields().Update();
  EXPECT_EQ(store_->Get("mem://srv/mbx/reg", "priority").AsLong(), 7);
  EXPECT_TRUE(store_->Get("mem://srv/mbx/reg", "PRIORITY").IsEmpty());
  EXPECT_EQ(r.Fields().Count(), 1);
  EXPECT_ADO_ERROR(r.Fields()["DAV:contentclass"].Value(), err::kAdoItemNotFound, "ADODB.Field");
  r.Close();

  // Another record sees what was stored.
  Record again;
  again.Open("mem://srv/mbx/reg", connection_, adModeRead);
  EXPECT_EQ(again.Fields()["priority"].Value().AsLong(), 7);
}

TEST_F(RecordTest, CancelAndFailedUpdateKeepTheStoreUnchanged) {
  Record r;
  r.Open("mem://srv/mbx/Posteingang/msg.eml", connection_, adModeReadWrite);
  r.Fields()["DAV:displayname"].Value(Variant("renamed"));
  r.Fields().CancelUpdate();
  EXPECT_EQ(r.Fields()["DAV:displayname"].Value().AsString(), "msg.eml");
  r.Fields().Update();  // nothing pending: nothing to store

  r.Fields()["DAV:displayname"].Value(Variant("renamed"));
  store_->state().fail_writes = true;
  EXPECT_ADO_ERROR(r.Fields().Update(), err::kEFail, "");
  store_->state().fail_writes = false;
  EXPECT_EQ(store_->Get("mem://srv/mbx/Posteingang/msg.eml", "DAV:displayname").AsString(),
            "msg.eml");
  // The change is still pending and goes through on retry.
  r.Fields().Update();
  EXPECT_EQ(store_->Get("mem://srv/mbx/Posteingang/msg.eml", "DAV:displayname").AsString(),
            "renamed");

  Record ro;
  ro.Open("mem://srv/mbx", connection_, adModeRead);
  ro.Fields()["x"].Value(Variant(1));
  EXPECT_ADO_ERROR(ro.Fields().Update(), err::kDbReadOnly, "");
}

TEST_F(RecordTest, MoveRecordKeepsTheRecordOnTheMovedItem) {
  store_->Put("mem://srv/mbx/Spam/copy.eml", false, {{"DAV:displayname", Variant("copy")}});
  Record r;
  r.Open("mem://srv/mbx/Posteingang/msg.eml", nullptr, adModeReadWrite);
  // Without overwrite an existing destination is kept.
  EXPECT_ADO_ERROR(r.MoveRecord("", "mem://srv/mbx/Spam/copy.eml"), err::kDbResourceExists, "");
  EXPECT_EQ(r.Source(), "mem://srv/mbx/Posteingang/msg.eml");

  EXPECT_EQ(r.MoveRecord("", "mem://srv/mbx/Spam/copy.eml", "", "", adMoveOverWrite, false),
            "mem://srv/mbx/Spam/copy.eml");
  EXPECT_EQ(r.State(), adStateOpen);
  EXPECT_EQ(r.Source(), "mem://srv/mbx/Spam/copy.eml");
  EXPECT_EQ(r.ParentURL(), "mem://srv/mbx/Spam");
  EXPECT_EQ(r.Fields()["DAV:displayname"].Value().AsString(), "msg.eml");
  EXPECT_TRUE(r.Fields()["urn:schemas:httpmail:hasattachment"].Value().AsBool());
  EXPECT_FALSE(store_->Has("mem://srv/mbx/Posteingang/msg.eml"));
  // Writes go to the moved item.
  r.Fields()["DAV:displayname"].Value(Variant("filed"));
  r.Fields().Update();
  EXPECT_EQ(store_->Get("mem://srv/mbx/Spam/copy.eml", "DAV:displayname").AsString(), "filed");
}

TEST_F(RecordTest, MoveRecordOfAnotherItemLeavesThisOneAlone) {
  Record folder;
  folder.Open("mem://srv/mbx/Posteingang", connection_, adModeReadWrite);
  folder.MoveRecord("mem://srv/mbx/Posteingang/msg.eml", "mem://srv/mbx/Spam/msg.eml");
  EXPECT_TRUE(store_->Has("mem://srv/mbx/Spam/msg.eml"));
  EXPECT_EQ(folder.Source(), "mem://srv/mbx/Posteingang");
}

TEST_F(RecordTest, DeleteRecord) {
  store_->Put("mem://srv/mbx/Posteingang/Zenthra.reg", false);
  Record r;
  r.Open("mem://srv/mbx/Posteingang/Zenthra.reg", connection_, adModeReadWrite);
  r.DeleteRecord("mem://srv/mbx/Posteingang/Zenthra.reg", false);
  EXPECT_FALSE(store_->Has("mem://srv/mbx/Posteingang/Zenthra.reg"));
  EXPECT_EQ(r.State(), adStateClosed);

  // A folder goes with everything below it.
  r.Open("mem://srv/mbx/Posteingang", connection_, adModeReadWrite);
  r.DeleteRecord();
  EXPECT_EQ(r.State(), adStateClosed);
  EXPECT_FALSE(store_->Has("mem://srv/mbx/Posteingang/msg.eml"));

  // Deleting another item keeps this record open.
  r.Open("mem://srv/mbx", connection_, adModeReadWrite);
  r.DeleteRecord("mem://srv/mbx/Spam");
  EXPECT_FALSE(store_->Has("mem://srv/mbx/Spam"));
  EXPECT_EQ(r.State(), adStateOpen);
  EXPECT_ADO_ERROR(r.DeleteRecord("mem://srv/mbx/Spam"), err::kDbNotFound, "");
}

TEST_F(RecordTest, AttachBindsAnOpenSource) {
  Record r;
  r.Attach(connection_->Session().OpenRecord("mem://srv/mbx/Posteingang/msg.eml", adModeReadWrite,
                                             adFailIfNotExists, adOpenRecordUnspecified, "", ""),
           nullptr);
  EXPECT_EQ(r.State(), adStateOpen);
  EXPECT_EQ(r.ActiveConnection(), nullptr);
  EXPECT_EQ(r.ParentURL(), "mem://srv/mbx/Posteingang");
  EXPECT_TRUE(r.Fields()["urn:schemas:httpmail:hasattachment"].Value().AsBool());
  EXPECT_ADO_ERROR(r.Open("mem://srv/mbx", connection_), err::kAdoObjectOpen, kRecord);
  EXPECT_ADO_ERROR(r.Attach(nullptr, nullptr), err::kAdoObjectOpen, kRecord);
  r.Close();
  EXPECT_ADO_ERROR(r.Attach(nullptr, nullptr), err::kAdoInvalidArgument, kRecord);
}

TEST_F(RecordTest, ConnectionClosedUnderAnOpenRecord) {
  // The order a caller's error clean-up may use: the connection first, the
  // record after. The record must not outlive its session's items.
  auto record = std::make_shared<Record>();
  record->Open("mem://srv/mbx/Posteingang", connection_, adModeRead);
  connection_->Close();
  EXPECT_EQ(record->State(), adStateClosed);
  record.reset();
  EXPECT_EQ(store_->state().live_sessions, 0);
}

}  // namespace
}  // namespace adodb
