// Import-table entries for the fakes when they are linked into a test
// executable. The plug-in's objects are compiled against the platform
// headers, which declare the library calls and data dllimport, so they reach
// them through __imp_ pointers; a DLL's import table would hold those. Here
// the fakes are in the same executable, so these pointers stand in for it.
//
// The headers are not included: through their dllimport declarations the
// address of a call would itself be read from the pointer defined here.

// The symbol of an import pointer: __imp_ plus the C name as the target
// decorates it (a leading underscore on 32-bit x86).
#if defined(__i386__)
#  define ZOV_IMPORT_SYMBOL(name) "__imp__" #name
#else
#  define ZOV_IMPORT_SYMBOL(name) "__imp_" #name
#endif
#define ZOV_IMPORT(name) \
  extern "C" char name; \
  extern "C" const void* const zov_imp_##name __asm__(ZOV_IMPORT_SYMBOL(name)); \
  extern "C" const void* const zov_imp_##name = &name

ZOV_IMPORT(OVsnmpOpen);
ZOV_IMPORT(OVsnmpClose);
ZOV_IMPORT(OVsnmpCreatePdu);
ZOV_IMPORT(OVsnmpFreePdu);
ZOV_IMPORT(OVsnmpAddNullVarBind);
ZOV_IMPORT(OVsnmpAddTypedVarBind);
ZOV_IMPORT(OVsnmpBlockingSend);
ZOV_IMPORT(OVsnmpSend);
ZOV_IMPORT(OVsnmpErrString);
ZOV_IMPORT(OVsnmpErrno);
ZOV_IMPORT(OVsnmpDumpPacket);

ZOV_IMPORT(OVwDbInit);
ZOV_IMPORT(OVwError);
ZOV_IMPORT(OVwErrorMsg);
ZOV_IMPORT(OVwDbFieldNameToFieldId);
ZOV_IMPORT(OVwDbHostnameToObjectId);
ZOV_IMPORT(OVwDbGetFieldIntegerValue);
ZOV_IMPORT(OVwDbSetFieldIntegerValue);
