/* The plug-in as a C host sees it: loaded by path, NvServiceTest looked up
 * by its plain name and called through a C function pointer. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "entry/nv_service_test.h"

typedef int(NV_CALL* ServiceTestFunction)(const char*, const char*);

static int Fail(const char* what) {
  fprintf(stderr, "c_abi_test: %s\n", what);
  return 1;
}

int main(int argc, char** argv) {
  char dir[] = "/tmp/zov-c-abi-XXXXXX";
  char text[256] = {0};
  const char expected[] = "Call with object address\n";
  if (argc != 2) return Fail("usage: c_abi_test PLUGIN");
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (plugin == NULL) return Fail(dlerror());
  ServiceTestFunction call = (ServiceTestFunction)dlsym(plugin, "NvServiceTest");
  if (call == NULL) return Fail("NvServiceTest not exported");

  if (mkdtemp(dir) == NULL || chdir(dir) != 0) return Fail("no temporary directory");
  unsetenv("NV_DRIVE");
  if (call(NULL, "-l") != 0) return Fail("NvServiceTest(NULL, \"-l\") did not return 0");
  if (call(NULL, NULL) != 0) return Fail("NvServiceTest(NULL, NULL) did not return 0");

  FILE* log = fopen("pslog.txt", "r");
  if (log == NULL) return Fail("pslog.txt was not created");
  size_t length = fread(text, 1, sizeof text - 1, log);
  fclose(log);
  remove("pslog.txt");
  if (chdir("/") == 0) rmdir(dir);
  if (length != strlen(expected) || memcmp(text, expected, length) != 0) {
    return Fail("pslog.txt does not hold exactly the one line");
  }
  return 0;
}
