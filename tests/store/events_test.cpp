// The store's synchronous save events, driven through the store with the
// test sinks of events_sink.cpp loaded by ProgID.
#include <dlfcn.h>
#include <gmock/gmock.h>

#include <map>
#include <sstream>
#include <thread>

#include "platform/com/activation.h"
#include "platform/com/server.h"
#include "platform/store/events.h"
#include "tests/store/fixture.h"

namespace store::testing {
namespace {

using adodb::FieldList;
using core::Variant;

constexpr const char* kHiddenOnly = " WHERE \"DAV:ishidden\" = FALSE";
constexpr std::int32_t kNew = com::EVT_NEW_ITEM;
constexpr std::int32_t kDelivered = com::EVT_NEW_ITEM | com::EVT_IS_DELIVERED;

std::string Mail(const std::string& subject) {
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
         "\r\nContent-Type: text/plain\r\n\r\nHello.\r\n";
}

struct Registration {
  std::string sink;
  std::string scope = "SHALLOW";
  std::string criteria = kHiddenOnly;
  std::string priority = "65500";
  std::string method = "onsyncsave";
};

class EventsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    library_ = ::dlopen(EVENTS_SINK, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    com::RegisterLibrary(EVENTS_SINK);
    jdoe_ = Mailbox("jdoe");
    inbox_ = jdoe_ + "/Inbox";
  }
  void TearDown() override {
    store_.reset();
    if (library_) ::dlclose(library_);
    com::FreeUnusedLibraries();
    StoreTest::TearDown();
  }

  // Writes a registration item as the setup program does.
  void Register(const std::string& folder, const std::string& name, const Registration& r) {
    FieldList props{{schema::kContentClass, Variant(schema::kEventRegistrationClass)},
                    {schema::kEventMethod, Variant(r.method)},
                    {schema::kSinkClass, Variant(r.sink)},
                    {schema::kMatchScope, Variant(r.scope)},
                    {schema::kCriteria, Variant(r.criteria)},
                    {schema::kPriority, Variant(r.priority)},
                    {schema::kIsHidden, Variant(true)}};
    store_->Create(store_->Resolve(folder).id, name, false, ExistingItem::Replace, props);
  }

  std::string SystemMailbox() {
    for (const MailboxInfo& m : store_->Mailboxes()) {
      if (m.is_system) return m.url;
    }
    ADD_FAILURE() << "no system mailbox";
    return "";
  }

  ItemId Folder(const std::string& parent, const std::string& name) {
    return store_->Create(store_->Resolve(parent).id, name, true, ExistingItem::Fail, {}).id;
  }

  // The sinks' calls since the last call, "label phase flags url" each.
  std::vector<std::string> Calls() {
    using Receive = void (*)(const char*, void*);
    using Take = void (*)(Receive, void*);
    auto take = reinterpret_cast<Take>(::dlsym(library_, "EventsTestTakeLog"));
    std::vector<std::string> calls;
    if (!take) {
      ADD_FAILURE() << "the test sink exports no log";
      return calls;
    }
    std::string text;
    take([](const char* t, void* out) { *static_cast<std::string*>(out) = t; }, &text);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      // Keep label, phase, flags and URL; what the record showed is detail.
      std::size_t detail = std::min(line.find(" subject="), line.find(" error="));
      calls.push_back(line.substr(0, detail));
    }
    return calls;
  }
  // The whole log lines, for details such as what the event record showed.
  std::string RawLog() {
    using Receive = void (*)(const char*, void*);
    using Take = void (*)(Receive, void*);
    auto take = reinterpret_cast<Take>(::dlsym(library_, "EventsTestTakeLog"));
    std::string text;
    if (take) take([](const char* t, void* out) { *static_cast<std::string*>(out) = t; }, &text);
    return text;
  }

  static std::string Call(const std::string& label, const char* phase, std::int32_t flags,
                          const std::string& url) {
    return label + " " + phase + " " + std::to_string(flags) + " " + url;
  }

  void* library_ = nullptr;
  std::string jdoe_, inbox_;
};

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(EventsTest, ScopesDecideWhichSavesASinkSees) {
  Mailbox("asmith");
  std::string sub = inbox_ + "/Sub";
  Folder(inbox_, "Sub");
  Register(inbox_, "shallow.reg", {"EventsTest.A", "SHALLOW"});
  Register(jdoe_, "deep.reg", {"EventsTest.B", "DEEP"});
  Register(SystemMailbox() + "/StoreEvents/GlobalEvents", "any.reg", {"EventsTest.C", "ANY"});
  Calls();

  std::string delivered = store_->Deliver("jdoe", Mail("one"));
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, delivered),
                                   Call("B", "begin", kDelivered, delivered),
                                   Call("C", "begin", kDelivered, delivered),
                                   Call("A", "committed", kDelivered, delivered),
                                   Call("B", "committed", kDelivered, delivered),
                                   Call("C", "committed", kDelivered, delivered)));

  // Below the Inbox: DEEP from the mailbox root and ANY, not SHALLOW.
  Item below = store_->SaveMessage(store_->Resolve(sub).id, Mail("two"), SaveOrigin::Client);
  std::string url = store_->UrlOf(below.id);
  EXPECT_THAT(Calls(),
              ElementsAre(Call("B", "begin", kNew, url), Call("C", "begin", kNew, url),
                          Call("B", "committed", kNew, url), Call("C", "committed", kNew, url)));

  // Another mailbox of the store: only the store-wide registration.
  std::string other = store_->Deliver("asmith", Mail("three"));
  EXPECT_THAT(Calls(), ElementsAre(Call("C", "begin", kDelivered, other),
                                   Call("C", "committed", kDelivered, other)));
}

TEST_F(EventsTest, FlagsTellNewFoldersMovesAndClientUpdates) {
  Register(inbox_, "a.reg", {"EventsTest.A"});
  Folder(jdoe_, "Drafts");
  Calls();

  ItemId folder = Folder(inbox_, "Projects");
  EXPECT_THAT(
      Calls(),
      ElementsAre(Call("A", "begin", kNew | com::EVT_IS_COLLECTION, inbox_ + "/Projects"),
                  Call("A", "committed", kNew | com::EVT_IS_COLLECTION, inbox_ + "/Projects")));

  Item draft =
      store_->SaveMessage(store_->Resolve(jdoe_ + "/Drafts").id, Mail("draft"), SaveOrigin::Client);
  EXPECT_THAT(Calls(), IsEmpty());
  store_->Move(draft.id, store_->Resolve(inbox_).id, "moved.eml", false);
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", com::EVT_MOVE, inbox_ + "/moved.eml"),
                                   Call("A", "committed", com::EVT_MOVE, inbox_ + "/moved.eml")));

  store_->Update(draft.id, {{schema::kSubject, Variant("changed")}});
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", 0, inbox_ + "/moved.eml"),
                                   Call("A", "committed", 0, inbox_ + "/moved.eml")));
  (void)folder;
}

TEST_F(EventsTest, CriteriaAndEventMethodSelectTheEvents) {
  Register(inbox_, "keep.reg",
           {"EventsTest.A", "SHALLOW", " WHERE \"urn:schemas:httpmail:subject\" LIKE 'keep%'"});
  Register(inbox_, "mixed.reg",
           {"EventsTest.B", "SHALLOW", kHiddenOnly, "1", "OnSyncDelete; OnSyncSave"});
  Register(inbox_, "delete.reg", {"EventsTest.C", "SHALLOW", kHiddenOnly, "1", "onsyncdelete"});
  Calls();

  std::string kept = store_->Deliver("jdoe", Mail("Keep this"));
  std::string dropped = store_->Deliver("jdoe", Mail("drop this"));
  EXPECT_THAT(
      Calls(),
      ElementsAre(Call("B", "begin", kDelivered, kept), Call("A", "begin", kDelivered, kept),
                  Call("B", "committed", kDelivered, kept),
                  Call("A", "committed", kDelivered, kept), Call("B", "begin", kDelivered, dropped),
                  Call("B", "committed", kDelivered, dropped)));

  // Hidden items, registration items among them, stay out of the usual criteria.
  store_->Create(store_->Resolve(inbox_).id, "hidden", false, ExistingItem::Fail,
                 {{schema::kIsHidden, Variant(true)}, {schema::kSubject, Variant("other")}});
  Register(inbox_, "another.reg", {"EventsTest.C"});
  EXPECT_THAT(Calls(), ElementsAre("C register " + inbox_ + "/another.reg"));
}

TEST_F(EventsTest, PriorityTextOrdersTheSinksLowestFirst) {
  Register(inbox_, "1.reg", {"EventsTest.A", "SHALLOW", kHiddenOnly, "200"});
  Register(inbox_, "2.reg", {"EventsTest.B", "SHALLOW", kHiddenOnly, "not a number"});
  Register(inbox_, "3.reg", {"EventsTest.C", "SHALLOW", kHiddenOnly, " 65 "});
  Calls();

  std::string url = store_->Deliver("jdoe", Mail("order"));
  EXPECT_THAT(
      Calls(),
      ElementsAre(Call("C", "begin", kDelivered, url), Call("A", "begin", kDelivered, url),
                  Call("B", "begin", kDelivered, url), Call("C", "committed", kDelivered, url),
                  Call("A", "committed", kDelivered, url),
                  Call("B", "committed", kDelivered, url)));

  // Equal priorities keep the order in which the items were written.
  Register(inbox_, "3.reg", {"EventsTest.C", "SHALLOW", kHiddenOnly, "7"});
  Register(inbox_, "1.reg", {"EventsTest.A", "SHALLOW", kHiddenOnly, "7.0"});
  Calls();
  url = store_->Deliver("jdoe", Mail("ties"));
  EXPECT_THAT(
      Calls(),
      ElementsAre(Call("C", "begin", kDelivered, url), Call("A", "begin", kDelivered, url),
                  Call("B", "begin", kDelivered, url), Call("C", "committed", kDelivered, url),
                  Call("A", "committed", kDelivered, url),
                  Call("B", "committed", kDelivered, url)));
}

TEST_F(EventsTest, AVetoRollsTheSaveBackAndAbortsEverySinkThatBegan) {
  Register(inbox_, "1.reg", {"EventsTest.A", "SHALLOW", kHiddenOnly, "1"});
  Register(inbox_, "2.reg", {"EventsTest.Veto", "SHALLOW", kHiddenOnly, "2"});
  Register(inbox_, "3.reg", {"EventsTest.C", "SHALLOW", kHiddenOnly, "3"});
  Calls();
  std::size_t before = store_->Children(store_->Resolve(inbox_).id).size();

  try {
    store_->Deliver("jdoe", Mail("refused"));
    FAIL() << "the veto was ignored";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), static_cast<std::int32_t>(0x80070005));
    EXPECT_NE(e.Description().find("EventsTest.Veto"), std::string::npos) << e.Description();
  }
  EXPECT_EQ(store_->Children(store_->Resolve(inbox_).id).size(), before);
  std::vector<std::string> calls = Calls();
  ASSERT_EQ(calls.size(), 4u) << ::testing::PrintToString(calls);
  EXPECT_EQ(calls[0].substr(0, 8), "A begin ");
  EXPECT_EQ(calls[1].substr(0, 11), "Veto begin ");
  EXPECT_EQ(calls[2].substr(0, 10), "A aborted ");
  EXPECT_EQ(calls[3].substr(0, 13), "Veto aborted ");

  // The store is usable afterwards.
  store_->Delete(store_->Resolve(inbox_ + "/2.reg").id);
  EXPECT_NO_THROW(store_->Deliver("jdoe", Mail("accepted")));
}

TEST_F(EventsTest, DeletesRaiseOnSyncDeleteBeforeTheItemGoes) {
  Register(inbox_, "a.reg", {"EventsTest.A", "SHALLOW", kHiddenOnly, "1", "onsyncdelete"});
  Register(inbox_, "b.reg", {"EventsTest.B"});
  std::string first = store_->Deliver("jdoe", Mail("first"));
  ItemId folder = Folder(inbox_, "Old");
  store_->SaveMessage(folder, Mail("inside"), SaveOrigin::Client);
  Calls();

  store_->Delete(store_->Resolve(first).id);
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "delete:begin", com::EVT_HARDDELETE, first),
                                   Call("A", "delete:committed", com::EVT_HARDDELETE, first)));
  // A folder raises one event for itself, none for what it holds.
  const std::int32_t folder_flags = com::EVT_HARDDELETE | com::EVT_IS_COLLECTION;
  store_->Delete(folder);
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "delete:begin", folder_flags, inbox_ + "/Old"),
                                   Call("A", "delete:committed", folder_flags, inbox_ + "/Old")));

  // A veto keeps the item.
  Register(inbox_, "veto.reg", {"EventsTest.Veto", "SHALLOW", kHiddenOnly, "2", "onsyncdelete"});
  std::string kept = store_->Deliver("jdoe", Mail("kept"));
  Calls();
  EXPECT_EQ(ErrorOf([&] { store_->Delete(store_->Resolve(kept).id); }), core::err::kEFail);
  EXPECT_TRUE(store_->Find(store_->Names(kept)));
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "delete:begin", com::EVT_HARDDELETE, kept),
                                   Call("Veto", "delete:begin", com::EVT_HARDDELETE, kept),
                                   Call("A", "delete:aborted", com::EVT_HARDDELETE, kept),
                                   Call("Veto", "delete:aborted", com::EVT_HARDDELETE, kept)));
}

TEST_F(EventsTest, CommittedWaitsForTheCallersTransaction) {
  Register(inbox_, "a.reg", {"EventsTest.A"});
  Calls();

  store_->BeginTrans();
  std::string kept = store_->Deliver("jdoe", Mail("kept"));
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, kept)));
  store_->CommitTrans();
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "committed", kDelivered, kept)));

  store_->BeginTrans();
  std::string gone = store_->Deliver("jdoe", Mail("gone"));
  store_->RollbackTrans();
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, gone),
                                   Call("A", "aborted", kDelivered, gone)));
  EXPECT_FALSE(store_->Find(store_->Names(gone)));

  // A connection dropped inside its transaction aborts what it began.
  store_->BeginTrans();
  std::string dropped = store_->Deliver("jdoe", Mail("dropped"));
  store_.reset();
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, dropped),
                                   Call("A", "aborted", kDelivered, dropped)));
}

TEST_F(EventsTest, TheDurableHookRunsBetweenTheSyncedCommitAndTheSinks) {
  Register(inbox_, "a.reg", {"EventsTest.A"});
  Calls();
  std::vector<std::vector<std::string>> seen;  // the sinks' calls at each hook
  auto hook = [&] { seen.push_back(Calls()); };

  store_->BeginTrans();
  store_->Deliver("jdoe", Mail("hooked"));
  store_->BeginTrans();
  store_->Deliver("jdoe", Mail("inner"));
  store_->CommitTrans(hook);  // an inner level is not durable yet
  EXPECT_THAT(seen, IsEmpty());
  Calls();
  store_->CommitTrans(hook);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_THAT(seen[0], IsEmpty());  // nothing committed reached a sink yet
  EXPECT_EQ(Calls().size(), 2u);    // and both reach them after the hook

  // Neither a relaxed commit nor a rolled-back one is durable.
  store::Session& session = store_->session();
  store::Session::Level relaxed = session.Begin(store::Session::Durability::Relaxed);
  store_->Deliver("jdoe", Mail("relaxed"));
  session.Commit(relaxed, hook);
  store_->BeginTrans();
  store_->Deliver("jdoe", Mail("gone"));
  store_->RollbackTrans();
  EXPECT_THROW(store_->CommitTrans(hook), core::RuntimeError);
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(EventsTest, RegistrationItemsAreCheckedWhenSaved) {
  Calls();
  Register(inbox_, "a.reg", {"EventsTest.A"});
  EXPECT_THAT(Calls(), ElementsAre("A register " + inbox_ + "/a.reg"));

  auto refused = [&](const std::string& folder, const std::string& name, const Registration& r) {
    std::int32_t number = ErrorOf([&] { Register(folder, name, r); });
    EXPECT_FALSE(store_->Find(store_->Names(folder + "/" + name))) << name;
    return number;
  };
  EXPECT_EQ(refused(inbox_, "refuse.reg", {"EventsTest.Refuse"}), core::err::kAdoInvalidArgument);
  EXPECT_THAT(Calls(), ElementsAre("Refuse register " + inbox_ + "/refuse.reg"));
  EXPECT_EQ(refused(inbox_, "any.reg", {"EventsTest.A", "ANY"}), core::err::kAdoInvalidArgument);
  EXPECT_EQ(refused(inbox_, "scope.reg", {"EventsTest.A", "WIDE"}), core::err::kAdoInvalidArgument);
  EXPECT_EQ(refused(inbox_, "criteria.reg", {"EventsTest.A", "SHALLOW", " WHERE \"DAV:x\" ="}),
            core::err::kAdoInvalidArgument);
  EXPECT_THAT(Calls(), IsEmpty());

  // Written before its component is installed: accepted, skipped at events.
  EXPECT_NO_THROW(Register(inbox_, "later.reg", {"Not.Installed"}));
  com::RegisterClass("EventsTest.Gone", com::GUID::Parse("{7D0C1A10-1111-4A6B-9C3D-0E1F2A3B4CFF}"),
                     root_.string() + "/missing.so", "Apartment");
  EXPECT_NO_THROW(Register(inbox_, "gone.reg", {"EventsTest.Gone", "SHALLOW", kHiddenOnly, "1"}));
  std::string url = store_->Deliver("jdoe", Mail("still delivered"));
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, url),
                                   Call("A", "committed", kDelivered, url)));
}

TEST_F(EventsTest, RegistrationsOfOtherConnectionsAndDeletionsApplyAtOnce) {
  std::string first = store_->Deliver("jdoe", Mail("before"));
  {
    std::unique_ptr<Store> other = Store::Open(root_);
    FieldList props{{schema::kContentClass, Variant(schema::kEventRegistrationClass)},
                    {schema::kEventMethod, Variant("onsyncsave")},
                    {schema::kSinkClass, Variant("EventsTest.A")}};
    other->Create(other->Resolve(inbox_).id, "a.reg", false, ExistingItem::Fail, props);
  }
  Calls();
  std::string second = store_->Deliver("jdoe", Mail("after"));
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, second),
                                   Call("A", "committed", kDelivered, second)));
  store_->Delete(store_->Resolve(inbox_ + "/a.reg").id);
  store_->Deliver("jdoe", Mail("removed"));
  EXPECT_THAT(Calls(), IsEmpty());
  (void)first;
}

TEST_F(EventsTest, SavesFromASinkRaiseTheirOwnEventsUpToTheDepthLimit) {
  Register(inbox_, "nester.reg", {"EventsTest.Nester"});
  Calls();
  // Each committed phase updates the item, which raises the next event.
  std::string url = store_->Deliver("jdoe", Mail("nested"));
  FieldList props = store_->Properties(store_->Resolve(url).id);
  Variant count;
  for (auto& [name, value] : props) {
    if (name == "urn:test:count") count = value;
  }
  ASSERT_FALSE(count.IsEmpty()) << RawLog();
  EXPECT_EQ(count.AsLong(), events::kMaxEventDepth);
  std::string log = RawLog();
  EXPECT_EQ(log.find("error="), std::string::npos) << log;
}

TEST_F(EventsTest, TheBeginPhaseRecordShowsTheSavedItemAndCannotChangeIt) {
  Register(inbox_, "a.reg", {"EventsTest.A"});
  RawLog();
  std::string url = store_->Deliver("jdoe", Mail("seen in begin"));
  for (auto& [name, value] : store_->Properties(store_->Resolve(url).id)) {
    EXPECT_NE(name, "urn:test:touched");
  }
  std::string log = RawLog();
  EXPECT_NE(log.find("A begin 9 " + inbox_ + "/seen in begin.EML subject=seen in begin write=" +
                     std::to_string(core::err::kDbReadOnly) + "\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("A committed 9 " + inbox_ + "/seen in begin.EML subject=seen in begin\n"),
            std::string::npos)
      << log;
}

TEST_F(EventsTest, TheConstructionSeamHandsSinksTheirConstructorString) {
  Register(inbox_, "a.reg", {"EventsTest.A"});
  Calls();
  com::ScopedConstructionHook hook([](const com::ClassEntry& e) -> std::optional<Variant> {
    if (e.progId == "EventsTest.A") return Variant("configured");
    return std::nullopt;
  });
  std::string url = store_->Deliver("jdoe", Mail("constructed"));
  EXPECT_THAT(Calls(), ElementsAre(Call("configured", "begin", kDelivered, url),
                                   Call("configured", "committed", kDelivered, url)));
}

TEST_F(EventsTest, RegistrationsAreFoundWhereverTheirItemsGo) {
  std::string sub = inbox_ + "/Sub";
  ItemId sub_id = Folder(inbox_, "Sub");
  // Written as a plain item and made a registration by a later update.
  Item item = store_->Create(store_->Resolve(inbox_).id, "late.reg", false, ExistingItem::Fail,
                             {{schema::kEventMethod, Variant("onsyncsave")},
                              {schema::kSinkClass, Variant("EventsTest.A")},
                              {schema::kCriteria, Variant(kHiddenOnly)},
                              {schema::kIsHidden, Variant(true)}});
  store_->Update(item.id, {{schema::kContentClass, Variant(schema::kEventRegistrationClass)}});
  EXPECT_THAT(Calls(), ElementsAre("A register " + inbox_ + "/late.reg"));
  // A thread that never saw it written finds it, as a new process would.
  std::string url;
  std::thread([&] { url = Store::Open(root_)->Deliver("jdoe", Mail("seen")); }).join();
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kDelivered, url),
                                   Call("A", "committed", kDelivered, url)));

  // Moved below: it covers its new folder, no longer the old one.
  store_->Move(item.id, sub_id, "late.reg", false);
  Calls();
  store_->Deliver("jdoe", Mail("not seen"));
  EXPECT_THAT(Calls(), IsEmpty());
  Item below = store_->SaveMessage(sub_id, Mail("below"), SaveOrigin::Client);
  EXPECT_THAT(Calls(), ElementsAre(Call("A", "begin", kNew, store_->UrlOf(below.id)),
                                   Call("A", "committed", kNew, store_->UrlOf(below.id))));

  // Another content class ends the registration; deleting its folder too.
  store_->Update(item.id, {{schema::kContentClass, Variant("urn:content-classes:item")}});
  store_->SaveMessage(sub_id, Mail("after"), SaveOrigin::Client);
  EXPECT_THAT(Calls(), IsEmpty());
  store_->Update(item.id, {{schema::kContentClass, Variant(schema::kEventRegistrationClass)}});
  store_->Delete(sub_id);
  Calls();
  Folder(inbox_, "Sub");
  store_->SaveMessage(store_->Resolve(sub).id, Mail("gone"), SaveOrigin::Client);
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(EventsTest, ADeliveryStandsWhateverItsSinksDoAfterwards) {
  Register(inbox_, "deleter.reg", {"EventsTest.Deleter"});
  std::string url;
  EXPECT_NO_THROW(url = store_->Deliver("jdoe", Mail("deleted")));
  EXPECT_EQ(url, inbox_ + "/deleted.EML");
  EXPECT_FALSE(store_->Find(store_->Names(url)));
}

TEST_F(EventsTest, ACommittedPhaseIsOneUnitThatDropsWhatASinkLeftOpen) {
  Register(inbox_, "leaky.reg", {"EventsTest.Leaky"});
  std::string url = store_->Deliver("jdoe", Mail("leak"));
  std::map<std::string, Variant> props;
  std::thread([&] {
    std::unique_ptr<Store> other = Store::Open(root_);
    for (auto& [name, value] : other->Properties(other->Resolve(url).id)) props[name] = value;
  }).join();
  std::string log = RawLog();
  EXPECT_EQ(log.find("error="), std::string::npos) << log;  // the leaky write itself worked
  EXPECT_EQ(props["urn:test:kept"], Variant(true)) << log;
  EXPECT_EQ(props.count("urn:test:leaked"), 0u);
  EXPECT_FALSE(store_->session().InTransaction());
  EXPECT_NO_THROW(store_->Deliver("jdoe", Mail("after")));
  auto release = reinterpret_cast<void (*)()>(::dlsym(library_, "EventsTestReleaseKept"));
  ASSERT_NE(release, nullptr);
  release();
}

}  // namespace
}  // namespace store::testing
