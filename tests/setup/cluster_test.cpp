// The cluster test reads the registry below the server root.
#include <stdlib.h>

#include "platform/win/registry.h"
#include "setup/Cluster.h"
#include "setup/basRegistry.h"
#include "tests/setup/setup_fixture.h"

namespace {

class ClusterTest : public setuptest::SetupTest {};

TEST_F(ClusterTest, ANodeIsAMachineWithTheClusterKey) {
  EXPECT_FALSE(Cluster::IsClusterNode());
  EXPECT_FALSE(basRegistry::RegKeyExists(win::HKEY_LOCAL_MACHINE, "Cluster", ""));

  win::HKEY key = 0;
  ASSERT_EQ(win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key), win::ERROR_SUCCESS);
  ASSERT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);

  EXPECT_TRUE(Cluster::IsClusterNode());
  EXPECT_TRUE(basRegistry::RegKeyExists(win::HKEY_LOCAL_MACHINE, "CLUSTER", "ignored"));
  EXPECT_FALSE(basRegistry::RegKeyExists(win::HKEY_LOCAL_MACHINE, "Cluster\\Nodes", ""));
  EXPECT_FALSE(basRegistry::RegKeyExists(win::HKEY_CURRENT_USER, "Cluster", ""));
  EXPECT_FALSE(basRegistry::RegKeyExists(0x1234, "Cluster", ""));
}

TEST_F(ClusterTest, NoServerRootMeansNoClusterNode) {
  win::HKEY key = 0;
  ASSERT_EQ(win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key), win::ERROR_SUCCESS);
  win::RegCloseKey(key);
  ::unsetenv("ZENTHRA_ROOT");
  EXPECT_FALSE(Cluster::IsClusterNode());
  core::SetServerRoot(root_);
  EXPECT_TRUE(Cluster::IsClusterNode());
}

}  // namespace
