// The floor for a poll built on net-snmp: exactly the SNMP exchanges of one
// poll (the identity GETNEXT in a session of its own, then the lockstep walk
// of the seven alert columns in another), without options, log or database.
#ifndef ZOV_BENCH_BASELINE_POLL_H_
#define ZOV_BENCH_BASELINE_POLL_H_

#include <string>

namespace bench {

// Once per process, before any poll: net-snmp set up as libnvsnmp sets it up
// (no MIB files, no persistent state).
void InitialiseBaseline();

// One poll of the agent at peer ("udp:127.0.0.1:PORT") with the community.
// The number of alert rows walked, or -1 when an exchange failed or the
// printer is not of the vendor's family.
int BaselinePoll(const std::string& peer, const std::string& community);

}  // namespace bench

#endif  // ZOV_BENCH_BASELINE_POLL_H_
