#include "printer/identity_probe.h"

#include <memory>
#include <new>

#include "log/shared_log.h"
#include "snmp/oid.h"
#include "snmp/query_session.h"

namespace {

constexpr char kMib2[] = ".1.3.6.1.2.1";
constexpr char kSysUpTimeName[] = "sysUpTime";
constexpr char kSysUpTimeOid[] = ".1.3.6.1.2.1.1.3";
constexpr char kSysObjIdName[] = "sysObjId";
constexpr char kSysObjIdOid[] = ".1.3.6.1.2.1.1.2";
constexpr int32_t kTimeTicksType = 67;
constexpr int32_t kOctetStringType = 4;

// A variable without its name or OID never reaches a session.
std::unique_ptr<QueryVariable> MakeVariable(const char* name, int32_t type, const char* oid) {
  std::unique_ptr<QueryVariable> v(new (std::nothrow) QueryVariable(name, type, oid));
  if (v && !v->Complete()) v.reset();
  return v;
}

}  // namespace

void ProbeIdentity(const char* address, uint32_t* uptime, uint32_t** family,
                   uint32_t* family_count) {
  std::unique_ptr<QueryVariable> up_time = MakeVariable(kSysUpTimeName, kTimeTicksType, kSysUpTimeOid);
  std::unique_ptr<QueryVariable> obj_id = MakeVariable(kSysObjIdName, kOctetStringType, kSysObjIdOid);
  *uptime = 0;
  *family = nullptr;
  *family_count = 0;

  uint32_t scope_count = 0;
  OidBlock scope(ParseOid(kMib2, &scope_count));
  std::unique_ptr<QuerySession> session;
  if (scope) {
    session.reset(new (std::nothrow) QuerySession(scope.get(), scope_count));
    if (session) scope.release();  // the session owns the scope OID
  }
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

  const int32_t r = session->Run(address, false, false);
  if (r != kQueryOk) {
    if (const char* text = QueryErrorText(r)) {
      LogErrorRecord(address, "Error querying printer", text);
    } else {
      LogSnmpError(address, r, "Error querying printer");
    }
    return;
  }
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
