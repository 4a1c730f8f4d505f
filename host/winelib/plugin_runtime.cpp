// Built with Wine's own Windows headers, unlike the stand-ins' sources.
#include "plugin_runtime.h"

#include <windows.h>

#include <mutex>

namespace {

using FreeFunction = void(__cdecl*)(void*);

FreeFunction MsvcrtFree() {
  static std::once_flag once;
  static FreeFunction free_function = nullptr;
  std::call_once(once, [] {
    HMODULE msvcrt = GetModuleHandleA("msvcrt.dll");
    if (msvcrt != nullptr) {
      // FARPROC stands for any function; "free" is cdecl free(void*).
      free_function = reinterpret_cast<FreeFunction>(
          reinterpret_cast<void*>(GetProcAddress(msvcrt, "free")));
    }
  });
  return free_function;
}

}  // namespace

extern "C" void zov_PluginFree(void* block) {
  if (block == nullptr) return;
  FreeFunction release = MsvcrtFree();
  if (release != nullptr) release(block);
}
