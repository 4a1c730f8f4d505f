// Where and how a session talks: the caller's arguments, the NVSNMP_CONF line
// for its peer name, and the environment's defaults, in that order.
#ifndef ZOV_HOST_NVSNMP_CONFIG_H_
#define ZOV_HOST_NVSNMP_CONFIG_H_

#include <string>

namespace nvsnmp {

// A peer as written: "host", "host:port", "[v6]:port", "[v6]", or a bare
// IPv6 address. port 0: the text names none.
struct PeerText {
  std::string host;
  int port = 0;
};

// 0, or kOVsnmpErrBadPeer.
int ParsePeerText(const std::string& text, PeerText* out);

struct SessionSettings {
  PeerText peer;
  std::string community;
  int agent_port = 161;  // requests, when neither the caller nor the peer names a port
  int trap_port = 162;   // Trap-PDUs, likewise
  int timeout_ms = 1000;
  int retries = 1;
  bool v2c = false;  // requests only; traps are always SNMPv1
};

// Settings for a session opened with `name` (the peer text exactly as the
// caller passes it). A matching NVSNMP_CONF line wins over the "default" line,
// which wins over the environment. A line's `port` is where requests go;
// Trap-PDUs go to NVSNMP_TRAP_PORT unless the peer names a port.
// Returns 0 or a negative library error number (kOVsnmpErrConfig for an
// unreadable file, a malformed line or a malformed environment value).
int LoadSettings(const char* name, SessionSettings* out);

// Parsing of one NVSNMP_CONF text, exposed for the cache; 0 or
// kOVsnmpErrConfig. On success `out` holds the line for `name` (or the
// default line) applied over what it held.
int ApplyConfText(const std::string& text, const std::string& name, SessionSettings* out);

}  // namespace nvsnmp

#endif  // ZOV_HOST_NVSNMP_CONFIG_H_
