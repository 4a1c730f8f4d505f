#include "ovw_store.h"

#include <sqlite3.h>

#include <cstdlib>

#include "platform/ovw.h"

namespace ovw_store {
namespace {

// Field types are kept as text so that the file reads well in sqlite3.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS fields ("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE,"
    "  type TEXT NOT NULL CHECK (type IN ('integer', 'string')));"
    "CREATE TABLE IF NOT EXISTS objects ("
    "  id INTEGER PRIMARY KEY,"
    "  hostname TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS field_values ("
    "  object_id INTEGER NOT NULL REFERENCES objects (id),"
    "  field_id INTEGER NOT NULL REFERENCES fields (id),"
    "  value,"
    "  PRIMARY KEY (object_id, field_id)) WITHOUT ROWID;";

// 1 when all three tables exist, 0 when not, -1 (rc in *rc) on failure.
int HasSchema(sqlite3* db, int* rc) {
  sqlite3_stmt* stmt = nullptr;
  *rc = sqlite3_prepare_v2(db,
                           "SELECT count(*) FROM sqlite_master WHERE type = 'table'"
                           " AND name IN ('fields', 'objects', 'field_values')",
                           -1, &stmt, nullptr);
  if (*rc != SQLITE_OK) return -1;
  int result = -1;
  *rc = sqlite3_step(stmt);
  if (*rc == SQLITE_ROW) {
    result = sqlite3_column_int(stmt, 0) == 3 ? 1 : 0;
    *rc = SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  return result;
}

bool IsWal(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr) != SQLITE_OK) return false;
  bool wal = false;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* mode = sqlite3_column_text(stmt, 0);
    wal = mode != nullptr && sqlite3_stricmp(reinterpret_cast<const char*>(mode), "wal") == 0;
  }
  sqlite3_finalize(stmt);
  return wal;
}

// WAL lets readers and the one writer proceed together. The mode is kept in
// the file, so only its first opener has to set it; a failure here (another
// connection busy, a read-only file) leaves a database that still works.
void EnsureWal(sqlite3* db) {
  if (!IsWal(db)) sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
}

}  // namespace

std::string DatabasePath() {
  const char* path = std::getenv("OVW_DB");
  return path != nullptr && path[0] != '\0' ? path : "ovw.db";
}

int ErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK: return kOVwErrNone;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return kOVwErrBusy;
    case SQLITE_READONLY: return kOVwErrReadOnly;
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_PERM:
    case SQLITE_AUTH: return kOVwErrOpen;
    default: return kOVwErrDatabase;
  }
}

int OpenStore(const std::string& path, sqlite3** out) {
  *out = nullptr;
  sqlite3* db = nullptr;
  // One connection per thread: SQLite's own connection mutex is not needed.
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                               SQLITE_OPEN_URI,
                           nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return ErrorFromSqlite(rc) == kOVwErrDatabase ? kOVwErrOpen : ErrorFromSqlite(rc);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  EnsureWal(db);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);

  int has = HasSchema(db, &rc);
  if (has == 0) {
    // IMMEDIATE: two processes creating the same new file take turns
    // instead of one failing halfway.
    rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
      rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) {
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      }
      if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    EnsureWal(db);
  }
  if (rc != SQLITE_OK) {
    int error = ErrorFromSqlite(rc);
    sqlite3_close(db);
    return error == kOVwErrDatabase && has < 0 ? kOVwErrOpen : error;
  }
  *out = db;
  return kOVwErrNone;
}

}  // namespace ovw_store
