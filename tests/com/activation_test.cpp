#include "platform/com/activation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/com/server.h"
#include "platform/core/error.h"
#include "tests/com/temp_root.h"
#include "tests/com/test_widget.h"

namespace {

using com::Ptr;
using comtest::ITestWidget;

// Runs one exported entry point of a library the way a registration tool does.
com::HRESULT CallExport(const char* library, const char* name) {
  void* h = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!h) return com::E_FAIL;
  auto fn = reinterpret_cast<com::HRESULT (*)()>(::dlsym(h, name));
  com::HRESULT hr = fn ? fn() : com::E_FAIL;
  ::dlclose(h);
  return hr;
}

std::string CreateError(std::string_view progId) {
  try {
    com::CreateObject(progId);
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kCannotCreateObject);
    EXPECT_NE(e.Description().find(std::string(progId)), std::string::npos) << e.Description();
    return e.Description();
  }
  ADD_FAILURE() << "created " << progId;
  return "";
}

class ActivationTest : public comtest::TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ASSERT_EQ(CallExport(COM_TEST_COMPONENT, "DllRegisterServer"), com::S_OK);
  }
  void TearDown() override {
    com::FreeUnusedLibraries();
    TempRootTest::TearDown();
  }
};

TEST_F(ActivationTest, SelfRegistrationRecordsTheLibraryAndItsThreadingModel) {
  auto widget = com::LookupProgId(comtest::kWidgetProgId);
  ASSERT_TRUE(widget);
  EXPECT_EQ(widget->clsid, com::GUID::Parse(comtest::kWidgetClsid));
  EXPECT_EQ(widget->libraryPath, std::filesystem::weakly_canonical(COM_TEST_COMPONENT).string());
  EXPECT_EQ(widget->threadingModel, "Apartment");
  EXPECT_EQ(com::LookupProgId(comtest::kPlainProgId)->threadingModel, "Both");

  EXPECT_EQ(CallExport(COM_TEST_COMPONENT, "DllUnregisterServer"), com::S_OK);
  EXPECT_TRUE(com::List().empty());
  EXPECT_NE(CreateError(comtest::kWidgetProgId).find("not registered"), std::string::npos);
}

TEST_F(ActivationTest, CreatesByProgIdAndAnswersInterfaceQueries) {
  Ptr<com::IUnknown> unk = com::CreateObject("comtest.widget");
  ASSERT_TRUE(unk);
  Ptr<ITestWidget> widget = unk.As<ITestWidget>();
  ASSERT_TRUE(widget);
  EXPECT_EQ(widget->ClassName(), "Widget");
  EXPECT_EQ(widget->Constructed(), "<not constructed>");  // no hook installed
  EXPECT_TRUE(unk.As<com::IObjectConstruct>());
  EXPECT_FALSE(unk.As<com::IExStoreSyncEvents>());

  void* raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(unk->QueryInterface(com::IExStoreSyncEvents::kIID, &raw), com::E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
  // IUnknown from any interface is the same object.
  EXPECT_EQ(widget.As<com::IUnknown>().Get(), unk.As<com::IUnknown>().Get());

  // Each reference counts; the last release destroys.
  // Two references live (unk and widget); the temporaries above are gone.
  EXPECT_EQ(widget->AddRef(), 3u);
  EXPECT_EQ(widget->Release(), 2u);
  Ptr<com::IUnknown> other = com::CreateObject(comtest::kPlainProgId);
  EXPECT_EQ(other.As<ITestWidget>()->ClassName(), "Plain");
  EXPECT_NE(other.Get(), unk.Get());
}

TEST_F(ActivationTest, LibraryStaysLoadedWhileObjectsOrLocksLive) {
  Ptr<com::IUnknown> obj = com::CreateObject(comtest::kWidgetProgId);
  EXPECT_EQ(com::FreeUnusedLibraries(), 0u);
  obj.Reset();
  EXPECT_EQ(com::FreeUnusedLibraries(), 1u);
  EXPECT_EQ(com::FreeUnusedLibraries(), 0u);  // nothing cached any more

  // After unloading, activation loads it again; a server lock alone also
  // keeps it loaded.
  obj = com::CreateObject(comtest::kWidgetProgId);
  void* h = ::dlopen(COM_TEST_COMPONENT, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  auto get = reinterpret_cast<DllGetClassObjectFn>(::dlsym(h, "DllGetClassObject"));
  Ptr<com::IClassFactory> factory;
  ASSERT_EQ(
      get(com::GUID::Parse(comtest::kWidgetClsid), com::IClassFactory::kIID, factory.PutVoid()),
      com::S_OK);
  EXPECT_EQ(factory->LockServer(true), com::S_OK);
  Ptr<com::IUnknown> viaFactory;
  EXPECT_EQ(factory->CreateInstance(obj.Get(), com::IUnknown::kIID, viaFactory.PutVoid()),
            com::CLASS_E_NOAGGREGATION);
  factory.Reset();
  obj.Reset();
  EXPECT_EQ(com::FreeUnusedLibraries(), 0u);
  ASSERT_EQ(
      get(com::GUID::Parse(comtest::kWidgetClsid), com::IClassFactory::kIID, factory.PutVoid()),
      com::S_OK);
  EXPECT_EQ(factory->LockServer(false), com::S_OK);
  factory.Reset();
  ::dlclose(h);
  EXPECT_EQ(com::FreeUnusedLibraries(), 1u);
}

TEST_F(ActivationTest, UnloadingLeavesTheCodeOfALastReleaseInPlace) {
  com::CreateObject(comtest::kWidgetProgId);  // loads it into the cache
  void* h = ::dlopen(COM_TEST_COMPONENT, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  auto get = reinterpret_cast<DllGetClassObjectFn>(::dlsym(h, "DllGetClassObject"));
  using ReleaseThenFn = void (*)(void (*)());
  auto releaseThen = reinterpret_cast<ReleaseThenFn>(::dlsym(h, "ReleaseServerLockThen"));
  ASSERT_NE(releaseThen, nullptr);
  Ptr<com::IClassFactory> factory;
  ASSERT_EQ(
      get(com::GUID::Parse(comtest::kWidgetClsid), com::IClassFactory::kIID, factory.PutVoid()),
      com::S_OK);
  ASSERT_EQ(factory->LockServer(true), com::S_OK);
  factory.Reset();
  ::dlclose(h);  // the cache's reference is the only one left

  // Unloaded while the library's code has yet to return: a library closed
  // at once crashes here.
  static std::size_t freed = 0;
  releaseThen([] { freed = com::FreeUnusedLibraries(); });
  EXPECT_EQ(freed, 1u);
  // Activated anew all the same.
  EXPECT_EQ(com::CreateObject(comtest::kWidgetProgId).As<ITestWidget>()->ClassName(), "Widget");
}

TEST_F(ActivationTest, ActivationsRaceSafelyWithUnloading) {
  std::atomic<bool> done{false};
  std::thread unloader([&] {
    while (!done) com::FreeUnusedLibraries();
  });
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        try {
          auto w = com::CreateObject(comtest::kWidgetProgId).As<ITestWidget>();
          if (!w || w->ClassName() != "Widget") ++bad;
        } catch (...) {
          ++bad;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  done = true;
  unloader.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(ActivationTest, ConstructionHookSuppliesTheConstructorString) {
  std::vector<std::string> asked;
  com::ScopedConstructionHook hook([&](const com::ClassEntry& e) -> std::optional<core::Variant> {
    asked.push_back(e.progId);
    if (e.progId == comtest::kWidgetProgId) return core::Variant("Spam\rmarker.txt");
    return std::nullopt;
  });
  auto widget = com::CreateObject(comtest::kWidgetProgId).As<ITestWidget>();
  EXPECT_EQ(widget->Constructed(), "Spam\rmarker.txt");
  // No string for the class: created without construction.
  EXPECT_EQ(com::CreateObject(comtest::kPlainProgId).As<ITestWidget>()->Constructed(),
            "<not constructed>");
  EXPECT_EQ(asked, (std::vector<std::string>{comtest::kWidgetProgId, comtest::kPlainProgId}));

  {
    com::ScopedConstructionHook nullHook(
        [](const com::ClassEntry&) -> std::optional<core::Variant> {
          return core::Variant::Null();
        });
    EXPECT_EQ(com::CreateObject(comtest::kWidgetProgId).As<ITestWidget>()->Constructed(), "<null>");
    // Construction enabled for a class that cannot be constructed fails
    // the activation instead of handing out an unconfigured object.
    EXPECT_NE(CreateError(comtest::kPlainProgId).find("Construct"), std::string::npos);
  }
  {
    com::ScopedConstructionHook failing([](const com::ClassEntry&) -> std::optional<core::Variant> {
      return core::Variant("fail");
    });
    EXPECT_NE(CreateError(comtest::kWidgetProgId).find("Construct failed"), std::string::npos);
  }
  // The outer hook is back.
  EXPECT_EQ(com::CreateObject(comtest::kWidgetProgId).As<ITestWidget>()->Constructed(),
            "Spam\rmarker.txt");
}

TEST_F(ActivationTest, FailuresNameTheProgIdAndTheReason) {
  EXPECT_NE(CreateError("No.Such.Class").find("not registered"), std::string::npos);

  com::RegisterClass("Gone.Cls", com::GUID::Parse("{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E09}"),
                     (root_ / "missing.dll").string(), "Apartment");
  std::string missing = CreateError("Gone.Cls");
  EXPECT_NE(missing.find("missing.dll"), std::string::npos) << missing;

  std::filesystem::path junk = root_ / "junk.dll";
  std::ofstream(junk) << "not a library";
  com::RegisterClass("Junk.Cls", com::GUID::Parse("{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E0A}"),
                     junk.string(), "Apartment");
  EXPECT_NE(CreateError("Junk.Cls").find("cannot be loaded"), std::string::npos);

  com::RegisterClass("Orphan.Cls", com::GUID::Parse("{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E03}"),
                     COM_TEST_NO_ENTRY, "Apartment");
  EXPECT_NE(CreateError("Orphan.Cls").find("exports no DllGetClassObject"), std::string::npos);

  // Registered against a library that does not implement the class id.
  com::RegisterClass("Wrong.Cls", com::GUID::Parse("{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E0B}"),
                     COM_TEST_COMPONENT, "Apartment");
  EXPECT_NE(CreateError("Wrong.Cls").find("has no class"), std::string::npos);
}

TEST_F(ActivationTest, InstallerRegistrationReportsWhatFailed) {
  com::UnregisterLibrary(COM_TEST_COMPONENT);
  EXPECT_TRUE(com::List().empty());
  com::RegisterLibrary(COM_TEST_COMPONENT);
  EXPECT_EQ(com::List().size(), 2u);
  try {
    com::RegisterLibrary(COM_TEST_NO_ENTRY);
    FAIL() << "no error";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kCannotCreateObject);
    EXPECT_NE(e.Description().find("DllRegisterServer"), std::string::npos) << e.Description();
  }
  EXPECT_THROW(com::RegisterLibrary(root_ / "Nowhere.dll"), core::RuntimeError);
  EXPECT_EQ(com::List().size(), 2u);
}

TEST_F(ActivationTest, HookFailureIsAnActivationFailure) {
  com::ScopedConstructionHook hook([](const com::ClassEntry&) -> std::optional<core::Variant> {
    throw core::RuntimeError(core::err::kPathNotFound, "catalog unreadable");
  });
  EXPECT_NE(CreateError(comtest::kWidgetProgId).find("catalog unreadable"), std::string::npos);
}

TEST_F(ActivationTest, DescribesALibraryWithoutActivatingIt) {
  auto classes = com::DescribeLibrary(COM_TEST_COMPONENT);
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0].progId, comtest::kWidgetProgId);
  EXPECT_EQ(classes[0].clsid, com::GUID::Parse(comtest::kWidgetClsid));
  EXPECT_EQ(classes[0].name, "Widget");
  EXPECT_EQ(classes[1].threadingModel, "Both");
  EXPECT_EQ(com::DescribeLibrary(COM_TEST_NO_ENTRY).at(0).progId, "ComTest.Orphan");

  try {
    com::DescribeLibrary(root_ / "Nowhere.dll");
    FAIL() << "no error";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kFileNotFound);
    EXPECT_NE(e.Description().find("Nowhere.dll"), std::string::npos);
  }
}

}  // namespace
