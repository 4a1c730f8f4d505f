// libovw answers name lookups from what it found before only while no other
// connection has changed the database: a name that appears is found at once,
// and a name whose object was replaced gives the new object.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "platform/ovw.h"
#include "support/agents.h"

namespace {

using zov::test::ScopedEnv;
using zov::test::TempDir;

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

class OvwIds : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.File("ovw.db");
    env_ = std::make_unique<ScopedEnv>("OVW_DB", path_.c_str());
    ASSERT_EQ(OVwDbInit(), 0);  // creates the file and its tables
    other_ = std::make_unique<Other>(path_);
    ASSERT_TRUE(other_->Exec("INSERT INTO fields (id, name, type) VALUES (7, 'VlmLastAlert', 'integer');"
                             "INSERT INTO objects (id, hostname) VALUES (11, 'lobby');"));
    ASSERT_EQ(OVwDbInit(), 0);
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<ScopedEnv> env_;
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

}  // namespace
