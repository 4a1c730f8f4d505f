// The platform's object-database client library (libovw) as the plug-in
// sees it. On Linux: host/ovw (libovw.so, on SQLite); unit tests link
// tests/fakes; on Windows: the platform's libovw.dll.
#ifndef ZOV_PLATFORM_OVW_H_
#define ZOV_PLATFORM_OVW_H_

#include <cstdint>

#if defined(_WIN32)
#  if defined(OVW_BUILDING_LIBRARY)
#    define OVW_API __declspec(dllexport)
#  else
#    define OVW_API __declspec(dllimport)
#  endif
#else
#  define OVW_API __attribute__((visibility("default")))
#endif

extern "C" {

// 0 means "no such field" / "no such object".
using OVwFieldId = uint32_t;
using OVwObjectId = uint32_t;

// Error numbers left for OVwError(); OVwErrorMsg has a text for each.
inline constexpr int kOVwErrNone = 0;
inline constexpr int kOVwErrOpen = 1;          // database file cannot be opened / created
inline constexpr int kOVwErrNotInitialised = 2;
inline constexpr int kOVwErrNoSuchField = 3;
inline constexpr int kOVwErrNoSuchObject = 4;
inline constexpr int kOVwErrFieldType = 5;     // field is not an integer field
inline constexpr int kOVwErrNoValue = 6;
inline constexpr int kOVwErrBusy = 7;          // locked longer than the busy timeout
inline constexpr int kOVwErrReadOnly = 8;
inline constexpr int kOVwErrDatabase = 9;      // any other SQLite failure
inline constexpr int kOVwErrBadArgument = 10;

// 0 when the connection is ready. Cheap after the first call in a thread.
OVW_API int OVwDbInit(void);
// The calling thread's most recent error number.
OVW_API int OVwError(void);
// A text for any number; owned by the library.
OVW_API const char* OVwErrorMsg(int error);
OVW_API OVwFieldId OVwDbFieldNameToFieldId(const char* field_name);
OVW_API OVwObjectId OVwDbHostnameToObjectId(const char* hostname);
// The stored value (0 when unset); -1 when it cannot be read.
OVW_API int OVwDbGetFieldIntegerValue(OVwObjectId object, OVwFieldId field);
// 0 when stored; non-zero on failure.
OVW_API int OVwDbSetFieldIntegerValue(OVwObjectId object, OVwFieldId field, int value);

}  // extern "C"

#endif  // ZOV_PLATFORM_OVW_H_
