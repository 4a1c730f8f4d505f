#include "platform/last_alert.h"

#include "log/shared_log.h"
#include "platform/ovw.h"

namespace {

// Field first, then object, both afresh: a database without the field never
// has its objects searched. 0 (logged) when either is missing.
bool LookUp(const char* address, OVwObjectId* object, OVwFieldId* field) {
  *field = OVwDbFieldNameToFieldId(kLastAlertField);
  if (*field == 0) {
    LogPair(address, "VlmLastAlert field not defined\n");
    return false;
  }
  *object = OVwDbHostnameToObjectId(address);
  if (*object == 0) {
    LogPair(address, "Object not found\n");
    return false;
  }
  return true;
}

}  // namespace

int32_t ReadLastAlert(const char* address) {
  OVwObjectId object = 0;
  OVwFieldId field = 0;
  if (!LookUp(address, &object, &field)) return 0;
  int value = OVwDbGetFieldIntegerValue(object, field);
  // -1 is also the library's "cannot read"; both mean no alert recorded.
  return value == -1 ? 0 : value;
}

void WriteLastAlert(const char* address, int32_t value) {
  OVwObjectId object = 0;
  OVwFieldId field = 0;
  if (!LookUp(address, &object, &field)) return;
  if (OVwDbSetFieldIntegerValue(object, field, value) != 0) {
    // Two records that read as one line: "<address>: Unable to ... - <error>: "
    LogPair(address, "Unable to set printer status - ");
    LogPair(OVwErrorMsg(OVwError()), "\n");
  }
}
