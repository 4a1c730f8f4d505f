// The C runtime of the Windows program that calls the stand-ins (msvcrt), as
// opposed to the one they run on themselves (glibc).
#ifndef ZOV_HOST_WINELIB_PLUGIN_RUNTIME_H_
#define ZOV_HOST_WINELIB_PLUGIN_RUNTIME_H_

extern "C" {

// Releases a block the caller allocated with its own malloc (null is
// ignored). Where msvcrt cannot be found the block is kept, never handed
// to the wrong allocator.
void zov_PluginFree(void* block);

}  // extern "C"

#endif  // ZOV_HOST_WINELIB_PLUGIN_RUNTIME_H_
