// Loads the real Zenthra.dll by its ProgID in a fresh server root, and plays
// the store's side of an event.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/server.h"
#include "tests/com/temp_root.h"

namespace sinktest {

inline constexpr const char* kProgId = "Zenthra.ZenthraCls";

// The event information the store hands the sink: counts the calls that
// matter (a veto, a fetch of the event record).
class EventInfo : public com::Implements<com::IExStoreEventInfo, com::IExStoreDispEventInfo> {
 public:
  explicit EventInfo(std::function<adodb::RecordPtr()> record) : record_(std::move(record)) {}
  com::HRESULT AbortChange(std::int32_t) override {
    ++aborts;
    return com::S_OK;
  }
  adodb::RecordPtr EventRecord() override {
    ++recordFetches;
    return record_();
  }
  int aborts = 0;
  int recordFetches = 0;

 private:
  std::function<adodb::RecordPtr()> record_;
};

struct Settings {
  std::string targetFolder, attachmentName, targetFolderURL;
};

class SinkTest : public comtest::TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    library_ = ::dlopen(ZENTHRA_DLL, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    auto reg = reinterpret_cast<DllRegisterServerFn>(::dlsym(library_, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), com::S_OK);
  }
  void TearDown() override {
    if (library_) ::dlclose(library_);
    com::FreeUnusedLibraries();
    TempRootTest::TearDown();
  }

  // A new sink object, constructed with ctor when it holds a value, as the
  // hosting service does for a component with construction enabled.
  com::Ptr<com::IUnknown> Activate(std::optional<core::Variant> ctor) {
    com::ScopedConstructionHook hook(
        [&](const com::ClassEntry&) -> std::optional<core::Variant> { return ctor; });
    return com::CreateObject(kProgId);
  }

  // The calling thread's settings inside the library.
  Settings ReadSettings() {
    using Fn = void (*)(const char**, const char**, const char**);
    auto fn = reinterpret_cast<Fn>(::dlsym(library_, "ZenthraThreadSettings"));
    if (!fn) {
      ADD_FAILURE() << "no settings accessor";
      return {};
    }
    const char *folder = nullptr, *attachment = nullptr, *url = nullptr;
    fn(&folder, &attachment, &url);
    return {folder, attachment, url};
  }

  void* library_ = nullptr;
};

}  // namespace sinktest
