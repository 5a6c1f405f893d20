// Cluster: whether this machine is a node of a server cluster.
#pragma once

namespace Cluster {

// True when the key HKEY_LOCAL_MACHINE\Cluster exists. Never fails: a missing
// key or any error counts as no cluster node.
bool IsClusterNode();

}  // namespace Cluster
