#include "printer/alert_table.h"

#include <cstdlib>
#include <memory>

#include "log/shared_log.h"
#include "printer/printer_query.h"
#include "snmp/owned.h"
#include "snmp/query_session.h"

namespace {

constexpr char kAlertTableOid[] = ".1.3.6.1.2.1.43.18.1";

struct Column {
  const char* name;
  int32_t declared_type;
  const char* oid;
};

// Registration order is the binding order of every request; the first column
// drives the walk's end.
constexpr Column kColumns[] = {
    {"prtAlertSeverityLevel", 2, ".1.3.6.1.2.1.43.18.1.1.2"},
    {"prtAlertDesc", 4, ".1.3.6.1.2.1.43.18.1.1.8"},
    {"prtAlertGroup", 2, ".1.3.6.1.2.1.43.18.1.1.4"},
    {"prtAlertGroupIndex", 2, ".1.3.6.1.2.1.43.18.1.1.5"},
    {"prtAlertLocation", 2, ".1.3.6.1.2.1.43.18.1.1.6"},
    {"prtAlertCode", 2, ".1.3.6.1.2.1.43.18.1.1.7"},
    {"prtAlertTime", 67, ".1.3.6.1.2.1.43.18.1.1.9"},
};
constexpr int kColumnCount = sizeof kColumns / sizeof kColumns[0];

constexpr int32_t kGroupGeneralPrinter = 5;
constexpr int32_t kCodeOther = 1;

void ReadInteger(QuerySession& session, const char* name, int32_t* field) {
  int32_t type = 0;
  int32_t value = 0;
  if (session.GetInteger(name, &type, &value) == kQueryOk) *field = value;
}

// One record from the row under the cursor; null when out of memory.
AlertRecord* BuildRecord(QuerySession& session) {
  auto* record = static_cast<AlertRecord*>(std::calloc(1, sizeof(AlertRecord)));
  if (record == nullptr) return nullptr;
  Owned<AlertRecord, FreeAlertList> held(record);
  ReadInteger(session, "prtAlertSeverityLevel", &record->severity);
  ReadInteger(session, "prtAlertGroup", &record->group);
  ReadInteger(session, "prtAlertGroupIndex", &record->group_index);
  ReadInteger(session, "prtAlertLocation", &record->location);
  ReadInteger(session, "prtAlertCode", &record->code);
  int32_t type = 0;
  uint8_t* description = nullptr;
  uint32_t length = 0;
  switch (session.GetString("prtAlertDesc", &type, &description, &length)) {
    case kQueryOk:
      record->description = description;
      record->description_length = length;
      break;
    case kQueryOutOfMemory:
      return nullptr;  // a record without its text would be another alert
    default:
      break;  // no such column in this row
  }
  int32_t time = 0;
  ReadInteger(session, "prtAlertTime", &time);
  record->time = static_cast<uint32_t>(time);
  session.GetRowIndex(&record->index);
  AdjustSeverity(record);
  return held.release();
}

// Rows are stored newest first; putting each record in front gives table
// order. False when out of memory: a list missing a row would read as that
// alert cleared.
bool BuildList(QuerySession& session, AlertRecord** list) {
  *list = nullptr;
  if (session.RowCount() == 0) return true;
  Owned<AlertRecord, FreeAlertList> head;
  for (int32_t end = session.SeekRow(false); end == 0; end = session.SeekRow(true)) {
    AlertRecord* record = BuildRecord(session);
    if (record == nullptr) return false;
    record->next = head.release();
    head.reset(record);
  }
  *list = head.release();
  return true;
}

}  // namespace

AlertRecord* ReadAlertTable(const char* address, int32_t* walk_result,
                            QueryClock::time_point deadline) {
  int32_t ignored = 0;
  if (walk_result == nullptr) walk_result = &ignored;
  *walk_result = kQueryOk;

  std::unique_ptr<QueryVariable> variables[kColumnCount];
  bool complete = true;
  for (int i = 0; i < kColumnCount; ++i) {
    variables[i] = NewQueryVariable(kColumns[i].name, kColumns[i].declared_type, kColumns[i].oid);
    if (!variables[i]) complete = false;
  }
  std::unique_ptr<QuerySession> session = NewQuerySession(kAlertTableOid);
  if (!session || !complete) {
    LogPair(address, "Out of memory\n");
    *walk_result = kQueryOutOfMemory;
    return nullptr;  // the holders release what was made
  }

  for (auto& variable : variables) {
    if (session->AddVariable(variable.get()) == kQueryOk) {
      variable.release();  // the session owns the variable
    }
  }

  session->SetDeadline(deadline);
  const int32_t r = RunPrinterQuery(*session, address, true);
  if (r != kQueryOk) {
    *walk_result = r;
    return nullptr;  // rows of a failed walk go with the session
  }
  AlertRecord* list = nullptr;
  if (!BuildList(*session, &list)) {
    LogErrorRecord(address, "Error querying printer", QueryErrorText(kWalkOutOfMemory));
    *walk_result = kWalkOutOfMemory;
  }
  return list;
}

void AdjustSeverity(AlertRecord* record) {
  if (record->severity == kSeverityWarning && record->group == kGroupGeneralPrinter &&
      record->code == kCodeOther && record->location == 3) {
    record->severity = kSeverityOther;
  }
  if (record->severity == kSeverityWarning && record->group == kGroupGeneralPrinter &&
      record->code == kCodeOther && record->location == 4) {
    record->severity = kSeverityOther;
  }
}

void FreeAlertList(AlertRecord* head) {
  while (head != nullptr) {
    AlertRecord* next = head->next;
    std::free(head->description);
    std::free(head);
    head = next;
  }
}
