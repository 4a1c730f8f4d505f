// The SQLite file behind libovw and the ovwdb tool: opening it, its schema,
// and what its failures mean as libovw error numbers.
#ifndef ZOV_HOST_OVW_OVW_STORE_H_
#define ZOV_HOST_OVW_OVW_STORE_H_

#include <sqlite3.h>

#include <memory>
#include <string>

namespace ovw_store {

// Owners of a connection and of a prepared statement: every handle libovw
// and ovwdb make is held by one of these.
struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// `sql` prepared on `db`; null (and SQLite's result in *rc when asked) on failure.
Statement Prepare(sqlite3* db, const char* sql, int* rc = nullptr, unsigned flags = 0);

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
int OpenStore(const std::string& path, Db* db);

// A libovw error number for an SQLite result code.
int ErrorFromSqlite(int rc);

}  // namespace ovw_store

#endif  // ZOV_HOST_OVW_OVW_STORE_H_
