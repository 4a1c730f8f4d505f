// libovw on a real SQLite file, with the last-alert field on top of it, and
// the ovwdb tool's commands. Threads and processes share one file at once;
// other connections change it under libovw's name lookups.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "unit_support.h"
#include "platform/last_alert.h"
#include "platform/ovw.h"
#include "support/agents.h"

namespace {

using zov::test::LogCapture;
using zov::test::ProgramResult;
using zov::test::RunOvwdb;
using zov::test::ScopedEnv;
using zov::test::TempDir;

constexpr const char* kPrinter = "printer-07.lab";
constexpr int32_t kHighBitTime = static_cast<int32_t>(0x80000123u);

// Another process's connection, as ovwdb or an administrator would make.
struct Other {
  sqlite3* db = nullptr;
  explicit Other(const std::string& path) { sqlite3_open(path.c_str(), &db); }
  ~Other() { sqlite3_close(db); }
  bool Exec(const std::string& sql) {
    sqlite3_busy_timeout(db, 5000);
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // The first column of the first row of `sql`, or -1.
  sqlite3_int64 Number(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_int64 value = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      value = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
  }
};

class OvwDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    db_ = dir_.File("ovw.db");
    env_ = std::make_unique<ScopedEnv>("OVW_DB", db_.c_str());
  }

  ProgramResult Tool(std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", db_});
    return RunOvwdb(args);
  }
  // The usual database: the field and two printers.
  void DefineFieldAndPrinters() {
    ASSERT_EQ(Tool({"create-field", "VlmLastAlert"}).exit_code, 0);
    ASSERT_EQ(Tool({"add-object", "someone-else"}).exit_code, 0);
    ASSERT_EQ(Tool({"add-object", kPrinter}).exit_code, 0);
  }
  // As a poll starts: a fresh log captured, the database opened.
  void Start() {
    log_.emplace();
    ASSERT_TRUE(log_->ok());
    ASSERT_EQ(OVwDbInit(), 0);
  }
  std::string Logged() const { return log_->Text(); }
  static std::string Refused(int error) {
    return std::string(kPrinter) + ": Unable to set printer status - " + OVwErrorMsg(error) + ": \n";
  }

  TempDir dir_;
  std::optional<LogCapture> log_;
  std::string db_;
  std::unique_ptr<ScopedEnv> env_;
};

TEST_F(OvwDatabaseTest, ReadGivesWhatTheFieldHolds) {
  DefineFieldAndPrinters();
  struct Case {
    const char* stored;  // null: never set
    int32_t expected;
  };
  for (const Case& c : {Case{nullptr, 0}, Case{"0", 0}, Case{"500", 500}, Case{"-1", 0},
                        Case{"2147483939", kHighBitTime}, Case{"-2147483357", kHighBitTime}}) {
    SCOPED_TRACE(c.stored ? c.stored : "unset");
    if (c.stored) {
      ASSERT_EQ(Tool({"set", kPrinter, "VlmLastAlert", c.stored}).exit_code, 0);
    }
    Start();
    EXPECT_EQ(ReadLastAlert(kPrinter), c.expected);
    EXPECT_EQ(Logged(), "");
  }
}

TEST_F(OvwDatabaseTest, WrittenValuesReadBackAsTheSame32Bits) {
  DefineFieldAndPrinters();
  Start();
  for (int32_t value : {500, 0, kHighBitTime, INT32_MIN, INT32_MAX, 7}) {
    SCOPED_TRACE(value);
    WriteLastAlert(kPrinter, value);
    EXPECT_EQ(ReadLastAlert(kPrinter), value);
    EXPECT_EQ(Tool({"get", kPrinter, "VlmLastAlert"}).out, std::to_string(value) + "\n");
  }
  EXPECT_EQ(Tool({"get", "someone-else", "VlmLastAlert"}).exit_code, 1);
  EXPECT_EQ(Logged(), "");
}

TEST_F(OvwDatabaseTest, MissingFieldOrObjectIsLoggedOnReadAndWrite) {
  ASSERT_EQ(Tool({"add-object", kPrinter}).exit_code, 0);
  Start();
  EXPECT_EQ(OVwDbFieldNameToFieldId("VlmLastAlert"), 0u);
  EXPECT_EQ(OVwError(), kOVwErrNoSuchField);
  EXPECT_EQ(ReadLastAlert(kPrinter), 0);
  WriteLastAlert(kPrinter, 500);

  ASSERT_EQ(Tool({"create-field", "VlmLastAlert"}).exit_code, 0);
  EXPECT_EQ(OVwDbHostnameToObjectId("nobody.lab"), 0u);
  EXPECT_EQ(OVwError(), kOVwErrNoSuchObject);
  EXPECT_EQ(ReadLastAlert("nobody.lab"), 0);
  WriteLastAlert("nobody.lab", 500);
  // Host names are matched exactly as given.
  EXPECT_EQ(ReadLastAlert("PRINTER-07.lab"), 0);

  EXPECT_EQ(Logged(),
            "printer-07.lab: VlmLastAlert field not defined\n"
            "printer-07.lab: VlmLastAlert field not defined\n"
            "nobody.lab: Object not found\n"
            "nobody.lab: Object not found\n"
            "PRINTER-07.lab: Object not found\n");
  EXPECT_EQ(Tool({"get", kPrinter, "VlmLastAlert"}).exit_code, 1);
}

TEST_F(OvwDatabaseTest, StringFieldRefusesTheWriteAndReadsAsZero) {
  ASSERT_EQ(Tool({"create-field", "VlmLastAlert", "string"}).exit_code, 0);
  ASSERT_EQ(Tool({"add-object", kPrinter}).exit_code, 0);
  ASSERT_EQ(Tool({"set", kPrinter, "VlmLastAlert", "some text"}).exit_code, 0);
  Start();
  OVwFieldId field = OVwDbFieldNameToFieldId("VlmLastAlert");
  OVwObjectId object = OVwDbHostnameToObjectId(kPrinter);
  ASSERT_NE(field, 0u);
  ASSERT_NE(object, 0u);
  EXPECT_EQ(OVwDbGetFieldIntegerValue(object, field), -1);
  EXPECT_EQ(OVwError(), kOVwErrFieldType);
  EXPECT_NE(OVwDbSetFieldIntegerValue(object, field, 500), 0);
  EXPECT_EQ(OVwError(), kOVwErrFieldType);

  EXPECT_EQ(ReadLastAlert(kPrinter), 0);
  WriteLastAlert(kPrinter, 500);
  EXPECT_EQ(Logged(), Refused(kOVwErrFieldType));
  EXPECT_EQ(Tool({"get", kPrinter, "VlmLastAlert"}).out, "some text\n");
}

TEST_F(OvwDatabaseTest, ReadOnlyDatabaseRefusesTheWriteAndKeepsTheValue) {
  DefineFieldAndPrinters();
  ASSERT_EQ(Tool({"set", kPrinter, "VlmLastAlert", "777"}).exit_code, 0);
  // The process runs as any user, root included: ask SQLite for read-only
  // access rather than relying on file permissions.
  ScopedEnv read_only("OVW_DB", ("file:" + db_ + "?mode=ro").c_str());
  Start();
  EXPECT_EQ(ReadLastAlert(kPrinter), 777);
  WriteLastAlert(kPrinter, 500);
  EXPECT_EQ(OVwError(), kOVwErrReadOnly);
  EXPECT_EQ(Logged(), Refused(kOVwErrReadOnly));
  EXPECT_EQ(ReadLastAlert(kPrinter), 777);
}

TEST_F(OvwDatabaseTest, WriteWaitsForABriefLockAndSucceeds) {
  DefineFieldAndPrinters();
  Start();
  Other lock(db_);  // a writer in another process
  ASSERT_TRUE(lock.Exec("BEGIN EXCLUSIVE"));
  std::thread releaser([&lock] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lock.Exec("COMMIT");
  });
  WriteLastAlert(kPrinter, 500);
  releaser.join();
  EXPECT_EQ(ReadLastAlert(kPrinter), 500);
  EXPECT_EQ(Logged(), "");
}

TEST_F(OvwDatabaseTest, WriteRefusedAfterTheBusyTimeoutWhileReadsGoOn) {
  DefineFieldAndPrinters();
  ASSERT_EQ(Tool({"set", kPrinter, "VlmLastAlert", "777"}).exit_code, 0);
  Start();
  Other lock(db_);
  ASSERT_TRUE(lock.Exec("BEGIN EXCLUSIVE"));
  WriteLastAlert(kPrinter, 500);
  EXPECT_EQ(OVwError(), kOVwErrBusy);
  EXPECT_EQ(Logged(), Refused(kOVwErrBusy));
  // WAL: the held write lock does not stop readers.
  EXPECT_EQ(ReadLastAlert(kPrinter), 777);
}

TEST_F(OvwDatabaseTest, InitCreatesTheDatabaseAndFollowsOvwDb) {
  ASSERT_FALSE(std::filesystem::exists(db_));
  ASSERT_EQ(OVwDbInit(), 0);
  EXPECT_TRUE(std::filesystem::exists(db_));
  EXPECT_EQ(OVwDbFieldNameToFieldId("VlmLastAlert"), 0u);
  ProgramResult dump = Tool({"dump"});
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_EQ(dump.out, "");

  // A second database in the same thread: the connection follows OVW_DB.
  std::string other = dir_.File("other.db");
  ASSERT_EQ(RunOvwdb({"--db", other, "create-field", "VlmLastAlert"}).exit_code, 0);
  ASSERT_EQ(RunOvwdb({"--db", other, "add-object", kPrinter}).exit_code, 0);
  ASSERT_EQ(RunOvwdb({"--db", other, "set", kPrinter, "VlmLastAlert", "31"}).exit_code, 0);
  ScopedEnv switched("OVW_DB", other.c_str());
  ASSERT_EQ(OVwDbInit(), 0);
  LogCapture log;
  EXPECT_EQ(ReadLastAlert(kPrinter), 31);
}

TEST_F(OvwDatabaseTest, InitFailsWithATextWhenTheFileCannotBeMade) {
  ScopedEnv missing("OVW_DB", dir_.File("no/such/directory/ovw.db").c_str());
  int result = OVwDbInit();
  EXPECT_NE(result, 0);
  EXPECT_EQ(OVwError(), kOVwErrOpen);
  EXPECT_STRNE(OVwErrorMsg(OVwError()), "");
  // Nothing is reachable through a connection that failed.
  EXPECT_EQ(OVwDbFieldNameToFieldId("VlmLastAlert"), 0u);
  EXPECT_EQ(OVwError(), kOVwErrNotInitialised);
}

TEST_F(OvwDatabaseTest, EveryErrorNumberHasAText) {
  for (int error = -2; error <= 12; ++error) {
    SCOPED_TRACE(error);
    ASSERT_NE(OVwErrorMsg(error), nullptr);
    EXPECT_STRNE(OVwErrorMsg(error), "");
  }
  EXPECT_STRNE(OVwErrorMsg(kOVwErrBusy), OVwErrorMsg(kOVwErrReadOnly));
}

TEST_F(OvwDatabaseTest, ThreadWithoutInitIsRefusedAndItsConnectionEndsWithIt) {
  DefineFieldAndPrinters();
  int uninitialised_error = 0;
  int value_read = -2;
  std::thread worker([&] {
    uninitialised_error = OVwDbFieldNameToFieldId("VlmLastAlert") == 0 ? OVwError() : 0;
    if (OVwDbInit() != 0) return;
    OVwFieldId field = OVwDbFieldNameToFieldId("VlmLastAlert");
    OVwObjectId object = OVwDbHostnameToObjectId(kPrinter);
    if (OVwDbSetFieldIntegerValue(object, field, 4242) != 0) return;
    value_read = OVwDbGetFieldIntegerValue(object, field);
  });
  worker.join();
  EXPECT_EQ(uninitialised_error, kOVwErrNotInitialised);
  EXPECT_EQ(value_read, 4242);
  // The last connection to a WAL database removes the log when it closes:
  // the worker's connection was closed when the thread ended.
  EXPECT_FALSE(std::filesystem::exists(db_ + "-wal"));
}

// Each worker writes its own printer and reads every printer, many times.
// Returns the number of calls that failed.
int ReadAndWriteMany(int worker, int workers, int rounds) {
  int failures = 0;
  for (int round = 0; round < rounds; ++round) {
    if (OVwDbInit() != 0) {
      ++failures;
      continue;
    }
    std::string own = "printer-" + std::to_string(worker);
    OVwFieldId field = OVwDbFieldNameToFieldId("VlmLastAlert");
    OVwObjectId object = OVwDbHostnameToObjectId(own.c_str());
    int32_t value = worker * 100000 + round + 1;
    if (field == 0 || object == 0 || OVwDbSetFieldIntegerValue(object, field, value) != 0 ||
        OVwDbGetFieldIntegerValue(object, field) != value) {
      ++failures;
    }
    std::string other = "printer-" + std::to_string((worker + round) % workers);
    OVwObjectId other_object = OVwDbHostnameToObjectId(other.c_str());
    if (other_object == 0 || OVwDbGetFieldIntegerValue(other_object, field) == -1) ++failures;
  }
  return failures;
}

constexpr int kThreads = 8;
constexpr int kProcesses = 2;
constexpr int kRounds = 200;

void DefinePrinters(int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(RunOvwdb({"add-object", "printer-" + std::to_string(i)}).exit_code, 0);
  }
}

TEST_F(OvwDatabaseTest, ManyThreadsReadAndWriteAtOnceWithoutAnError) {
  ASSERT_EQ(Tool({"create-field", "VlmLastAlert"}).exit_code, 0);
  DefinePrinters(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] { failures += ReadAndWriteMany(t, kThreads, kRounds); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(Tool({"get", "printer-" + std::to_string(t), "VlmLastAlert"}).out,
              std::to_string(t * 100000 + kRounds) + "\n");
  }
}

// Runs only inside a worker process started by the test below (disabled, so
// that a plain run neither runs nor skips it).
TEST(OvwWorker, DISABLED_ReadAndWrite) {
  const char* worker = std::getenv("ZOV_OVW_WORKER");
  if (worker == nullptr) GTEST_SKIP() << "started only as a worker process";
  int index = std::atoi(worker);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  // Two threads per process, each with its own printer.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      failures += ReadAndWriteMany(index * 2 + t, kProcesses * 2, kRounds);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(OvwDatabaseTest, TwoProcessesReadAndWriteAtOnceWithoutAnError) {
  ASSERT_EQ(Tool({"create-field", "VlmLastAlert"}).exit_code, 0);
  DefinePrinters(kProcesses * 2);
  std::vector<std::vector<std::string>> workers, envs;
  for (int p = 0; p < kProcesses; ++p) {
    workers.push_back(
        {"/proc/self/exe", "--gtest_also_run_disabled_tests", "--gtest_filter=OvwWorker.DISABLED_ReadAndWrite"});
    envs.push_back({"ZOV_OVW_WORKER=" + std::to_string(p), "OVW_DB=" + db_});
  }
  for (const ProgramResult& worker : zov::test::RunPrograms(workers, envs, 60000)) {
    EXPECT_EQ(worker.exit_code, 0) << worker.out << worker.err;
    EXPECT_NE(worker.out.find("[  PASSED  ] 1 test"), std::string::npos) << worker.out;
  }
  for (int w = 0; w < kProcesses * 2; ++w) {
    EXPECT_EQ(Tool({"get", "printer-" + std::to_string(w), "VlmLastAlert"}).out,
              std::to_string(w * 100000 + kRounds) + "\n");
  }
}

// libovw answers name lookups from what it found before only while no other
// connection has changed the database: a name that appears is found at once,
// and a name whose object was replaced gives the new object.
class OvwIds : public OvwDatabaseTest {
 protected:
  void SetUp() override {
    OvwDatabaseTest::SetUp();
    ASSERT_EQ(OVwDbInit(), 0);  // creates the file and its tables
    other_ = std::make_unique<Other>(db_);
    ASSERT_TRUE(other_->Exec("INSERT INTO fields (id, name, type) VALUES (7, 'VlmLastAlert', 'integer');"
                             "INSERT INTO objects (id, hostname) VALUES (11, 'lobby');"));
    ASSERT_EQ(OVwDbInit(), 0);
  }

  std::unique_ptr<Other> other_;
};

TEST_F(OvwIds, NamesAddedElsewhereAreFoundAtOnce) {
  EXPECT_EQ(OVwDbHostnameToObjectId("annex"), 0u);
  EXPECT_EQ(OVwError(), kOVwErrNoSuchObject);
  ASSERT_TRUE(other_->Exec("INSERT INTO objects (id, hostname) VALUES (12, 'annex');"
                           "INSERT INTO fields (id, name, type) VALUES (8, 'Other', 'integer');"));
  // Not even a new poll is needed for what was missing.
  EXPECT_EQ(OVwDbHostnameToObjectId("annex"), 12u);
  EXPECT_EQ(OVwDbFieldNameToFieldId("Other"), 8u);
}

TEST_F(OvwIds, RepeatedLookupsGiveTheSameIdsAndValues) {
  for (int poll = 0; poll < 3; ++poll) {
    SCOPED_TRACE(poll);
    ASSERT_EQ(OVwDbInit(), 0);
    OVwFieldId field = OVwDbFieldNameToFieldId("VlmLastAlert");
    OVwObjectId object = OVwDbHostnameToObjectId("lobby");
    ASSERT_EQ(field, 7u);
    ASSERT_EQ(object, 11u);
    EXPECT_EQ(OVwDbSetFieldIntegerValue(object, field, 500 + poll), 0);
    EXPECT_EQ(OVwDbGetFieldIntegerValue(object, field), 500 + poll);
  }
}

TEST_F(OvwIds, ValuesReadByKnownIdsMeanWhatTheyMeanOtherwise) {
  ASSERT_TRUE(other_->Exec("INSERT INTO fields (id, name, type) VALUES (9, 'Label', 'string');"
                           "INSERT INTO field_values VALUES (11, 9, 'text');"));
  struct Step {
    const char* elsewhere;  // SQL run by the other connection first, or null
    const char* field;
    int value;
    int error;  // expected OVwError() when value is -1
  };
  const Step steps[] = {
      {nullptr, "VlmLastAlert", 0, 0},  // nothing stored
      {"INSERT INTO field_values VALUES (11, 7, -5)", "VlmLastAlert", -5, 0},
      {nullptr, "VlmLastAlert", -5, 0},  // again, ids known
      {"UPDATE field_values SET value = 'x' WHERE field_id = 7", "VlmLastAlert", -1, kOVwErrFieldType},
      {"UPDATE field_values SET value = 4294967296 WHERE field_id = 7", "VlmLastAlert", -1,
       kOVwErrFieldType},
      {nullptr, "Label", -1, kOVwErrFieldType},  // not an integer field
      {nullptr, "Label", -1, kOVwErrFieldType},
      {"UPDATE fields SET type = 'string' WHERE id = 7", "VlmLastAlert", -1, kOVwErrFieldType},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.elsewhere != nullptr ? step.elsewhere : step.field);
    if (step.elsewhere != nullptr) {
      ASSERT_TRUE(other_->Exec(step.elsewhere));
    }
    // As a poll does: start, look both up afresh, read.
    ASSERT_EQ(OVwDbInit(), 0);
    const OVwFieldId field = OVwDbFieldNameToFieldId(step.field);
    const OVwObjectId lobby = OVwDbHostnameToObjectId("lobby");
    ASSERT_NE(field, 0u);
    ASSERT_EQ(lobby, 11u);
    EXPECT_EQ(OVwDbGetFieldIntegerValue(lobby, field), step.value);
    if (step.value == -1) {
      EXPECT_EQ(OVwError(), step.error);
    }
  }
  EXPECT_EQ(OVwDbGetFieldIntegerValue(11, 999), -1);
  EXPECT_EQ(OVwError(), kOVwErrNoSuchField);
}

TEST_F(OvwIds, AnObjectReplacedElsewhereIsFoundAnewAtTheNextStart) {
  ASSERT_EQ(OVwDbHostnameToObjectId("lobby"), 11u);
  ASSERT_EQ(OVwDbFieldNameToFieldId("VlmLastAlert"), 7u);
  ASSERT_TRUE(other_->Exec("DELETE FROM objects WHERE id = 11;"
                           "INSERT INTO objects (id, hostname) VALUES (40, 'lobby');"
                           "DELETE FROM fields WHERE id = 7;"
                           "INSERT INTO fields (id, name, type) VALUES (41, 'VlmLastAlert', 'integer');"));
  ASSERT_EQ(OVwDbInit(), 0);  // every poll starts the database first
  EXPECT_EQ(OVwDbHostnameToObjectId("lobby"), 40u);
  EXPECT_EQ(OVwDbFieldNameToFieldId("VlmLastAlert"), 41u);
}

TEST_F(OvwIds, ADifferentDatabaseFileForgetsTheIdsOfTheFirst) {
  ASSERT_EQ(OVwDbHostnameToObjectId("lobby"), 11u);
  TempDir second;
  ASSERT_TRUE(second.ok());
  const std::string path = second.File("second.db");
  ScopedEnv env("OVW_DB", path.c_str());
  ASSERT_EQ(OVwDbInit(), 0);
  EXPECT_EQ(OVwDbHostnameToObjectId("lobby"), 0u);
  EXPECT_EQ(OVwError(), kOVwErrNoSuchObject);
}

// A poll's start, look-ups and read share one read of the database. Whichever
// way the poll goes on, that read must be over when it returns: a read left
// open would hold back every later checkpoint, and make the next write of
// this thread fail once another connection had written.
TEST_F(OvwIds, APollsReadIsOverWhenItReadsWritesOrMissesAName) {
  struct Ending {
    const char* name;
    void (*run)(OVwObjectId object, OVwFieldId field);
  };
  const Ending endings[] = {
      {"value read", [](OVwObjectId o, OVwFieldId f) { EXPECT_EQ(OVwDbGetFieldIntegerValue(o, f), 0); }},
      {"value written", [](OVwObjectId o, OVwFieldId f) { EXPECT_EQ(OVwDbSetFieldIntegerValue(o, f, 3), 0); }},
      {"name missed", [](OVwObjectId, OVwFieldId) { EXPECT_EQ(OVwDbHostnameToObjectId("annex"), 0u); }},
  };
  int round = 0;
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.name);
    ASSERT_TRUE(other_->Exec("DELETE FROM field_values"));
    ASSERT_EQ(OVwDbInit(), 0);
    const OVwFieldId field = OVwDbFieldNameToFieldId("VlmLastAlert");
    const OVwObjectId object = OVwDbHostnameToObjectId("lobby");
    ASSERT_EQ(field, 7u);
    ASSERT_EQ(object, 11u);
    ending.run(object, field);

    const int elsewhere = 100 + round++;
    ASSERT_TRUE(other_->Exec("INSERT INTO field_values VALUES (11, 7, " + std::to_string(elsewhere) +
                             ") ON CONFLICT (object_id, field_id) DO UPDATE SET value = excluded.value"));
    // Column 0 of a checkpoint is 1 when a reader kept it from finishing.
    EXPECT_EQ(other_->Number("PRAGMA wal_checkpoint(TRUNCATE)"), 0);
    EXPECT_EQ(OVwDbGetFieldIntegerValue(object, field), elsewhere);  // the latest, not the poll's
  }
}

TEST_F(OvwIds, AWriteInsideAPollSucceedsThoughAnotherConnectionWroteSinceItsStart) {
  ASSERT_EQ(OVwDbInit(), 0);
  const OVwFieldId field = OVwDbFieldNameToFieldId("VlmLastAlert");
  const OVwObjectId object = OVwDbHostnameToObjectId("lobby");
  ASSERT_TRUE(other_->Exec("INSERT INTO objects (id, hostname) VALUES (12, 'annex')"));
  EXPECT_EQ(OVwDbSetFieldIntegerValue(object, field, 42), 0) << OVwErrorMsg(OVwError());
  EXPECT_EQ(other_->Number("SELECT value FROM field_values WHERE object_id = 11"), 42);
}

// The ovwdb admin tool: each command, its output and its exit code.
using OvwdbTest = OvwDatabaseTest;

TEST_F(OvwdbTest, DefinesFieldsAddsObjectsSetsGetsAndDumps) {
  // A field or an object defined again is fine.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"create-field", "VlmLastAlert"}, {"create-field", "VlmLastAlert", "integer"},
           {"create-field", "Location", "string"}, {"add-object", "lobby-laser"}, {"add-object", "lobby-laser"},
           {"add-object", "10.1.2.3"}, {"add-object", "idle"}}) {
    EXPECT_EQ(Tool(args).exit_code, 0) << args[1];
  }

  struct Set {
    const char* host;
    const char* field;
    const char* value;
    const char* read_back;
  };
  for (const Set& s : {Set{"lobby-laser", "VlmLastAlert", "500", "500\n"},
                       Set{"lobby-laser", "VlmLastAlert", "-1", "-1\n"},
                       Set{"10.1.2.3", "VlmLastAlert", "4294967295", "-1\n"},
                       Set{"10.1.2.3", "VlmLastAlert", "-2147483648", "-2147483648\n"},
                       Set{"10.1.2.3", "VlmLastAlert", "2147483648", "-2147483648\n"},
                       Set{"lobby-laser", "Location", "Main hall, 2nd floor", "Main hall, 2nd floor\n"}}) {
    SCOPED_TRACE(std::string(s.host) + " " + s.value);
    ProgramResult set = Tool({"set", s.host, s.field, s.value});
    EXPECT_EQ(set.exit_code, 0) << set.err;
    ProgramResult get = Tool({"get", s.host, s.field});
    EXPECT_EQ(get.exit_code, 0) << get.err;
    EXPECT_EQ(get.out, s.read_back);
  }
  ProgramResult dump = Tool({"dump"});
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_EQ(dump.out,
            "lobby-laser Location=Main hall, 2nd floor VlmLastAlert=-1\n"
            "10.1.2.3 VlmLastAlert=-2147483648\n"
            "idle\n");
}

TEST_F(OvwdbTest, MissingFieldObjectOrValueExitsOneWithAMessage) {
  ASSERT_EQ(Tool({"create-field", "VlmLastAlert"}).exit_code, 0);
  ASSERT_EQ(Tool({"add-object", "lobby-laser"}).exit_code, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"get", "lobby-laser", "NoSuchField"},
        std::vector<std::string>{"get", "nobody", "VlmLastAlert"},
        std::vector<std::string>{"get", "lobby-laser", "VlmLastAlert"},  // never set
        std::vector<std::string>{"set", "nobody", "VlmLastAlert", "1"},
        std::vector<std::string>{"set", "lobby-laser", "NoSuchField", "1"}}) {
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
    ProgramResult r = Tool(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  // A field redefined with another type is not silently changed.
  ProgramResult retyped = Tool({"create-field", "VlmLastAlert", "string"});
  EXPECT_EQ(retyped.exit_code, 1);
  EXPECT_NE(retyped.err, "");
}

TEST_F(OvwdbTest, BadArgumentsExitTwoWithTheUsage) {
  ASSERT_EQ(Tool({"create-field", "VlmLastAlert"}).exit_code, 0);
  ASSERT_EQ(Tool({"add-object", "lobby-laser"}).exit_code, 0);
  for (const std::vector<std::string>& args : {
           std::vector<std::string>{},
           std::vector<std::string>{"frobnicate"},
           std::vector<std::string>{"create-field"},
           std::vector<std::string>{"create-field", "X", "float"},
           std::vector<std::string>{"create-field", "X", "integer", "extra"},
           std::vector<std::string>{"add-object"},
           std::vector<std::string>{"add-object", ""},
           std::vector<std::string>{"get", "lobby-laser"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "12abc"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", " 12"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "+12"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "4294967296"},
           std::vector<std::string>{"set", "lobby-laser", "VlmLastAlert", "-2147483649"},
           std::vector<std::string>{"dump", "extra"},
       }) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    ProgramResult r = Tool(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("usage: ovwdb"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(RunOvwdb({"--db"}).exit_code, 2);
  // Nothing was stored by the refused set.
  EXPECT_EQ(Tool({"get", "lobby-laser", "VlmLastAlert"}).exit_code, 1);
}

TEST_F(OvwdbTest, VersionIsTheProjectsAndOpensNoDatabase) {
  ProgramResult version = RunOvwdb({"--version"}, dir_.path(), {"OVW_DB"});
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, "ovwdb (ZOV_UZAVEZIRU) " ZOV_VERSION "\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("ovw.db")));
}

TEST_F(OvwdbTest, DatabaseIsOvwDbOrOvwDbInTheCurrentDirectory) {
  ProgramResult here = RunOvwdb({"add-object", "in-cwd"}, dir_.path(), {"OVW_DB"});
  EXPECT_EQ(here.exit_code, 0) << here.err;
  EXPECT_TRUE(std::filesystem::exists(dir_.File("ovw.db")));

  zov::test::ScopedEnv env("OVW_DB", dir_.File("from-env.db").c_str());
  ProgramResult from_env = RunOvwdb({"add-object", "in-env"});
  EXPECT_EQ(from_env.exit_code, 0) << from_env.err;
  EXPECT_EQ(RunOvwdb({"dump"}).out, "in-env\n");
  EXPECT_EQ(RunOvwdb({"--db", dir_.File("ovw.db"), "dump"}).out, "in-cwd\n");
}

TEST_F(OvwdbTest, UnopenableDatabaseExitsOne) {
  ASSERT_TRUE(zov::test::WriteFile(dir_.File("garbage.db"), std::string(4096, 'x')));
  for (const std::string& db : {dir_.File("missing/dir/x.db"), dir_.File("garbage.db")}) {
    ProgramResult r = RunOvwdb({"--db", db, "dump"});
    EXPECT_EQ(r.exit_code, 1) << db;
    EXPECT_NE(r.err, "") << db;
  }
}

}  // namespace
