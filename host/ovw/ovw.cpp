// libovw: the platform's object-database client library, on an SQLite file.
// Each thread has its own connection, opened by its first OVwDbInit and
// closed when the thread ends; its prepared statements are kept with it.
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "ovw_store.h"
#include "platform/ovw.h"

namespace {

enum Statement {
  kFieldByName,
  kObjectByHostname,
  kGetValue,
  kSetValue,
  kFieldType,
  kObjectExists,
  kDataVersion,
  kValueOnly,
  kBegin,
  kCommit,
  kStatementCount
};

constexpr const char* kSql[kStatementCount] = {
    "SELECT id, type = 'integer' FROM fields WHERE name = ?1",
    "SELECT id FROM objects WHERE hostname = ?1",
    // One row when both exist; value NULL when none is stored.
    "SELECT f.type, v.value FROM fields f JOIN objects o ON o.id = ?1"
    " LEFT JOIN field_values v ON v.object_id = o.id AND v.field_id = f.id"
    " WHERE f.id = ?2",
    // Stores nothing unless the object exists and the field is an integer
    // field; the caller tells which from the change count.
    "INSERT INTO field_values (object_id, field_id, value)"
    " SELECT o.id, f.id, ?3 FROM objects o, fields f"
    " WHERE o.id = ?1 AND f.id = ?2 AND f.type = 'integer'"
    " ON CONFLICT (object_id, field_id) DO UPDATE SET value = excluded.value",
    "SELECT type FROM fields WHERE id = ?1",
    "SELECT 1 FROM objects WHERE id = ?1",
    // Changes when another connection has committed since the last look.
    "PRAGMA data_version",
    // For an object and an integer field both known to exist.
    "SELECT value FROM field_values WHERE object_id = ?1 AND field_id = ?2",
    "BEGIN",
    "COMMIT",
};

// Ids found by name, kept while the database shows no change made by any
// other connection; this connection only ever stores values, which move no
// id. Transparent lookups: a name is not copied to be looked for.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};
using IdsByName = std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>>;
constexpr size_t kIdsKept = 4096;

struct Connection {
  sqlite3* db = nullptr;
  std::string path;
  sqlite3_stmt* statements[kStatementCount] = {};
  IdsByName ids[2];  // field ids, object ids
  // Of those ids, the integer fields and the objects, for reading a value
  // without proving again that both exist.
  std::unordered_set<uint32_t> integer_fields;
  std::unordered_set<uint32_t> objects;
  sqlite3_int64 data_version = -1;
  // A read begun by OVwDbInit is still open (see BeginRead).
  bool reading = false;

  ~Connection() { Close(); }

  void Close() {
    for (sqlite3_stmt*& statement : statements) {
      sqlite3_finalize(statement);
      statement = nullptr;
    }
    sqlite3_close(db);  // rolls back a read still open
    db = nullptr;
    reading = false;
    path.clear();
    ForgetIds();
  }

  void ForgetIds() {
    ids[0].clear();
    ids[1].clear();
    integer_fields.clear();
    objects.clear();
    data_version = -1;
  }
};

thread_local Connection t_connection;
thread_local int t_error = kOVwErrNone;

int Fail(int error) {
  t_error = error;
  return error;
}

// Resets and unbinds the statement when the operation is done with it.
struct StatementUse {
  sqlite3_stmt* statement;
  ~StatementUse() { Finish(); }
  // Done with it before the scope ends.
  void Finish() {
    if (statement != nullptr) {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
      statement = nullptr;
    }
  }
};

// The thread's prepared statement, or null (error set) when the thread has
// no connection or the statement cannot be prepared.
sqlite3_stmt* Prepared(Statement which) {
  if (t_connection.db == nullptr) {
    Fail(kOVwErrNotInitialised);
    return nullptr;
  }
  sqlite3_stmt*& statement = t_connection.statements[which];
  if (statement == nullptr) {
    int rc = sqlite3_prepare_v3(t_connection.db, kSql[which], -1, SQLITE_PREPARE_PERSISTENT,
                                &statement, nullptr);
    if (rc != SQLITE_OK) {
      Fail(ovw_store::ErrorFromSqlite(rc));
      statement = nullptr;
    }
  }
  return statement;
}

void EndRead();

// Ids are rowids; only those a 32-bit id can carry are handed out.
uint32_t IdFromRow(sqlite3_stmt* statement) {
  sqlite3_int64 id = sqlite3_column_int64(statement, 0);
  if (id <= 0 || id > UINT32_MAX) {
    Fail(kOVwErrDatabase);
    return 0;
  }
  return static_cast<uint32_t>(id);
}

// Looks a name up with a one-column id query; 0 with `missing` when absent.
// Only names found are kept: one that is missing may be added at any time.
uint32_t LookUpId(Statement which, const char* name, int missing) {
  if (name == nullptr) {
    Fail(kOVwErrBadArgument);
    return 0;
  }
  IdsByName& known = t_connection.ids[which == kFieldByName ? 0 : 1];
  if (t_connection.db != nullptr) {
    if (auto it = known.find(std::string_view(name)); it != known.end()) return it->second;
  }
  sqlite3_stmt* statement = Prepared(which);
  if (statement == nullptr) return 0;
  StatementUse use{statement};
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
  int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    uint32_t id = IdFromRow(statement);
    if (id != 0 && t_connection.data_version >= 0) {
      if (known.size() >= kIdsKept) {
        known.clear();
        (which == kFieldByName ? t_connection.integer_fields : t_connection.objects).clear();
      }
      known.emplace(name, id);
      if (which != kFieldByName) {
        t_connection.objects.insert(id);
      } else if (sqlite3_column_int(statement, 1) != 0) {
        t_connection.integer_fields.insert(id);
      }
    }
    return id;
  }
  Fail(rc == SQLITE_DONE ? missing : ovw_store::ErrorFromSqlite(rc));
  // A name missing now may be added at any moment: the next look-up must
  // not be held to this snapshot.
  use.Finish();
  EndRead();
  return 0;
}

// Why a get or set found nothing to work on: the error number.
int DiagnoseMissing(OVwObjectId object, OVwFieldId field) {
  sqlite3_stmt* type = Prepared(kFieldType);
  if (type == nullptr) return t_error;
  {
    StatementUse use{type};
    sqlite3_bind_int64(type, 1, field);
    int rc = sqlite3_step(type);
    if (rc == SQLITE_DONE) return kOVwErrNoSuchField;
    if (rc != SQLITE_ROW) return ovw_store::ErrorFromSqlite(rc);
    const unsigned char* text = sqlite3_column_text(type, 0);
    if (text == nullptr || std::string(reinterpret_cast<const char*>(text)) != "integer") {
      return kOVwErrFieldType;
    }
  }
  sqlite3_stmt* exists = Prepared(kObjectExists);
  if (exists == nullptr) return t_error;
  StatementUse use{exists};
  sqlite3_bind_int64(exists, 1, object);
  int rc = sqlite3_step(exists);
  if (rc == SQLITE_DONE) return kOVwErrNoSuchObject;
  if (rc != SQLITE_ROW) return ovw_store::ErrorFromSqlite(rc);
  return kOVwErrDatabase;
}

// Forgets the ids when another connection changed the database since the
// last look, or when that cannot be told.
void CheckForChanges() {
  sqlite3_stmt* statement = Prepared(kDataVersion);
  sqlite3_int64 version = -1;
  if (statement != nullptr) {
    StatementUse use{statement};
    if (sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int64(statement, 0);
  }
  if (version < 0 || version != t_connection.data_version) t_connection.ForgetIds();
  t_connection.data_version = version;
}

// Runs one of the statements that take no parameters and return no row.
bool RunPlain(Statement which) {
  sqlite3_stmt* statement = Prepared(which);
  if (statement == nullptr) return false;
  StatementUse use{statement};
  return sqlite3_step(statement) == SQLITE_DONE;
}

void EndRead() {
  if (!t_connection.reading) return;
  t_connection.reading = false;
  // Ending a read cannot fail for want of a lock; if it fails anyway, the
  // transaction must still not outlive the call.
  if (!RunPlain(kCommit) && sqlite3_get_autocommit(t_connection.db) == 0) {
    sqlite3_exec(t_connection.db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

// A poll starts the database, looks the field and the object up, and reads
// the value. The start opens one read that lasts until the value is read:
// the check for changes made elsewhere, the look-ups and the value then
// share one snapshot and one set of file locks, where each would otherwise
// be a transaction of its own. The read ends at the first value read or
// write, at a failed look-up, or at the next start, so that it never
// outlives a poll that goes on as polls do.
void BeginRead() {
  EndRead();
  if (RunPlain(kBegin)) t_connection.reading = true;
  CheckForChanges();
  if (t_connection.data_version < 0) EndRead();  // nothing to share
}

// The stored value read as an integer; -1 (error set) when it is not one.
int IntegerValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL: return 0;
    case SQLITE_INTEGER: {
      sqlite3_int64 value = sqlite3_column_int64(statement, column);
      if (value < INT32_MIN || value > INT32_MAX) break;
      return static_cast<int>(value);
    }
    default: break;
  }
  // Something other than a 32-bit integer was put there behind our back.
  Fail(kOVwErrFieldType);
  return -1;
}

}  // namespace

extern "C" {

int OVwDbInit(void) {
  const char* wanted = std::getenv("OVW_DB");
  if (t_connection.db != nullptr &&
      t_connection.path == (wanted != nullptr && wanted[0] != '\0' ? wanted : "ovw.db")) {
    BeginRead();
    return 0;
  }
  std::string path = ovw_store::DatabasePath();
  // OVW_DB changed since this thread's connection was made: follow it.
  t_connection.Close();
  sqlite3* db = nullptr;
  int error = ovw_store::OpenStore(path, &db);
  if (error != kOVwErrNone) return Fail(error);
  t_connection.db = db;
  t_connection.path = path;
  BeginRead();
  return 0;
}

int OVwError(void) { return t_error; }

const char* OVwErrorMsg(int error) {
  switch (error) {
    case kOVwErrNone: return "No error";
    case kOVwErrOpen: return "Object database cannot be opened";
    case kOVwErrNotInitialised: return "Object database not initialised on this thread";
    case kOVwErrNoSuchField: return "No such field";
    case kOVwErrNoSuchObject: return "No such object";
    case kOVwErrFieldType: return "Field is not an integer field";
    case kOVwErrNoValue: return "No value stored";
    case kOVwErrBusy: return "Object database is locked";
    case kOVwErrReadOnly: return "Object database is read-only";
    case kOVwErrDatabase: return "Object database error";
    case kOVwErrBadArgument: return "Bad argument";
    default: return "Unknown object database error";
  }
}

OVwFieldId OVwDbFieldNameToFieldId(const char* field_name) {
  return LookUpId(kFieldByName, field_name, kOVwErrNoSuchField);
}

OVwObjectId OVwDbHostnameToObjectId(const char* hostname) {
  return LookUpId(kObjectByHostname, hostname, kOVwErrNoSuchObject);
}

}  // extern "C"

namespace {

int ReadValue(OVwObjectId object, OVwFieldId field) {
  if (t_connection.integer_fields.count(field) != 0 && t_connection.objects.count(object) != 0) {
    sqlite3_stmt* statement = Prepared(kValueOnly);
    if (statement == nullptr) return -1;
    StatementUse use{statement};
    sqlite3_bind_int64(statement, 1, object);
    sqlite3_bind_int64(statement, 2, field);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) return 0;  // no value stored
    if (rc != SQLITE_ROW) {
      Fail(ovw_store::ErrorFromSqlite(rc));
      return -1;
    }
    return IntegerValue(statement, 0);
  }
  sqlite3_stmt* statement = Prepared(kGetValue);
  if (statement == nullptr) return -1;
  StatementUse use{statement};
  sqlite3_bind_int64(statement, 1, object);
  sqlite3_bind_int64(statement, 2, field);
  int rc = sqlite3_step(statement);
  if (rc == SQLITE_DONE) {
    // Both diagnostic statements are distinct from this one, so it stays bound.
    Fail(DiagnoseMissing(object, field));
    return -1;
  }
  if (rc != SQLITE_ROW) {
    Fail(ovw_store::ErrorFromSqlite(rc));
    return -1;
  }
  const unsigned char* type = sqlite3_column_text(statement, 0);
  if (type == nullptr || std::string(reinterpret_cast<const char*>(type)) != "integer") {
    Fail(kOVwErrFieldType);
    return -1;
  }
  return IntegerValue(statement, 1);
}

}  // namespace

extern "C" {

int OVwDbGetFieldIntegerValue(OVwObjectId object, OVwFieldId field) {
  const int value = ReadValue(object, field);
  EndRead();  // the poll's read is done
  return value;
}

int OVwDbSetFieldIntegerValue(OVwObjectId object, OVwFieldId field, int value) {
  // A write inside the poll's read would fail whenever another connection
  // wrote since it began.
  EndRead();
  sqlite3_stmt* statement = Prepared(kSetValue);
  if (statement == nullptr) return t_error;
  StatementUse use{statement};
  sqlite3_bind_int64(statement, 1, object);
  sqlite3_bind_int64(statement, 2, field);
  sqlite3_bind_int(statement, 3, value);
  int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) return Fail(ovw_store::ErrorFromSqlite(rc));
  if (sqlite3_changes(t_connection.db) == 0) return Fail(DiagnoseMissing(object, field));
  return 0;
}

}  // extern "C"
