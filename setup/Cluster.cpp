#include "setup/Cluster.h"

#include "platform/win/registry.h"
#include "setup/basRegistry.h"

namespace Cluster {

bool IsClusterNode() { return basRegistry::RegKeyExists(win::HKEY_LOCAL_MACHINE, "Cluster", ""); }

}  // namespace Cluster
