// What both printer queries do once their session is set up: run it against
// the printer and log why it failed.
#ifndef ZOV_PRINTER_PRINTER_QUERY_H_
#define ZOV_PRINTER_PRINTER_QUERY_H_

#include <cstdint>

class QuerySession;

// The session's result (0 or the failure, logged as "Error querying printer").
int32_t RunPrinterQuery(QuerySession& session, const char* address, bool walk);

#endif  // ZOV_PRINTER_PRINTER_QUERY_H_
