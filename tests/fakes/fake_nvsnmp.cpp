// In-memory stand-in for the platform SNMP library, for unit tests.
#include "snmp/nvsnmp.h"

extern "C" {
int OVsnmpDumpPacket = 0;
thread_local int OVsnmpErrno = 0;

const char* OVsnmpErrString(int error) {
  switch (error) {
    case 0: return "noError";
    case 2: return "noSuchName";
    default: return "fake error";
  }
}
}
