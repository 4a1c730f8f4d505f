// ovwdb: defines fields, adds objects, reads and sets values in the object
// database that libovw serves. Exit 0 on success, 1 when the database or
// what is asked for is missing or cannot be changed, 2 on bad arguments.
#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ovw_store.h"
#include "platform/ovw.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: ovwdb [--db FILE] COMMAND\n"
    "       ovwdb --version\n"
    "  create-field NAME [integer|string]\n"
    "  add-object HOSTNAME...   (several in one transaction)\n"
    "  get HOSTNAME FIELD\n"
    "  set HOSTNAME FIELD VALUE\n"
    "  dump\n"
    "The database is FILE, else $OVW_DB, else ovw.db; it is created when missing.\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "ovwdb: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

using ovw_store::Db;
using ovw_store::Statement;

int Failed(sqlite3* db, const char* what) {
  std::fprintf(stderr, "ovwdb: %s: %s\n", what, sqlite3_errmsg(db));
  return kExitFailed;
}

// Prepares sql with text parameters bound in order; null on failure
// (reported).
Statement Prepare(sqlite3* db, const char* sql, const std::vector<std::string>& args) {
  Statement statement = ovw_store::Prepare(db, sql);
  if (!statement) {
    Failed(db, "query");
    return nullptr;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    sqlite3_bind_text(statement.get(), static_cast<int>(i + 1), args[i].c_str(), -1, SQLITE_TRANSIENT);
  }
  return statement;
}

// The field's type ("integer" / "string"), or none when there is no such
// field; error set when the query failed.
std::optional<std::string> FieldType(sqlite3* db, const std::string& name, bool* error) {
  *error = false;
  Statement statement = Prepare(db, "SELECT type FROM fields WHERE name = ?1", {name});
  if (!statement) {
    *error = true;
    return std::nullopt;
  }
  int rc = sqlite3_step(statement.get());
  if (rc == SQLITE_ROW) {
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0)));
  }
  if (rc != SQLITE_DONE) {
    Failed(db, "reading fields");
    *error = true;
  }
  return std::nullopt;
}

// Signed 32-bit, or unsigned 32-bit with the high bit set (stored as the
// same 32 bits, that is as a negative number).
std::optional<int32_t> ParseInteger(const char* text) {
  // strtoll would also take blanks and a plus sign; a value is digits only.
  if (!std::isdigit(static_cast<unsigned char>(text[0])) && text[0] != '-') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > UINT32_MAX) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int CreateField(sqlite3* db, const std::string& name, const std::string& type) {
  Statement insert = Prepare(db,
                             "INSERT INTO fields (name, type) VALUES (?1, ?2)"
                             " ON CONFLICT (name) DO NOTHING",
                             {name, type});
  if (!insert) return kExitFailed;
  if (sqlite3_step(insert.get()) != SQLITE_DONE) return Failed(db, "creating field");
  bool error = false;
  std::optional<std::string> existing = FieldType(db, name, &error);
  if (error) return kExitFailed;
  if (existing != type) {
    std::fprintf(stderr, "ovwdb: field %s already exists as a %s field\n", name.c_str(),
                 existing ? existing->c_str() : "missing");
    return kExitFailed;
  }
  return kExitOk;
}

int AddObject(sqlite3* db, const std::string& hostname) {
  Statement insert = Prepare(db,
                             "INSERT INTO objects (hostname) VALUES (?1)"
                             " ON CONFLICT (hostname) DO NOTHING",
                             {hostname});
  if (!insert) return kExitFailed;
  if (sqlite3_step(insert.get()) != SQLITE_DONE) return Failed(db, "adding object");
  return kExitOk;
}

// All of them or none: one transaction, so a fleet of thousands is one
// write to the disk rather than one each.
int AddObjects(sqlite3* db, const std::vector<std::string>& hostnames) {
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Failed(db, "adding objects");
  }
  for (const std::string& hostname : hostnames) {
    if (AddObject(db, hostname) != kExitOk) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return kExitFailed;
    }
  }
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return Failed(db, "adding objects");
  return kExitOk;
}

bool ObjectExists(sqlite3* db, const std::string& hostname, bool* error) {
  *error = false;
  Statement statement = Prepare(db, "SELECT 1 FROM objects WHERE hostname = ?1", {hostname});
  if (!statement) {
    *error = true;
    return false;
  }
  int rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    Failed(db, "reading objects");
    *error = true;
  }
  return rc == SQLITE_ROW;
}

// Checks that both exist; prints why not.
int CheckObjectAndField(sqlite3* db, const std::string& hostname, const std::string& field,
                        std::string* type) {
  bool error = false;
  std::optional<std::string> found = FieldType(db, field, &error);
  if (error) return kExitFailed;
  if (!found) {
    std::fprintf(stderr, "ovwdb: no field %s\n", field.c_str());
    return kExitFailed;
  }
  bool exists = ObjectExists(db, hostname, &error);
  if (error) return kExitFailed;
  if (!exists) {
    std::fprintf(stderr, "ovwdb: no object %s\n", hostname.c_str());
    return kExitFailed;
  }
  *type = *found;
  return kExitOk;
}

constexpr const char* kGetValue =
    "SELECT v.value FROM field_values v"
    " JOIN objects o ON o.id = v.object_id"
    " JOIN fields f ON f.id = v.field_id"
    " WHERE o.hostname = ?1 AND f.name = ?2";

// A value as text, or as an integer bound over it for an integer field.
constexpr const char* kSetValue =
    "INSERT INTO field_values (object_id, field_id, value)"
    " SELECT o.id, f.id, ?3 FROM objects o, fields f"
    " WHERE o.hostname = ?1 AND f.name = ?2"
    " ON CONFLICT (object_id, field_id)"
    " DO UPDATE SET value = excluded.value";

int Get(sqlite3* db, const std::string& hostname, const std::string& field) {
  std::string type;
  if (int r = CheckObjectAndField(db, hostname, field, &type); r != kExitOk) return r;
  Statement statement = Prepare(db, kGetValue, {hostname, field});
  if (!statement) return kExitFailed;
  int rc = sqlite3_step(statement.get());
  if (rc == SQLITE_DONE || (rc == SQLITE_ROW && sqlite3_column_type(statement.get(), 0) == SQLITE_NULL)) {
    std::fprintf(stderr, "ovwdb: no value of %s on %s\n", field.c_str(), hostname.c_str());
    return kExitFailed;
  }
  if (rc != SQLITE_ROW) return Failed(db, "reading value");
  const unsigned char* text = sqlite3_column_text(statement.get(), 0);
  std::printf("%s\n", text != nullptr ? reinterpret_cast<const char*>(text) : "");
  return kExitOk;
}

int Set(sqlite3* db, const std::string& hostname, const std::string& field,
        const std::string& value) {
  std::string type;
  if (int r = CheckObjectAndField(db, hostname, field, &type); r != kExitOk) return r;
  Statement statement = Prepare(db, kSetValue, {hostname, field, value});
  if (!statement) return kExitFailed;
  if (type == "integer") {
    std::optional<int32_t> number = ParseInteger(value.c_str());
    if (!number) return Usage("the value of an integer field is a 32-bit integer");
    sqlite3_bind_int(statement.get(), 3, *number);
  }
  if (sqlite3_step(statement.get()) != SQLITE_DONE) return Failed(db, "setting value");
  return kExitOk;
}

int Dump(sqlite3* db) {
  Statement statement = Prepare(db,
                                "SELECT o.id, o.hostname, f.name, v.value FROM objects o"
                                " LEFT JOIN field_values v ON v.object_id = o.id"
                                " LEFT JOIN fields f ON f.id = v.field_id"
                                " ORDER BY o.id, f.name",
                                {});
  if (!statement) return kExitFailed;
  sqlite3_int64 current = 0;
  bool any = false;
  int rc;
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    sqlite3_int64 id = sqlite3_column_int64(statement.get(), 0);
    if (!any || id != current) {
      if (any) std::fputc('\n', stdout);
      std::fputs(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1)), stdout);
      current = id;
      any = true;
    }
    if (sqlite3_column_type(statement.get(), 2) != SQLITE_NULL &&
        sqlite3_column_type(statement.get(), 3) != SQLITE_NULL) {
      std::printf(" %s=%s", reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 2)),
                  reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 3)));
    }
  }
  if (any) std::fputc('\n', stdout);
  if (rc != SQLITE_DONE) return Failed(db, "reading objects");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--version") {
    std::puts("ovwdb (ZOV_UZAVEZIRU) " ZOV_VERSION);
    return kExitOk;
  }
  std::string path;
  if (!args.empty() && args[0] == "--db") {
    if (args.size() < 2 || args[1].empty()) return Usage("--db needs a file");
    path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  } else {
    path = ovw_store::DatabasePath();
  }
  if (args.empty()) return Usage("no command");
  const std::string command = args[0];
  const size_t operands = args.size() - 1;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].empty()) return Usage("empty operand");
  }
  bool known = (command == "create-field" && (operands == 1 || operands == 2)) ||
               (command == "add-object" && operands >= 1) ||
               (command == "get" && operands == 2) || (command == "set" && operands == 3) ||
               (command == "dump" && operands == 0);
  if (!known) {
    bool is_command = command == "create-field" || command == "add-object" || command == "get" ||
                      command == "set" || command == "dump";
    return Usage(is_command ? "wrong number of operands" : "unknown command");
  }
  if (command == "create-field" && operands == 2 && args[2] != "integer" && args[2] != "string") {
    return Usage("a field type is integer or string");
  }

  Db db;
  int error = ovw_store::OpenStore(path, &db);
  if (error != kOVwErrNone) {
    std::fprintf(stderr, "ovwdb: %s: %s\n", path.c_str(), OVwErrorMsg(error));
    return kExitFailed;
  }

  if (command == "create-field") return CreateField(db.get(), args[1], operands == 2 ? args[2] : "integer");
  if (command == "add-object") {
    return operands == 1 ? AddObject(db.get(), args[1])
                         : AddObjects(db.get(), std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (command == "get") return Get(db.get(), args[1], args[2]);
  if (command == "set") return Set(db.get(), args[1], args[2], args[3]);
  return Dump(db.get());
}
