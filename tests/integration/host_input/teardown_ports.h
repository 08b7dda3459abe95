// Fixed ports of the teardown copy of the module's endpoints, apart from the end-to-end build's
// (26015-26017). A scenario that binds the first one holds them all; another run waits for it
// (see TeardownServices). Below the system's range of ephemeral ports, so no outgoing
// connection of another test can hold one.
#pragma once

namespace lumo::host {

inline constexpr int kCollectorPort = 26115;
inline constexpr int kCdnConfigPort = 26116;
inline constexpr int kHttpDnsPort = 26117;

}  // namespace lumo::host
