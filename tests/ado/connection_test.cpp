#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/ado/ado.h"
#include "tests/ado/expect_error.h"
#include "tests/ado/memory_provider.h"

namespace adodb {
namespace {

using testing::kMemoryProviderName;
using testing::ScopedMemoryProvider;
namespace err = core::err;

class NamedProvider : public Provider {
 public:
  explicit NamedProvider(std::string prefix) : prefix_(std::move(prefix)) {}
  std::unique_ptr<ProviderSession> Open(const std::string&, const std::string&, const std::string&,
                                        std::int32_t) override {
    return nullptr;
  }
  bool BindsUrl(std::string_view url) const override { return url.rfind(prefix_, 0) == 0; }

 private:
  std::string prefix_;
};

TEST(ProviderRegistry, NamesMatchWithoutRegardToCase) {
  auto& registry = ProviderRegistry::Instance();
  auto a = std::make_shared<NamedProvider>("a://");
  auto b = std::make_shared<NamedProvider>("b://");
  registry.Register("ExOLEDB.DataSource", a);
  EXPECT_EQ(registry.Find("exoledb.datasource"), a);
  EXPECT_EQ(registry.Find("EXOLEDB.DATASOURCE"), a);
  EXPECT_EQ(registry.Find("ExOLEDB"), nullptr);
  // A later registration under another spelling replaces the first.
  registry.Register("EXOLEDB.datasource", b);
  EXPECT_EQ(registry.Find("ExOLEDB.DataSource"), b);
  registry.Unregister("exoledb.DATASOURCE");
  EXPECT_EQ(registry.Find("ExOLEDB.DataSource"), nullptr);
}

TEST(ProviderRegistry, FindForUrlAsksEachProvider) {
  auto& registry = ProviderRegistry::Instance();
  auto dir = std::make_shared<NamedProvider>("GC://");
  auto store = std::make_shared<NamedProvider>("file://./backofficestorage/");
  registry.Register("adsDSOobject", dir);
  registry.Register("ExOLEDB.DataSource", store);
  auto [name, provider] = registry.FindForUrl("file://./backofficestorage/x/MBX/a");
  EXPECT_EQ(name, "ExOLEDB.DataSource");
  EXPECT_EQ(provider, store);
  EXPECT_EQ(registry.FindForUrl("GC://dc1").second, dir);
  auto none = registry.FindForUrl("http://nowhere/");
  EXPECT_EQ(none.second, nullptr);
  EXPECT_EQ(none.first, "");
  registry.Unregister("adsDSOobject");
  registry.Unregister("ExOLEDB.DataSource");
  EXPECT_EQ(registry.FindForUrl("GC://dc1").second, nullptr);
}

TEST(ProviderRegistry, IsSafeToUseFromSeveralThreads) {
  auto& registry = ProviderRegistry::Instance();
  auto shared = std::make_shared<NamedProvider>("shared://");
  registry.Register("Shared.Provider", shared);
  std::atomic<int> misses{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = "Thread" + std::to_string(t);
      for (int i = 0; i < 300; ++i) {
        registry.Register(own, std::make_shared<NamedProvider>(own + "://"));
        if (registry.Find("shared.provider") != shared) ++misses;
        if (registry.FindForUrl(own + "://x").second == nullptr) ++misses;
        registry.Unregister(own);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(misses.load(), 0);
  registry.Unregister("Shared.Provider");
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_->Put("mem://srv", true);
    store_->Put("mem://srv/mbx", true);
  }
  ConnectionPtr NewConnection() {
    auto c = std::make_shared<Connection>();
    c->Provider(kMemoryProviderName);
    return c;
  }
  // Creates an item inside the connection's session.
  void CreateItem(Connection& c, const std::string& url) {
    auto item = c.Session().OpenRecord(url, adModeReadWrite, adCreateOverwrite,
                                       adOpenRecordUnspecified, "", "");
    item->WriteFields({{"p", Variant("v")}});
  }
  ScopedMemoryProvider store_;
};

TEST_F(ConnectionTest, StateRules) {
  auto c = NewConnection();
  EXPECT_EQ(c->State(), adStateClosed);
  EXPECT_ADO_ERROR(c->Close(), err::kAdoObjectClosed, "ADODB.Connection");
  EXPECT_ADO_ERROR(c->BeginTrans(), err::kAdoObjectClosed, "ADODB.Connection");
  EXPECT_ADO_ERROR(c->Session(), err::kAdoInvalidConnection, "ADODB.Connection");

  c->Open("mem://srv/mbx", "", "", -1);
  EXPECT_EQ(c->State(), adStateOpen);
  EXPECT_ADO_ERROR(c->Open("mem://srv/mbx"), err::kAdoObjectOpen, "ADODB.Connection");
  EXPECT_ADO_ERROR(c->Provider("other"), err::kAdoObjectOpen, "ADODB.Connection");
  EXPECT_ADO_ERROR(c->ConnectionString("x"), err::kAdoObjectOpen, "ADODB.Connection");
  EXPECT_ADO_ERROR(c->Mode(adModeRead), err::kAdoObjectOpen, "ADODB.Connection");
  EXPECT_EQ(c->Provider(), kMemoryProviderName);
  EXPECT_EQ(store_->state().live_sessions, 1);

  c->Close();
  EXPECT_EQ(c->State(), adStateClosed);
  EXPECT_EQ(store_->state().live_sessions, 0);
  // Closed again, it is reusable.
  c->Open("mem://srv");
  EXPECT_EQ(c->State(), adStateOpen);
}

TEST_F(ConnectionTest, ErrorsCarryTheKnownDescriptions) {
  auto c = std::make_shared<Connection>();
  c->Provider("No.Such.Provider");
  try {
    c->Open("mem://srv");
    FAIL() << "opened on an unknown provider";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), err::kAdoProviderNotFound);
    EXPECT_EQ(e.Description(), "Provider cannot be found. It may not be properly installed.");
  }
  try {
    c->Close();
    FAIL() << "closed a closed connection";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Description(), "Operation is not allowed when the object is closed.");
  }
}

TEST_F(ConnectionTest, OpensOnTheArgumentOrElseTheConnectionString) {
  auto c = NewConnection();
  c->ConnectionString("mem://srv/mbx");
  c->Open("", "", "", -1);
  EXPECT_EQ(store_->state().last_connection_string, "mem://srv/mbx");
  c->Close();
  c->Open("mem://srv");
  EXPECT_EQ(store_->state().last_connection_string, "mem://srv");
  EXPECT_EQ(c->ConnectionString(), "mem://srv");
}

TEST_F(ConnectionTest, FailedOpenLeavesItClosedAndUsable) {
  auto c = NewConnection();
  EXPECT_ADO_ERROR(c->Open("mem:/elsewhere/nothing"), err::kDbNotFound, "");
  EXPECT_EQ(c->State(), adStateClosed);
  c->Open("mem://srv/mbx");
  EXPECT_EQ(c->State(), adStateOpen);
}

TEST_F(ConnectionTest, CommitKeepsAndRollbackDiscards) {
  auto c = NewConnection();
  c->Open("mem://srv/mbx");
  EXPECT_EQ(c->BeginTrans(), 1);
  CreateItem(*c, "mem://srv/mbx/kept");
  c->CommitTrans();
  EXPECT_TRUE(store_->Has("mem://srv/mbx/kept"));

  c->BeginTrans();
  CreateItem(*c, "mem://srv/mbx/dropped");
  EXPECT_TRUE(store_->Has("mem://srv/mbx/dropped"));
  c->RollbackTrans();
  EXPECT_FALSE(store_->Has("mem://srv/mbx/dropped"));
  EXPECT_TRUE(store_->Has("mem://srv/mbx/kept"));
}

TEST_F(ConnectionTest, TransactionMisuseIsAnError) {
  auto c = NewConnection();
  c->Open("mem://srv/mbx");
  EXPECT_ADO_ERROR(c->CommitTrans(), err::kAdoInvalidTransaction, "ADODB.Connection");
  EXPECT_ADO_ERROR(c->RollbackTrans(), err::kAdoInvalidTransaction, "ADODB.Connection");
  c->BeginTrans();
  EXPECT_ADO_ERROR(c->BeginTrans(), err::kAdoFeatureNotAvailable, "ADODB.Connection");
  // The first transaction is still the open one.
  c->CommitTrans();
  EXPECT_ADO_ERROR(c->CommitTrans(), err::kAdoInvalidTransaction, "ADODB.Connection");
}

TEST_F(ConnectionTest, CloseDiscardsAnUncommittedTransaction) {
  auto c = NewConnection();
  c->Open("mem://srv/mbx");
  c->BeginTrans();
  CreateItem(*c, "mem://srv/mbx/half");
  c->Close();
  EXPECT_FALSE(store_->Has("mem://srv/mbx/half"));
  EXPECT_EQ(store_->state().rollbacks, 1);
  // A new session starts outside any transaction.
  c->Open("mem://srv/mbx");
  EXPECT_ADO_ERROR(c->CommitTrans(), err::kAdoInvalidTransaction, "ADODB.Connection");
}

TEST_F(ConnectionTest, ReleasingTheLastReferenceDiscardsAnUncommittedTransaction) {
  {
    auto c = NewConnection();
    c->Open("mem://srv/mbx");
    c->BeginTrans();
    auto record = std::make_shared<Record>();
    record->Open("mem://srv/mbx/reg", c, adModeReadWrite, adCreateOverwrite, adDelayFetchFields);
    record->Fields()["a"].Value(Variant("1"));
    record->Fields().Update();
    EXPECT_TRUE(store_->Has("mem://srv/mbx/reg"));
    // Released in the order a caller's clean-up happens to use.
    c.reset();
    EXPECT_EQ(store_->state().live_sessions, 1);  // the record still holds it
  }
  EXPECT_FALSE(store_->Has("mem://srv/mbx/reg"));
  EXPECT_EQ(store_->state().rollbacks, 1);
  EXPECT_EQ(store_->state().live_sessions, 0);
}

TEST_F(ConnectionTest, ClosingTheConnectionClosesItsRecordsFirst) {
  auto c = NewConnection();
  c->Open("mem://srv/mbx");
  Record folder;
  folder.Open("mem://srv/mbx", c, adModeRead);
  Record other;
  other.Open("mem://srv", c, adModeRead);
  other.Close();
  c->Close();
  EXPECT_EQ(folder.State(), adStateClosed);
  EXPECT_ADO_ERROR(folder.Source(), err::kAdoObjectClosed, "ADODB.Record");
  // The record can be opened again once the connection is.
  c->Open("mem://srv/mbx");
  folder.Open("mem://srv/mbx", c, adModeRead);
  EXPECT_EQ(folder.Source(), "mem://srv/mbx");
}

}  // namespace
}  // namespace adodb
