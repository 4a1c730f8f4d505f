// The entry points of libovw.dll, the 32-bit Winelib build of libovw: nothing
// crosses this boundary but numbers and strings the library keeps, so each
// only realigns the stack of its Windows caller (4 bytes) to what glibc and
// SQLite expect (16) and calls the library.
#include "platform/ovw.h"

#define ZOV_ENTRY extern "C" __attribute__((force_align_arg_pointer))

ZOV_ENTRY int zov_OVwDbInit(void) { return OVwDbInit(); }
ZOV_ENTRY int zov_OVwError(void) { return OVwError(); }
ZOV_ENTRY const char* zov_OVwErrorMsg(int error) { return OVwErrorMsg(error); }
ZOV_ENTRY OVwFieldId zov_OVwDbFieldNameToFieldId(const char* field_name) {
  return OVwDbFieldNameToFieldId(field_name);
}
ZOV_ENTRY OVwObjectId zov_OVwDbHostnameToObjectId(const char* hostname) {
  return OVwDbHostnameToObjectId(hostname);
}
ZOV_ENTRY int zov_OVwDbGetFieldIntegerValue(OVwObjectId object, OVwFieldId field) {
  return OVwDbGetFieldIntegerValue(object, field);
}
ZOV_ENTRY int zov_OVwDbSetFieldIntegerValue(OVwObjectId object, OVwFieldId field, int value) {
  return OVwDbSetFieldIntegerValue(object, field, value);
}
