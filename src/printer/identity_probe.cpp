#include "printer/identity_probe.h"

#include <memory>

#include "log/shared_log.h"
#include "printer/printer_query.h"
#include "snmp/query_session.h"

namespace {

constexpr char kMib2[] = ".1.3.6.1.2.1";
constexpr char kSysUpTimeName[] = "sysUpTime";
constexpr char kSysUpTimeOid[] = ".1.3.6.1.2.1.1.3";
constexpr char kSysObjIdName[] = "sysObjId";
constexpr char kSysObjIdOid[] = ".1.3.6.1.2.1.1.2";
constexpr int32_t kTimeTicksType = 67;
constexpr int32_t kOctetStringType = 4;

}  // namespace

void ProbeIdentity(const char* address, uint32_t* uptime, uint32_t** family,
                   uint32_t* family_count, QueryClock::time_point deadline) {
  std::unique_ptr<QueryVariable> up_time = NewQueryVariable(kSysUpTimeName, kTimeTicksType, kSysUpTimeOid);
  std::unique_ptr<QueryVariable> obj_id = NewQueryVariable(kSysObjIdName, kOctetStringType, kSysObjIdOid);
  *uptime = 0;
  *family = nullptr;
  *family_count = 0;

  std::unique_ptr<QuerySession> session = NewQuerySession(kMib2);
  if (!session || !up_time || !obj_id) {
    LogPair(address, "Out of memory\n");
    return;  // the holders release what was made
  }

  if (session->AddVariable(up_time.get()) != kQueryOk) {
    LogPair(address, "Error adding sysUpTime to query\n");
    return;
  }
  up_time.release();  // the session owns the variable
  if (session->AddVariable(obj_id.get()) != kQueryOk) {
    LogPair(address, "Error adding sysObjId to query\n");
    return;
  }
  obj_id.release();  // the session owns the variable

  session->SetDeadline(deadline);
  if (RunPrinterQuery(*session, address, false) != kQueryOk) return;
  if (session->RowCount() <= 0) {
    LogPair(address, "Could not find printer SNMP entries.\n");
    return;
  }

  session->SeekRow(false);
  int32_t type = 0;
  int32_t ticks = 0;
  if (session->GetInteger(kSysUpTimeName, &type, &ticks) == kQueryOk) {
    *uptime = static_cast<uint32_t>(ticks);
  }
  uint32_t* oid = nullptr;
  uint32_t count = 0;
  if (session->GetOid(kSysObjIdName, &type, &oid, &count) == kQueryOk) {
    *family = oid;
    *family_count = count;
  }
}
