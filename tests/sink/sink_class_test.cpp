// The sink class seen from its host: registration, construction, the
// registration callback and the dispatch of event phases.
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/com/class_registry.h"
#include "platform/core/error.h"
#include "tests/sink/sink_fixture.h"

namespace {

using sinktest::EventInfo;
using sinktest::kProgId;

class SinkClassTest : public sinktest::SinkTest {};

TEST_F(SinkClassTest, RegistersItselfApartmentThreadedAndDescribesItsClass) {
  auto entry = com::LookupProgId(kProgId);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->threadingModel, "Apartment");
  EXPECT_EQ(std::filesystem::path(entry->libraryPath).filename(), "Zenthra.dll");
  EXPECT_EQ(entry->libraryPath, std::filesystem::weakly_canonical(ZENTHRA_DLL).string());

  auto classes = com::DescribeLibrary(ZENTHRA_DLL);
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].progId, kProgId);
  EXPECT_EQ(classes[0].name, "ZenthraCls");
  EXPECT_EQ(classes[0].clsid, entry->clsid);

  auto unreg = reinterpret_cast<DllUnregisterServerFn>(::dlsym(library_, "DllUnregisterServer"));
  ASSERT_EQ(unreg(), com::S_OK);
  EXPECT_FALSE(com::LookupProgId(kProgId));
  EXPECT_THROW(com::CreateObject(kProgId), core::RuntimeError);
}

TEST_F(SinkClassTest, OffersTheInterfacesTheStoreAndTheHostingServiceUse) {
  com::Ptr<com::IUnknown> sink = Activate(std::nullopt);
  EXPECT_TRUE(sink.As<com::IObjectConstruct>());
  EXPECT_TRUE(sink.As<com::ICreateRegistration>());
  EXPECT_TRUE(sink.As<com::IExStoreSyncEvents>());
  EXPECT_FALSE(sink.As<com::IExStoreEventInfo>());
  // The library stays while the object lives and may go afterwards.
  EXPECT_EQ(com::FreeUnusedLibraries(), 0u);
  sink.Reset();
  EXPECT_EQ(com::FreeUnusedLibraries(), 1u);
}

struct CtorCase {
  const char* what;
  std::optional<core::Variant> ctor;
  const char* folder;
  const char* attachment;
};

TEST_F(SinkClassTest, ConstructorStringSetsFolderAndMarkerName) {
  const CtorCase cases[] = {
      {"Null string", core::Variant::Null(), "Spam", ""},
      {"empty string", core::Variant(""), "Spam", ""},
      {"all three fields", core::Variant("Spam\rQuarantined Attachment.txt\r65500"), "Spam",
       "Quarantined Attachment.txt"},
      {"no carriage return: whole text, untrimmed", core::Variant(" marker.txt "), "Spam",
       " marker.txt "},
      {"leading carriage return: whole text", core::Variant("\rmarker.txt\r65500"), "Spam",
       "\rmarker.txt\r65500"},
      {"blank folder field", core::Variant("   \rmarker.txt\r1"), "", "marker.txt"},
      {"blanks and backslashes", core::Variant("  Inbox\\Quarantine\\Spam \r  a b.txt  \r65500"),
       "Inbox/Quarantine/Spam", "a b.txt"},
      {"fourth field ignored", core::Variant("Spam\rm.txt\r65500\rextra\rmore"), "Spam", "m.txt"},
      {"CR LF keeps the line feed", core::Variant("Spam\r\nm.txt\r\n65500"), "Spam", "\nm.txt"},
      {"only spaces are trimmed", core::Variant("\tSpam\t\r\tm.txt"), "\tSpam\t", "\tm.txt"},
      {"a number is taken as its text", core::Variant(std::int32_t{42}), "Spam", "42"},
  };
  for (const CtorCase& c : cases) {
    SCOPED_TRACE(c.what);
    com::Ptr<com::IUnknown> sink = Activate(c.ctor);
    sinktest::Settings s = ReadSettings();
    EXPECT_EQ(s.targetFolder, c.folder);
    EXPECT_EQ(s.attachmentName, c.attachment);
  }
}

TEST_F(SinkClassTest, ConstructNeverFailsAndLatestConstructOnAThreadWins) {
  com::Ptr<com::IUnknown> first = Activate(core::Variant("Junk\rone.txt"));
  com::Ptr<com::IObjectConstruct> construct = first.As<com::IObjectConstruct>();
  ASSERT_TRUE(construct);

  // A construction object without a constructor string counts as empty.
  auto noString =
      com::MakeObject<EventInfo, com::IExStoreEventInfo>([] { return adodb::RecordPtr(); });
  EXPECT_EQ(construct->Construct(noString.Get()), com::S_OK);
  EXPECT_EQ(ReadSettings().targetFolder, "Spam");
  EXPECT_EQ(ReadSettings().attachmentName, "");
  EXPECT_EQ(construct->Construct(nullptr), com::S_OK);
  EXPECT_EQ(ReadSettings().attachmentName, "");

  // Settings belong to the thread, not to the object.
  EXPECT_EQ(construct->Construct(com::MakeConstructString("A\ra.txt").Get()), com::S_OK);
  com::Ptr<com::IUnknown> second = Activate(core::Variant("B\rb.txt"));
  EXPECT_EQ(ReadSettings().targetFolder, "B");

  std::string otherFolder;
  std::thread other([&] {
    otherFolder = ReadSettings().targetFolder;  // a thread starts from the defaults
    construct->Construct(com::MakeConstructString("C\rc.txt").Get());
  });
  other.join();
  EXPECT_EQ(otherFolder, "Spam");
  EXPECT_EQ(ReadSettings().targetFolder, "B");
  EXPECT_EQ(ReadSettings().attachmentName, "b.txt");
}

TEST_F(SinkClassTest, StoreThreadsActivateConcurrentlyEachWithItsOwnSettings) {
  // Long enough that the settings live on the heap, so that what a thread
  // leaves behind at its exit shows.
  static thread_local int threadIndex = -1;
  auto folderOf = [](int t) { return "Quarantine folder of store thread " + std::to_string(t); };
  auto markerOf = [](int t) { return "marker attachment " + std::to_string(t) + ".txt"; };
  com::ScopedConstructionHook hook([&](const com::ClassEntry&) -> std::optional<core::Variant> {
    return folderOf(threadIndex) + "\r" + markerOf(threadIndex);
  });
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  // Unused libraries are freed all along, as a host does from time to time;
  // activations must not be disturbed by it.
  std::thread unloader([&] {
    while (!done) com::FreeUnusedLibraries();
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      threadIndex = t;
      for (int i = 0; i < 25; ++i) {
        try {
          com::Ptr<com::IUnknown> sink = com::CreateObject(kProgId);
          sinktest::Settings s = ReadSettings();
          if (s.targetFolder != folderOf(t) || s.attachmentName != markerOf(t)) {
            ++mismatches;
          }
        } catch (...) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  done = true;
  unloader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(SinkClassTest, RegisterAcceptsEveryRegistration) {
  auto reg = Activate(std::nullopt).As<com::ICreateRegistration>();
  ASSERT_TRUE(reg);
  auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>([] { return adodb::RecordPtr(); });
  std::int32_t result = 5;
  EXPECT_EQ(
      reg->Register(info.Get(), "file://./backofficestorage/x/MBX/a/Inbox/Zenthra.reg", 0, &result),
      com::S_OK);
  EXPECT_EQ(result, 0);
  result = -1;
  EXPECT_EQ(reg->Register(nullptr, "", -1, &result), com::S_OK);
  EXPECT_EQ(result, 0);
}

TEST_F(SinkClassTest, PhaseDispatchActsOnTheFirstFlagSetAndNeverVetoes) {
  auto sink = Activate(core::Variant("Spam\rmarker.txt")).As<com::IExStoreSyncEvents>();
  ASSERT_TRUE(sink);
  // Only the committed phase of a save looks at the item; it fetches the
  // event record first, so a fetch tells which procedure ran.
  struct Case {
    std::int32_t flags;
    bool save;
    int fetches;
  };
  const std::int32_t delivered = com::EVT_IS_DELIVERED | com::EVT_NEW_ITEM;
  const Case cases[] = {
      {com::EVT_SYNC_BEGIN | delivered, true, 0},
      {com::EVT_SYNC_BEGIN | com::EVT_SYNC_COMMITTED | delivered, true, 0},  // begin first
      {com::EVT_SYNC_COMMITTED | delivered, true, 1},
      {com::EVT_SYNC_COMMITTED | com::EVT_SYNC_ABORTED, true, 1},  // committed before aborted
      {com::EVT_SYNC_ABORTED | delivered, true, 0},
      {delivered, true, 0},
      {com::EVT_SYNC_BEGIN, false, 0},
      {com::EVT_SYNC_COMMITTED | delivered, false, 0},
      {com::EVT_SYNC_ABORTED, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags << (c.save ? " save" : " delete"));
    auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>([] {
      return std::shared_ptr<adodb::Record>();  // no item: the handler stops
    });
    auto* counts = static_cast<EventInfo*>(info.Get());
    const std::string url = "file://./backofficestorage/x/MBX/a/Inbox/m.EML";
    com::HRESULT hr = c.save ? sink->OnSyncSave(info.Get(), url, c.flags)
                             : sink->OnSyncDelete(info.Get(), url, c.flags);
    EXPECT_EQ(hr, com::S_OK);
    EXPECT_EQ(counts->recordFetches, c.fetches);
    EXPECT_EQ(counts->aborts, 0);
  }
}

TEST_F(SinkClassTest, FailuresInsideAnEventAreSwallowed) {
  auto sink = Activate(core::Variant("Spam\rmarker.txt")).As<com::IExStoreSyncEvents>();
  const std::int32_t committed = com::EVT_SYNC_COMMITTED | com::EVT_IS_DELIVERED;
  auto throwing = com::MakeObject<EventInfo, com::IExStoreEventInfo>(
      []() -> adodb::RecordPtr { throw core::RuntimeError(core::err::kDbNotFound, "item gone"); });
  EXPECT_EQ(
      sink->OnSyncSave(throwing.Get(), "file://./backofficestorage/x/MBX/a/Inbox/m.EML", committed),
      com::S_OK);
  EXPECT_EQ(static_cast<EventInfo*>(throwing.Get())->recordFetches, 1);
  EXPECT_EQ(static_cast<EventInfo*>(throwing.Get())->aborts, 0);
  // No event information at all.
  EXPECT_EQ(sink->OnSyncSave(nullptr, "", committed), com::S_OK);
  // A record on an unreachable item: every store call fails.
  auto closed = com::MakeObject<EventInfo, com::IExStoreEventInfo>(
      [] { return std::make_shared<adodb::Record>(); });
  EXPECT_EQ(sink->OnSyncSave(closed.Get(), "", committed), com::S_OK);
}

}  // namespace
