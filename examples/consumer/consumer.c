/* A program of the suite that uses krplib through its installed C header and
 * library only.
 *
 *   krplib_consumer NAME VALUE   writes VALUE as the TEXT resource NAME and
 *                                reads it back
 *   krplib_consumer NAME         reads the TEXT resource NAME
 *
 * It prints "NAME = VALUE (through the host)" when a host served the call,
 * or "(directly)" when the library read the store file itself, after a line
 * with the library's interface version. Exit 0 on success, 1 when a call
 * failed (its code and meaning on standard error), 2 on a usage error.
 *
 * Built with pkg-config:
 *   cc consumer.c $(pkg-config --cflags --libs krplib) -o krplib_consumer
 * or with CMake (CMakeLists.txt beside this file: find_package(krplib)). */
#include <krplib.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

static int report(const char *call, uint32_t rc) {
  fprintf(stderr, "krplib_consumer: %s: %s (0x%08x)\n", call, dll_KrpResultText(rc),
          (unsigned)rc);
  return kExitFailed;
}

int main(int argc, char **argv) {
  char value[256];
  uint32_t size = sizeof value;
  uint16_t version = 0;
  uint32_t rc;
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: krplib_consumer NAME [VALUE]\n");
    return kExitUsage;
  }
  rc = dll_KrplibGetInterfaceVersion(&version);
  if (rc != KRP_OK) return report("interface version", rc);
  printf("krplib interface version %u\n", (unsigned)version);

  if (argc == 3) {
    rc = dll_KrpSetString(argv[1], (uint32_t)strlen(argv[2]), argv[2], NULL, NULL);
    if (rc != KRP_OK) return report("write", rc);
  }
  rc = dll_KrpGetString(argv[1], &size, value);
  if (rc != KRP_OK) return report("read", rc);
  printf("%s = %s (%s)\n", argv[1], value,
         dll_KrpIsMtAvailable() == KRP_OK ? "through the host" : "directly");
  return kExitOk;
}
