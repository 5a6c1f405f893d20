// End to end: Zenthra.dll installed in the component catalog with its
// settings, bound to folders by registration items written as the setup
// program writes them, and run by the store's own event dispatch when the
// transport delivers, in this process and through `zenthra-store deliver`.
#include <gmock/gmock.h>
#include <stdio.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/ado/ado.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/text.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "tests/sink/sink_fixture.h"

namespace {

namespace schema = store::schema;
using core::Variant;

constexpr const char* kMarker = "Quarantined Attachment.txt";
constexpr const char* kCriteria = " WHERE \"DAV:ishidden\" = FALSE";

std::string Message(const std::string& subject, bool marked) {
  std::string text = "From: scanner@example.com\r\nTo: user@example.com\r\nSubject: " + subject +
                     "\r\nMIME-Version: 1.0\r\n";
  if (!marked) return text + "Content-Type: text/plain\r\n\r\nHello.\r\n";
  return text +
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
         "Content-Type: text/plain\r\n\r\nHello.\r\n--b1\r\n"
         "Content-Type: text/plain; name=\"" +
         kMarker + "\"\r\nContent-Disposition: attachment; filename=\"" + kMarker +
         "\"\r\n\r\nThe attachment was removed.\r\n--b1--\r\n";
}

// Runs a command line and returns its exit status and standard output.
std::pair<int, std::string> RunCommand(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {-1, ""};
  std::string out;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string Quote(const std::string& s) { return "'" + core::Replace(s, "'", "'\\''") + "'"; }

class DeliveryTest : public sinktest::SinkTest {
 protected:
  void SetUp() override {
    SinkTest::SetUp();
    store::Provision(root_, store::Machine{"mail01", "example.com"});
    store::RegisterProvider();
    store_ = store::Store::Open();
  }
  void TearDown() override {
    store_.reset();
    SinkTest::TearDown();
  }

  // Installs the sink into the catalog application "Zenthra" as the setup
  // program does, with the given constructor string.
  void Install(const std::string& constructorString) {
    complus::COMAdminCatalog catalog;
    complus::CatalogCollectionPtr apps = catalog.GetCollection("Applications");
    apps->Populate();
    auto app = apps->Add();
    app->Value("Name", Variant("Zenthra"));
    app->Value("ApplicationAccessChecksEnabled", Variant(false));
    apps->SaveChanges();
    catalog.InstallComponent("Zenthra", ZENTHRA_DLL, "", "");
    catalog.RefreshComponents();
    complus::CatalogCollectionPtr comps =
        apps->GetCollection("Components", Variant(core::UCase(app->Value("ID").AsString())));
    comps->Populate();
    ASSERT_EQ(comps->Count(), 1);
    comps->Item(0)->Value("ConstructionEnabled", Variant(true));
    comps->Item(0)->Value("ConstructorString", Variant(constructorString));
    comps->SaveChanges();
  }

  // Writes the registration item Zenthra.reg as the setup program does:
  // one transaction, the item replaced, its seven properties in order.
  std::string Register(const std::string& baseUrl, const std::string& folderName,
                       const std::string& scope) {
    auto cnn = std::make_shared<adodb::Connection>();
    cnn->Provider("exoledb.datasource");
    cnn->ConnectionString(baseUrl);
    cnn->Open(baseUrl, "", "", -1);
    std::string folderUrl = baseUrl + "/" + folderName;
    if (core::EqualsNoCase(folderName, "inbox")) {
      adodb::Record base;
      base.Open(baseUrl, cnn, adodb::adModeRead);
      folderUrl = base.Fields()[schema::kInbox].Value().AsString();
      base.Close();
    }
    cnn->BeginTrans();
    adodb::Record rec;
    rec.Open(folderUrl + "/Zenthra.reg", cnn, adodb::adModeReadWrite, adodb::adCreateOverwrite,
             adodb::adDelayFetchFields);
    rec.Fields()[schema::kContentClass].Value(Variant(schema::kEventRegistrationClass));
    rec.Fields()[schema::kEventMethod].Value(Variant("onsyncsave"));
    rec.Fields()[schema::kSinkClass].Value(Variant("Zenthra.ZenthraCls"));
    rec.Fields()[schema::kMatchScope].Value(Variant(scope));
    rec.Fields()[schema::kCriteria].Value(Variant(kCriteria));
    rec.Fields()[schema::kPriority].Value(Variant("65500"));
    rec.Fields()[schema::kIsHidden].Value(Variant(true));
    rec.Fields().Update();
    rec.Close();
    cnn->CommitTrans();
    cnn->Close();
    return folderUrl;
  }

  std::string SystemMailbox() {
    for (const store::MailboxInfo& m : store_->Mailboxes()) {
      if (m.is_system) return m.url;
    }
    ADD_FAILURE() << "no system mailbox";
    return "";
  }

  // Names of the messages (not the hidden registration) in folder, or
  // nullopt when it does not exist.
  std::optional<std::vector<std::string>> Messages(const std::string& folderUrl) {
    std::unique_ptr<store::Store> s = store::Store::Open();
    std::optional<store::Item> folder = s->Find(s->Names(folderUrl));
    if (!folder) return std::nullopt;
    std::vector<std::string> names;
    for (const store::Item& item : s->Children(folder->id)) {
      if (!item.is_folder && item.name != "Zenthra.reg") names.push_back(item.name);
    }
    return names;
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    std::filesystem::path file = root_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file.string();
  }

  static std::string Tool() { return ZENTHRA_STORE_TOOL; }

  com::ScopedConstructionHook catalog_{complus::CatalogConstructionHook()};
  std::unique_ptr<store::Store> store_;
};

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

TEST_F(DeliveryTest, AMarkedDeliveryLandsInSpamAnUnmarkedOneStays) {
  std::string jdoe = store_->AddMailbox("jdoe");
  Install(std::string("Spam\r") + kMarker + "\r65500");
  EXPECT_EQ(Register(jdoe, "inbox", "SHALLOW"), jdoe + "/Inbox");

  store_->Deliver("jdoe", Message("Invoice", true));
  store_->Deliver("jdoe", Message("Lunch", false));
  EXPECT_THAT(Messages(jdoe + "/Spam"), ::testing::Optional(ElementsAre("Invoice.EML")));
  EXPECT_THAT(Messages(jdoe + "/Inbox"), ::testing::Optional(ElementsAre("Lunch.EML")));

  // A client saving a marked message into the Inbox is not a delivery.
  store_->SaveMessage(store_->Resolve(jdoe + "/Inbox").id, Message("Draft", true),
                      store::SaveOrigin::Client);
  EXPECT_THAT(Messages(jdoe + "/Inbox"),
              ::testing::Optional(UnorderedElementsAre("Lunch.EML", "Draft.EML")));
}

TEST_F(DeliveryTest, TheDeliverToolRunsTheSinkInItsOwnProcess) {
  std::string jdoe = store_->AddMailbox("jdoe");
  std::string hm = store_->AddMailbox("hmueller", "Posteingang");
  Install(std::string("Inbox\\Spam\r") + kMarker + "\r65500");
  Register(jdoe, "inbox", "SHALLOW");
  EXPECT_EQ(Register(hm, "INBOX", "SHALLOW"), hm + "/Posteingang");
  store_.reset();

  std::string marked = WriteFile("marked.eml", Message("Quarantined", true));
  std::string root = Quote(root_.string());
  for (const char* alias : {"jdoe", "hmueller"}) {
    auto [status, out] = RunCommand(Tool() + " --root " + root + " deliver " + alias + " " +
                                    Quote(marked) + " 2>&1");
    ASSERT_EQ(status, 0) << out;
  }
  auto [status, listing] =
      RunCommand(Tool() + " --root " + root + " ls " + Quote(hm + "/Posteingang/Spam") + " 2>&1");
  EXPECT_EQ(status, 0) << listing;
  EXPECT_EQ(listing, "message\tQuarantined.EML\n");
  EXPECT_THAT(Messages(jdoe + "/Inbox/Spam"), ::testing::Optional(ElementsAre("Quarantined.EML")));
  EXPECT_THAT(Messages(jdoe + "/Inbox"), ::testing::Optional(IsEmpty()));
  EXPECT_THAT(Messages(hm + "/Posteingang"), ::testing::Optional(IsEmpty()));
}

TEST_F(DeliveryTest, AStoreWideRegistrationCoversEveryMailbox) {
  std::string jdoe = store_->AddMailbox("jdoe");
  std::string asmith = store_->AddMailbox("asmith", "Boîte de réception");
  Install(std::string("Spam\r") + kMarker + "\r100");
  EXPECT_EQ(Register(SystemMailbox(), "StoreEvents/GlobalEvents", "ANY"),
            SystemMailbox() + "/StoreEvents/GlobalEvents");

  store_->Deliver("jdoe", Message("One", true));
  store_->Deliver("asmith", Message("Two", true));
  store_->Deliver("asmith", Message("Three", false));
  EXPECT_THAT(Messages(jdoe + "/Spam"), ::testing::Optional(ElementsAre("One.EML")));
  EXPECT_THAT(Messages(asmith + "/Spam"), ::testing::Optional(ElementsAre("Two.EML")));
  EXPECT_THAT(Messages(asmith + "/Boîte de réception"),
              ::testing::Optional(ElementsAre("Three.EML")));
}

TEST_F(DeliveryTest, ConcurrentDeliveriesLandInTheirOwnMailboxesFolders) {
  const std::vector<std::pair<std::string, std::string>> boxes = {
      {"jdoe", "Inbox"},
      {"hmueller", "Posteingang"},
      {"mdupont", "Boîte de réception"},
      {"jgarcia", "Bandeja de entrada"}};
  for (const auto& [alias, inbox] : boxes) store_->AddMailbox(alias, inbox);
  Install(std::string("inbox/Spam\r") + kMarker + "\r65500");
  Register(SystemMailbox(), "StoreEvents/GlobalEvents", "ANY");

  // Every thread delivers into every mailbox in turn, so each thread's
  // sink settings meet every Inbox name.
  constexpr int kThreads = 4, kRounds = 3;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        std::unique_ptr<store::Store> s = store::Store::Open();
        for (int r = 0; r < kRounds; ++r) {
          for (std::size_t b = 0; b < boxes.size(); ++b) {
            const std::string& alias = boxes[(b + t) % boxes.size()].first;
            std::string tag = alias + "-" + std::to_string(t) + "-" + std::to_string(r);
            s->Deliver(alias, Message("marked " + tag, true));
            s->Deliver(alias, Message("plain " + tag, false));
          }
        }
      } catch (const std::exception& e) {
        ++failures;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  ASSERT_EQ(failures, 0);

  std::string mbx = "file://./backofficestorage/example.com/MBX/";
  for (const auto& [alias, inbox] : boxes) {
    auto spam = Messages(mbx + alias + "/" + inbox + "/Spam");
    auto left = Messages(mbx + alias + "/" + inbox);
    ASSERT_TRUE(spam && left) << alias;
    EXPECT_EQ(spam->size(), static_cast<std::size_t>(kThreads * kRounds)) << alias;
    EXPECT_EQ(left->size(), static_cast<std::size_t>(kThreads * kRounds)) << alias;
    for (const std::string& name : *spam) {
      EXPECT_TRUE(core::StartsWith(name, "marked " + alias + "-", core::Compare::Binary)) << name;
    }
    for (const std::string& name : *left) {
      EXPECT_TRUE(core::StartsWith(name, "plain " + alias + "-", core::Compare::Binary)) << name;
    }
    // Nothing strayed below the mailbox root.
    EXPECT_FALSE(Messages(mbx + alias + "/Spam")) << alias;
  }
}

}  // namespace
