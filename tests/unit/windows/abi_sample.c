/* A stand-in plug-in DLL for checking scripts/check-dll-abi itself: built
   plainly it has the plug-in's interface; each macro breaks it in one way. */
#include <winsock.h>
#include <windows.h>
#if defined(SAMPLE_PTHREAD)
#include <pthread.h>
#endif

#if defined(SAMPLE_STDCALL)
#define SAMPLE_CALL __stdcall
#else
#define SAMPLE_CALL __cdecl
#endif

__declspec(dllexport) int SAMPLE_CALL NvServiceTest(const char* address, const char* options) {
  WSADATA data;
  char name[30] = {0};
  int result;
  if (WSAStartup(0x0101, &data) != 0) return 0;
  result = gethostname(name, sizeof name);
#if defined(SAMPLE_RECV)
  {
    char byte;
    recv(INVALID_SOCKET, &byte, 1, 0);
  }
#endif
#if defined(SAMPLE_PTHREAD)
  if (pthread_self() == 0) result = -1;
#endif
  WSACleanup();
  return result == 0 && address != NULL && options != NULL ? 2 : 0;
}

#if defined(SAMPLE_EXTRA_EXPORT)
__declspec(dllexport) int RunPollCycle(void) { return 0; }
#endif
