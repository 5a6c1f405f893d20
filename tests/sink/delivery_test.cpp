// End to end: Zenthra.dll installed in the component catalog with its
// settings, bound to folders by registration items written as the setup
// program writes them, and run by the store's own event dispatch when the
// transport delivers, in this process and through `zenthra-store deliver`.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <stdio.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "platform/ado/ado.h"
#include "platform/com/server.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/text.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "tests/sink/delivery_fixture.h"

namespace {

namespace schema = store::schema;
using core::Variant;
using sinktest::DeliveryTest;
using sinktest::kMarker;

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
  // Kept until every thread is done, so that no two can share an address.
  std::vector<std::unique_ptr<store::Store>> handles(kThreads);
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
        handles[t] = std::move(s);
      } catch (const std::exception& e) {
        ++failures;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  ASSERT_EQ(failures, 0);
  // Each thread worked through a session of its own.
  std::set<const store::Session*> sessions;
  for (const auto& h : handles) sessions.insert(&h->session());
  EXPECT_EQ(sessions.size(), static_cast<std::size_t>(kThreads));
  handles.clear();

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

// Every message of the mailbox below folder (registration items aside), by
// URL, and every folder.
void Walk(store::Store& s, store::ItemId folder, std::vector<std::string>* messages,
          std::vector<std::string>* folders) {
  for (const store::Item& item : s.Children(folder)) {
    if (item.is_folder) {
      folders->push_back(s.UrlOf(item.id));
      Walk(s, item.id, messages, folders);
    } else if (item.name != "Zenthra.reg") {
      messages->push_back(s.UrlOf(item.id));
    }
  }
}

TEST_F(DeliveryTest, OverlappingRegistrationsFileEachMessageOnce) {
  for (const char* target : {"Spam", "inbox\\Spam"}) {
    SCOPED_TRACE(target);
    std::string alias = std::string("u") + (target[0] == 'S' ? "1" : "2");
    std::string mailbox = store_->AddMailbox(alias);
    com::ScopedConstructionHook hook([&](const com::ClassEntry&) -> std::optional<Variant> {
      return Variant(std::string(target) + "\r" + kMarker + "\r65500");
    });
    // Registered in the mailbox and store-wide at once, as -b may leave it.
    Register(mailbox, "inbox", "SHALLOW");
    std::string global = Register(SystemMailbox(), "StoreEvents/GlobalEvents", "ANY");

    // Each delivery tells where the sinks left the message.
    const std::string filed = store_->Deliver(alias, Message("Twice covered", true));
    const std::string plain = store_->Deliver(alias, Message("Plain", false));
    std::vector<std::string> messages, folders;
    Walk(*store_, store_->Resolve(mailbox).id, &messages, &folders);
    std::string spam = target[0] == 'S' ? mailbox + "/Spam" : mailbox + "/Inbox/Spam";
    EXPECT_EQ(filed, spam + "/Twice covered.EML");
    EXPECT_EQ(plain, mailbox + "/Inbox/Plain.EML");
    EXPECT_THAT(messages,
                UnorderedElementsAre(spam + "/Twice covered.EML", mailbox + "/Inbox/Plain.EML"));
    EXPECT_THAT(folders, UnorderedElementsAre(mailbox + "/Inbox", spam));
    store_->Delete(store_->Resolve(global + "/Zenthra.reg").id);
  }
}

TEST_F(DeliveryTest, AMailboxNamedLikeTheSchemeIsFiledInItself) {
  std::string jdoe = store_->AddMailbox("jdoe");
  std::string other = store_->AddMailbox("file:jdoe");
  Install(std::string("Spam\r") + kMarker + "\r65500");
  Register(SystemMailbox(), "StoreEvents/GlobalEvents", "ANY");
  store_->Deliver("file:jdoe", Message("Mine", true));
  EXPECT_THAT(Messages(other + "/Spam"), ::testing::Optional(ElementsAre("Mine.EML")));
  EXPECT_THAT(Messages(other + "/Inbox"), ::testing::Optional(IsEmpty()));
  EXPECT_FALSE(Messages(jdoe + "/Spam"));
}

TEST_F(DeliveryTest, AMessageThatCannotBeMovedLeavesNoCopyBehind) {
  std::string jdoe = store_->AddMailbox("jdoe");
  Install(std::string("Spam\r") + kMarker + "\r65500");
  Register(jdoe, "inbox", "SHALLOW");
  // A sink in the target folder that refuses every message moved there.
  void* events = ::dlopen(EVENTS_SINK, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(events, nullptr) << ::dlerror();
  com::RegisterLibrary(EVENTS_SINK);
  store::Item spam =
      store_->Create(store_->Resolve(jdoe).id, "Spam", true, store::ExistingItem::Fail, {});
  store_->Create(spam.id, "veto.reg", false, store::ExistingItem::Fail,
                 {{schema::kContentClass, Variant(schema::kEventRegistrationClass)},
                  {schema::kEventMethod, Variant("onsyncsave")},
                  {schema::kSinkClass, Variant("EventsTest.VetoMoves")},
                  {schema::kIsHidden, Variant(true)}});

  store_->Deliver("jdoe", Message("Refused", true));
  EXPECT_THAT(Messages(jdoe + "/Inbox"), ::testing::Optional(ElementsAre("Refused.EML")));
  std::vector<std::string> left;
  for (const store::Item& item : store_->Children(spam.id)) left.push_back(item.name);
  EXPECT_THAT(left, ElementsAre("veto.reg"));
  ::dlclose(events);
}

}  // namespace
