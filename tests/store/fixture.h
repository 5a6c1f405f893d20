// A freshly provisioned server root per test, selected through ZENTHRA_ROOT.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/ado/ado.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"

namespace store::testing {

inline constexpr const char* kMbxUrl = "file://./backofficestorage/example.com/MBX";

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zenthra-store-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = std::filesystem::path(tmpl) / "root";
    Provision(root_, Machine{"mail01", "example.com"});
    core::SetServerRoot(root_);
    RegisterProvider();
    store_ = Store::Open(root_);
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(root_.parent_path());
  }

  std::string Mailbox(const std::string& alias, const std::string& inbox = "Inbox") {
    return store_->AddMailbox(alias, inbox);
  }

  static adodb::ConnectionPtr Connect(const std::string& url) {
    auto cnn = std::make_shared<adodb::Connection>();
    cnn->Provider(kProviderName);
    cnn->Open(url, "", "", -1);
    return cnn;
  }

  // Runs f and returns the number of the RuntimeError it throws (0 if none).
  template <typename F>
  static std::int32_t ErrorOf(F&& f) {
    try {
      f();
    } catch (const core::RuntimeError& e) {
      return e.Number();
    }
    return 0;
  }

  std::filesystem::path root_;
  std::unique_ptr<Store> store_;
};

}  // namespace store::testing
