#include "ovw_store.h"

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
  Statement stmt = Prepare(db,
                           "SELECT count(*) FROM sqlite_master WHERE type = 'table'"
                           " AND name IN ('fields', 'objects', 'field_values')",
                           rc);
  if (!stmt) return -1;
  *rc = sqlite3_step(stmt.get());
  if (*rc != SQLITE_ROW) return -1;
  *rc = SQLITE_OK;
  return sqlite3_column_int(stmt.get(), 0) == 3 ? 1 : 0;
}

bool IsWal(sqlite3* db) {
  Statement stmt = Prepare(db, "PRAGMA journal_mode");
  if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return false;
  const unsigned char* mode = sqlite3_column_text(stmt.get(), 0);
  return mode != nullptr && sqlite3_stricmp(reinterpret_cast<const char*>(mode), "wal") == 0;
}

// WAL lets readers and the one writer proceed together. The mode is kept in
// the file, so only its first opener has to set it; a failure here (another
// connection busy, a read-only file) leaves a database that still works.
void EnsureWal(sqlite3* db) {
  if (!IsWal(db)) sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
}

// The schema, made by one connection however many open a new file at once.
int EnsureSchema(sqlite3* db, int* has) {
  int rc;
  *has = HasSchema(db, &rc);
  if (*has != 0) return rc;
  // IMMEDIATE: two processes creating the same new file take turns
  // instead of one failing halfway.
  rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  EnsureWal(db);
  return rc;
}

}  // namespace

Statement Prepare(sqlite3* db, const char* sql, int* rc, unsigned flags) {
  sqlite3_stmt* raw = nullptr;
  int result = sqlite3_prepare_v3(db, sql, -1, flags, &raw, nullptr);
  if (rc != nullptr) *rc = result;
  return Statement(result == SQLITE_OK ? raw : nullptr);
}

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

int OpenStore(const std::string& path, Db* out) {
  out->reset();
  sqlite3* raw = nullptr;
  // One connection per thread: SQLite's own connection mutex is not needed.
  int rc = sqlite3_open_v2(path.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                               SQLITE_OPEN_URI,
                           nullptr);
  Db db(raw);  // a failed open still has a handle to close
  if (rc != SQLITE_OK) return ErrorFromSqlite(rc) == kOVwErrDatabase ? kOVwErrOpen : ErrorFromSqlite(rc);
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  EnsureWal(db.get());
  sqlite3_exec(db.get(), "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  int has = 0;
  rc = EnsureSchema(db.get(), &has);
  if (rc != SQLITE_OK) {
    int error = ErrorFromSqlite(rc);
    return error == kOVwErrDatabase && has < 0 ? kOVwErrOpen : error;
  }
  *out = std::move(db);
  return kOVwErrNone;
}

}  // namespace ovw_store
