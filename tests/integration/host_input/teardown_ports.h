// Fixed ports of the teardown copy of the module's endpoints. A scenario that binds the first
// one holds them all; another run waits for it (see TeardownServices). Below the system's
// range of ephemeral ports, so no outgoing connection of another test can hold one.
#pragma once

namespace lumo::host {

inline constexpr int kCollectorPort = 26015;
inline constexpr int kCdnConfigPort = 26016;
inline constexpr int kHttpDnsPort = 26017;

}  // namespace lumo::host
