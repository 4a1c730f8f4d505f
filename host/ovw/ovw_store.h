// The SQLite file behind libovw and the ovwdb tool: opening it, its schema,
// and what its failures mean as libovw error numbers.
#ifndef ZOV_HOST_OVW_OVW_STORE_H_
#define ZOV_HOST_OVW_OVW_STORE_H_

#include <string>

struct sqlite3;

namespace ovw_store {

// How long a call waits for another connection's lock before giving up
// (kOVwErrBusy). Long enough for many polls writing at once, short enough
// that a stuck writer does not hold a poll for long.
inline constexpr int kBusyTimeoutMs = 5000;

// OVW_DB, or "ovw.db" in the current directory. "file:" URIs are accepted,
// so "file:PATH?mode=ro" opens a database read-only.
std::string DatabasePath();

// Opens (creating when missing) the database at path in WAL mode with the
// busy timeout and the schema in place. 0 and *db set, or a libovw error
// number and *db null. The connection is for one thread only.
int OpenStore(const std::string& path, sqlite3** db);

// A libovw error number for an SQLite result code.
int ErrorFromSqlite(int rc);

}  // namespace ovw_store

#endif  // ZOV_HOST_OVW_OVW_STORE_H_
