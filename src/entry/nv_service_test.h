// The plug-in's one exported operation. Usable from C.
#ifndef ZOV_ENTRY_NV_SERVICE_TEST_H_
#define ZOV_ENTRY_NV_SERVICE_TEST_H_

// The calling convention of NvServiceTest, named here only: the platform's
// function-pointer type must use the same one. __cdecl is the C default of
// every Windows compiler, so a plain function-pointer type matches it.
#if defined(_WIN32)
#  define NV_CALL __cdecl
#  define NV_EXPORT __declspec(dllexport)
#else
#  define NV_CALL
#  define NV_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// address: the printer's host name or address (null allowed); options: the
// option string (null allowed). Returns 0, 2, 3 or 4.
NV_EXPORT int NV_CALL NvServiceTest(const char* address, const char* options);

#ifdef __cplusplus
}
#endif

#endif  // ZOV_ENTRY_NV_SERVICE_TEST_H_
