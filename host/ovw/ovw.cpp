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

enum StatementId {
  kFieldByName,
  kObjectByHostname,
  kGetValue,
  kSetValue,
  kFieldType,
  kObjectExists,
  kDataVersion,
  kValueOnly,
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
    // Each gives one row whose one column is true when all is well.
    "SELECT type = 'integer' FROM fields WHERE id = ?1",
    "SELECT 1 FROM objects WHERE id = ?1",
    // Changes when another connection has committed since the last look.
    "PRAGMA data_version",
    // For an object and an integer field both known to exist.
    "SELECT value FROM field_values WHERE object_id = ?1 AND field_id = ?2",
};

// Ids found by name, kept while the database shows no change made by any
// other connection; this connection only ever stores values, which move no
// id. A poll then reads its value with one plain select instead of two
// look-ups and a join: without them bench/run counts 12,060 instructions
// a poll more (177,007 against 164,947, 7.3 %). Only names found are kept:
// one that is missing may be added at any time.
#if !defined(ZOV_FAST_PATHS)
#define ZOV_FAST_PATHS 1
#endif
class KnownIds {
 public:
  // 0 when the name is not known.
  uint32_t Find(StatementId which, std::string_view name) const {
    if (ZOV_FAST_PATHS == 0) return 0;
    const IdsByName& ids = which == kFieldByName ? fields_ : objects_;
    auto it = ids.find(name);
    return it != ids.end() ? it->second : 0;
  }

  void Remember(StatementId which, const char* name, uint32_t id, bool integer_field) {
    if (data_version_ < 0) return;  // changes elsewhere cannot be told
    IdsByName& ids = which == kFieldByName ? fields_ : objects_;
    std::unordered_set<uint32_t>& usable = which == kFieldByName ? integer_fields_ : object_ids_;
    if (ids.size() >= kIdsKept) {
      ids.clear();
      usable.clear();
    }
    ids.emplace(name, id);
    if (which != kFieldByName || integer_field) usable.insert(id);
  }

  // Both exist and the field is an integer field.
  bool Usable(uint32_t object, uint32_t field) const {
    if (ZOV_FAST_PATHS == 0) return false;
    return integer_fields_.count(field) != 0 && object_ids_.count(object) != 0;
  }

  // Forgets every id unless `version` (PRAGMA data_version; -1 when it
  // cannot be read) shows no change since the last look.
  void Check(sqlite3_int64 version) {
    if (version < 0 || version != data_version_) Forget();
    data_version_ = version;
  }

  void Forget() {
    fields_.clear();
    objects_.clear();
    integer_fields_.clear();
    object_ids_.clear();
    data_version_ = -1;
  }

 private:
  // Transparent look-ups: a name is not copied to be looked for.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
  };
  using IdsByName = std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>>;
  static constexpr size_t kIdsKept = 4096;

  IdsByName fields_;
  IdsByName objects_;
  std::unordered_set<uint32_t> integer_fields_;
  std::unordered_set<uint32_t> object_ids_;
  sqlite3_int64 data_version_ = -1;
};

struct Connection {
  ovw_store::Db db;
  std::string path;
  // Declared after db, so finalized before it is closed.
  ovw_store::Statement statements[kStatementCount];
  KnownIds known;

  void Close() {
    for (ovw_store::Statement& statement : statements) statement.reset();
    db.reset();
    path.clear();
    known.Forget();
  }
};

thread_local Connection t_connection;
thread_local int t_error = kOVwErrNone;

int Fail(int error) {
  t_error = error;
  return error;
}

// Resets and unbinds one of the thread's statements when the operation is
// done with it.
struct StatementUse {
  sqlite3_stmt* statement;
  ~StatementUse() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

// The thread's prepared statement, or null (error set) when the thread has
// no connection or the statement cannot be prepared.
sqlite3_stmt* Prepared(StatementId which) {
  if (t_connection.db == nullptr) {
    Fail(kOVwErrNotInitialised);
    return nullptr;
  }
  ovw_store::Statement& statement = t_connection.statements[which];
  if (!statement) {
    int rc;
    statement = ovw_store::Prepare(t_connection.db.get(), kSql[which], &rc, SQLITE_PREPARE_PERSISTENT);
    if (!statement) Fail(ovw_store::ErrorFromSqlite(rc));
  }
  return statement.get();
}

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
uint32_t LookUpId(StatementId which, const char* name, int missing) {
  if (name == nullptr) {
    Fail(kOVwErrBadArgument);
    return 0;
  }
  if (t_connection.db != nullptr) {
    if (uint32_t id = t_connection.known.Find(which, name); id != 0) return id;
  }
  sqlite3_stmt* statement = Prepared(which);
  if (statement == nullptr) return 0;
  StatementUse use{statement};
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
  int rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW) {
    Fail(rc == SQLITE_DONE ? missing : ovw_store::ErrorFromSqlite(rc));
    return 0;
  }
  uint32_t id = IdFromRow(statement);
  const bool integer_field = which == kFieldByName && sqlite3_column_int(statement, 1) != 0;
  if (id != 0) t_connection.known.Remember(which, name, id, integer_field);
  return id;
}

// Steps a statement that takes an id as its first parameter: SQLITE_ROW,
// SQLITE_DONE, or an SQLite error.
int StepWithId(sqlite3_stmt* statement, sqlite3_int64 id) {
  sqlite3_bind_int64(statement, 1, id);
  return sqlite3_step(statement);
}

// Checks one id with kFieldType or kObjectExists: kOVwErrNone, `missing`
// when there is no row, kOVwErrFieldType when the field is not an integer
// field, or another error number.
int CheckId(StatementId which, sqlite3_int64 id, int missing) {
  sqlite3_stmt* statement = Prepared(which);
  if (statement == nullptr) return t_error;
  StatementUse use{statement};
  int rc = StepWithId(statement, id);
  if (rc == SQLITE_DONE) return missing;
  if (rc != SQLITE_ROW) return ovw_store::ErrorFromSqlite(rc);
  return sqlite3_column_int(statement, 0) != 0 ? kOVwErrNone : kOVwErrFieldType;
}

// Why a get or set found nothing to work on: the error number.
int DiagnoseMissing(OVwObjectId object, OVwFieldId field) {
  int error = CheckId(kFieldType, field, kOVwErrNoSuchField);
  if (error == kOVwErrNone) error = CheckId(kObjectExists, object, kOVwErrNoSuchObject);
  return error != kOVwErrNone ? error : kOVwErrDatabase;
}

void CheckForChanges() {
  sqlite3_stmt* statement = Prepared(kDataVersion);
  sqlite3_int64 version = -1;
  if (statement != nullptr) {
    StatementUse use{statement};
    if (sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int64(statement, 0);
  }
  t_connection.known.Check(version);
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

int ReadValue(OVwObjectId object, OVwFieldId field) {
  const bool usable = t_connection.known.Usable(object, field);
  sqlite3_stmt* statement = Prepared(usable ? kValueOnly : kGetValue);
  if (statement == nullptr) return -1;
  StatementUse use{statement};
  sqlite3_bind_int64(statement, 2, field);
  int rc = StepWithId(statement, object);
  if (rc == SQLITE_DONE) {
    if (usable) return 0;  // no value stored
    // Both diagnostic statements are distinct from this one, so it stays bound.
    Fail(DiagnoseMissing(object, field));
    return -1;
  }
  if (rc != SQLITE_ROW) {
    Fail(ovw_store::ErrorFromSqlite(rc));
    return -1;
  }
  if (usable) return IntegerValue(statement, 0);
  const unsigned char* type = sqlite3_column_text(statement, 0);
  if (type == nullptr || std::string_view(reinterpret_cast<const char*>(type)) != "integer") {
    Fail(kOVwErrFieldType);
    return -1;
  }
  return IntegerValue(statement, 1);
}

}  // namespace

extern "C" {

int OVwDbInit(void) {
  const char* wanted = std::getenv("OVW_DB");
  if (t_connection.db == nullptr ||
      t_connection.path != (wanted != nullptr && wanted[0] != '\0' ? wanted : "ovw.db")) {
    // A first start on this thread, or OVW_DB changed since: follow it.
    t_connection.Close();
    std::string path = ovw_store::DatabasePath();
    int error = ovw_store::OpenStore(path, &t_connection.db);
    if (error != kOVwErrNone) return Fail(error);
    t_connection.path = path;
  }
  // A read of its own, about 4 us of CPU a poll here (two fcntl calls, and an
  // fstat while the write-ahead log is empty). The look-ups that follow trust
  // the ids it vouches for, so it cannot wait for the value read, and that
  // read must see what was written after them: two reads a poll, neither
  // held open.
  CheckForChanges();
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

int OVwDbGetFieldIntegerValue(OVwObjectId object, OVwFieldId field) { return ReadValue(object, field); }

int OVwDbSetFieldIntegerValue(OVwObjectId object, OVwFieldId field, int value) {
  sqlite3_stmt* statement = Prepared(kSetValue);
  if (statement == nullptr) return t_error;
  StatementUse use{statement};
  sqlite3_bind_int64(statement, 2, field);
  sqlite3_bind_int(statement, 3, value);
  int rc = StepWithId(statement, object);
  if (rc != SQLITE_DONE) return Fail(ovw_store::ErrorFromSqlite(rc));
  if (sqlite3_changes(t_connection.db.get()) == 0) return Fail(DiagnoseMissing(object, field));
  return 0;
}

}  // extern "C"
