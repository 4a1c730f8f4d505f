#include "printer/printer_query.h"

#include "log/shared_log.h"
#include "snmp/query_session.h"

int32_t RunPrinterQuery(QuerySession& session, const char* address, bool walk) {
  const int32_t r = session.Run(address, walk, false);
  if (r == kQueryOk) return r;
  if (const char* text = QueryErrorText(r)) {
    LogErrorRecord(address, "Error querying printer", text);
  } else {
    LogSnmpError(address, r, "Error querying printer");
  }
  return r;
}
