// Fixed ports of the teardown copy of the module's endpoints. A scenario that binds the first
// one holds them all; another run waits for it (see TeardownServices).
#pragma once

namespace lumo::host {

inline constexpr int kCollectorPort = 36015;
inline constexpr int kCdnConfigPort = 36016;
inline constexpr int kHttpDnsPort = 36017;

}  // namespace lumo::host
