// Activation loads only code that nobody but root and the running user can
// have chosen: the class registry, the library and every folder above them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/com/activation.h"
#include "platform/com/class_registry.h"
#include "platform/com/server.h"
#include "platform/com/trusted_file.h"
#include "platform/core/error.h"
#include "tests/com/temp_root.h"
#include "tests/com/test_widget.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// The description of the activation failure, or "" when it succeeded.
std::string ActivationError(const char* progId) {
  try {
    com::CreateObject(progId);
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kCannotCreateObject) << e.Description();
    return e.Description();
  }
  return "";
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class TrustTest : public comtest::TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    libs_ = root_ / "libs";
    fs::create_directory(libs_);
    fs::permissions(libs_, fs::perms(0755));
    library_ = libs_ / "widget.so";
    fs::copy_file(COM_TEST_COMPONENT, library_);
    fs::permissions(library_, fs::perms(0755));
    com::RegisterClass(comtest::kWidgetProgId, com::GUID::Parse(comtest::kWidgetClsid),
                       library_.string(), "Apartment");
    table_ = root_ / "com" / "classes.tsv";
  }
  void TearDown() override {
    com::FreeUnusedLibraries();
    TempRootTest::TearDown();
  }

  fs::path libs_, library_, table_;
};

TEST_F(TrustTest, LibrariesAreNamedByAbsolutePathsOnly) {
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
  com::FreeUnusedLibraries();
  for (const char* relative : {"widget.so", "./widget.so", "libs/../widget.so"}) {
    try {
      com::RegisterClass("Rel.Cls", com::GUID::Parse("{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E20}"),
                         relative, "Apartment");
      ADD_FAILURE() << "registered " << relative;
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
      EXPECT_TRUE(Contains(e.Description(), "not absolute")) << e.Description();
    }
  }

  // A table that names a relative path (written by something else) is not
  // resolved against the current directory, even where the file lies there.
  std::ofstream(table_) << comtest::kWidgetProgId << '\t' << comtest::kWidgetClsid
                        << "\t./widget.so\tApartment\n";
  const fs::path cwd = fs::current_path();
  fs::current_path(libs_);
  const std::string error = ActivationError(comtest::kWidgetProgId);
  fs::current_path(cwd);
  EXPECT_TRUE(Contains(error, "./widget.so is not an absolute path")) << error;
}

TEST_F(TrustTest, RegistryWritableByOthersIsRefusedWhereverOnItsPath) {
  fs::permissions(table_, fs::perms(0666));
  std::string error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, table_.string())) << error;
  EXPECT_TRUE(Contains(error, "writable by group or others (mode 0666)")) << error;
  // A writer does not build on it either.
  EXPECT_THROW(
      com::RegisterClass("Other.Cls", com::GUID::Parse("{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E21}"),
                         library_.string(), "Apartment"),
      core::RuntimeError);
  fs::permissions(table_, fs::perms(0644));
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
  com::FreeUnusedLibraries();

  // The folder holding it, or any above it.
  fs::permissions(table_.parent_path(), fs::perms(0777));
  error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, "the folder " + table_.parent_path().string() +
                                  " is writable by group or others (mode 0777)"))
      << error;
  fs::permissions(table_.parent_path(), fs::perms(0700));
  fs::permissions(root_, fs::perms(0770));
  error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, "the folder " + root_.string())) << error;

  // A sticky folder (as /tmp is) keeps others from replacing what is in it.
  fs::permissions(root_, fs::perms(01777));
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
}

TEST_F(TrustTest, LibraryOrItsFolderWritableByOthersIsNotLoaded) {
  fs::permissions(library_, fs::perms(0757));
  std::string error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, library_.string() + " is not trusted")) << error;
  EXPECT_TRUE(Contains(error, "(mode 0757)")) << error;
  EXPECT_EQ(::dlopen(library_.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "it was loaded";

  // Installers check the same before they load it.
  try {
    com::DescribeLibrary(library_);
    ADD_FAILURE() << "described an untrusted library";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), com::kPermissionDenied);
  }

  fs::permissions(library_, fs::perms(0755));
  fs::permissions(libs_, fs::perms(0775));
  error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, "the folder " + libs_.string())) << error;
  fs::permissions(libs_, fs::perms(0755));
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
}

TEST_F(TrustTest, LinksAreFollowedOnlyFromFoldersThatPass) {
  // A link in a trusted folder leads to a trusted file: fine.
  const fs::path link = root_ / "current.so";
  fs::create_symlink(library_, link);
  com::RegisterClass(comtest::kWidgetProgId, com::GUID::Parse(comtest::kWidgetClsid), link.string(),
                     "Apartment");
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
  com::FreeUnusedLibraries();
  EXPECT_EQ(com::OpenTrusted(link, "x").path(), library_);

  // The same link in a folder anyone can change is not believed, though it
  // points at the same trusted file.
  const fs::path open = root_ / "open";
  fs::create_directory(open);
  fs::permissions(open, fs::perms(0777));
  fs::create_symlink(library_, open / "current.so");
  com::RegisterClass(comtest::kWidgetProgId, com::GUID::Parse(comtest::kWidgetClsid),
                     (open / "current.so").string(), "Apartment");
  const std::string error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, "the folder " + open.string())) << error;

  // A link another user made in a sticky folder (as anyone may in /tmp).
  if (::geteuid() == 0) {
    const fs::path sticky = root_ / "sticky";
    fs::create_directory(sticky);
    fs::permissions(sticky, fs::perms(01777));
    fs::create_symlink(library_, sticky / "lib.so");
    ASSERT_EQ(::lchown((sticky / "lib.so").c_str(), kNobody, kNobody), 0);
    try {
      com::OpenTrusted(sticky / "lib.so", "the component library");
      ADD_FAILURE() << "followed another user's link";
    } catch (const core::RuntimeError& e) {
      EXPECT_NE(e.Description().find("the link " + (sticky / "lib.so").string() + " is owned by"),
                std::string::npos)
          << e.Description();
    }
  }

  // A link whose target lies below an untrusted folder.
  fs::copy_file(library_, open / "real.so");
  fs::remove(link);
  fs::create_symlink(open / "real.so", link);
  EXPECT_THROW(com::OpenTrusted(link, "x"), core::RuntimeError);
}

TEST_F(TrustTest, TheCheckedFileIsTheLoadedFile) {
  com::TrustedFile file = com::OpenTrusted(library_, "the component library");
  // Replaced after the check: the loader still gets the file that was checked.
  const fs::path other = libs_ / "other.so";
  fs::copy_file(COM_TEST_NO_ENTRY, other);
  fs::rename(other, library_);
  void* handle = ::dlopen(file.DescriptorPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto describe = reinterpret_cast<DllGetClassInfoFn>(::dlsym(handle, "DllGetClassInfo"));
  ASSERT_NE(describe, nullptr);
  const ComClassInfo* classes = nullptr;
  ASSERT_EQ(describe(&classes), 2);
  EXPECT_STREQ(classes[0].progId, comtest::kWidgetProgId);
  ::dlclose(handle);
}

TEST_F(TrustTest, FilesAndFoldersOfOtherUsersAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user (chown)";
  ASSERT_EQ(::chown(library_.c_str(), kNobody, kNobody), 0);
  std::string error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, library_.string())) << error;
  EXPECT_TRUE(Contains(error, "is owned by")) << error;
  EXPECT_TRUE(Contains(error, "not by root")) << error;
  ASSERT_EQ(::chown(library_.c_str(), 0, 0), 0);

  ASSERT_EQ(::chown(table_.c_str(), kNobody, kNobody), 0);
  error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, table_.string())) << error;
  EXPECT_TRUE(Contains(error, "is owned by")) << error;
  ASSERT_EQ(::chown(table_.c_str(), 0, 0), 0);

  ASSERT_EQ(::chown(libs_.c_str(), kNobody, kNobody), 0);
  error = ActivationError(comtest::kWidgetProgId);
  EXPECT_TRUE(Contains(error, "the folder " + libs_.string() + " is owned by")) << error;
  ASSERT_EQ(::chown(libs_.c_str(), 0, 0), 0);
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
}

TEST_F(TrustTest, RegistryIsWrittenPrivatelyWhateverTheUmask) {
  fs::remove_all(root_ / "com");
  const mode_t old = ::umask(0);
  com::RegisterClass(comtest::kWidgetProgId, com::GUID::Parse(comtest::kWidgetClsid),
                     library_.string(), "Apartment");
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "com").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  for (const char* name : {"classes.tsv", "classes.lock"}) {
    ASSERT_EQ(::stat((root_ / "com" / name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
  }
  EXPECT_EQ(ActivationError(comtest::kWidgetProgId), "");
}

}  // namespace
