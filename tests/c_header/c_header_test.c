/* Uses krplib.h from C: the header compiles as C99 with every warning, its
 * types have the sizes callers rely on, and a host started from C serves a
 * read, a typed getter, the size protocol and the locale calls; the result
 * code constants and their texts are usable from C. Runs in a
 * private folder of its own (objects, registry, product root). Exit 0 on
 * success; the number of the failed check otherwise. */
#define _XOPEN_SOURCE 700
#include "krplib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ftw.h>
#include <sys/stat.h>

static int failed = 0;
#define CHECK(n, cond)                                         \
  do {                                                         \
    if (!(cond)) {                                             \
      fprintf(stderr, "check %d failed: %s\n", (n), #cond);    \
      if (!failed) failed = (n);                               \
    }                                                          \
  } while (0)

static char dir[] = "/tmp/krpc-XXXXXX";

static int remove_entry(const char *path, const struct stat *st, int flag, struct FTW *ftw) {
  (void)st;
  (void)flag;
  (void)ftw;
  return remove(path);
}

static int make_env(void) {
  char p[512];
  FILE *f;
  if (!mkdtemp(dir)) return 1;
  snprintf(p, sizeof p, "%s/objects", dir);
  if (mkdir(p, 0700) != 0) return 1;
  setenv("KST_OBJECT_DIR", p, 1);
  snprintf(p, sizeof p, "%s/root", dir);
  if (mkdir(p, 0700) != 0) return 1;
  snprintf(p, sizeof p, "%s/registry", dir);
  if (mkdir(p, 0700) != 0) return 1;
  setenv("KST_REGISTRY", p, 1);
  snprintf(p, sizeof p, "%s/registry/SOFTWARE", dir);
  if (mkdir(p, 0700) != 0) return 1;
  snprintf(p, sizeof p, "%s/registry/SOFTWARE/Kestarcorp", dir);
  if (mkdir(p, 0700) != 0) return 1;
  snprintf(p, sizeof p, "%s/registry/SOFTWARE/Kestarcorp/RootPath", dir);
  f = fopen(p, "w");
  if (!f) return 1;
  fprintf(f, "%s/root", dir);
  fclose(f);
  return 0;
}

/* A resource callback of the enumeration, as a plain C function. */
static uint32_t count_value(const char *container, const char *entry, uint32_t type,
                            uint32_t size, void *context) {
  (void)container;
  (void)entry;
  (void)type;
  *(uint32_t *)context += size;
  return 0;
}

int main(void) {
  KRP_HLIBCTX ctx = NULL;
  KrpAttributes attrs;
  char buf[32];
  char loc[3];
  uint32_t size, type = 0, u = 0;
  int32_t i = 0;

  CHECK(1, sizeof(KrpAttributes) == 8);
  CHECK(2, KRT_TEXT == 1u && KRT_UTC == 12u);
  if (make_env() != 0) return 100;

  CHECK(3, dll_KrpInitializeKrpLib(&ctx) == 0);
  CHECK(4, dll_KrpSetCurrentLocale("de") == 0);
  CHECK(5, dll_KrpGetLocale(loc) == 0 && strcmp(loc, "de") == 0);
  CHECK(6, dll_KrpSetLocale(NULL) == 87);

  size = sizeof buf;
  CHECK(7, dll_KrpGetString("vendor.locale.current_locale", &size, buf) == 0 && size == 3 &&
               strcmp(buf, "de") == 0);
  size = 2;
  CHECK(8, dll_KrpGetString("vendor.locale.current_locale", &size, buf) == 0x1005u &&
               size == 3);
  size = sizeof buf;
  CHECK(9, dll_KrpGetResource(KRT_TEXT, "vendor.locale.current_locale", &size, buf, &attrs,
                              NULL) == 0 && attrs.timestamp != 0);
  size = sizeof buf;
  CHECK(10, dll_KrpGetResourceForLocale(KRT_ANY, "vendor.locale", &size, buf, NULL, &type,
                                        "zz", NULL, NULL) == 0 && type == KRT_CONTAINER);
  CHECK(11, dll_KrpGetInteger("vendor.none", &i) == KRP_ERR_NOT_FOUND);
  CHECK(12, dll_KrpGetUTC(NULL, NULL) == KRP_ERR_INVALID_PARAMETER);
  CHECK(13, dll_KrpGetString(NULL, &size, buf) == 87);
  CHECK(14, dll_KrpFreeMem(NULL) == 87);
  /* Write, read back, delete through the server. */
  CHECK(21, dll_KrpSetString("vendor.c.s", 5, "hello", NULL, NULL) == KRP_OK);
  size = sizeof buf;
  CHECK(22, dll_KrpGetString("vendor.c.s", &size, buf) == 0 && size == 6 &&
                strcmp(buf, "hello") == 0);
  CHECK(23, dll_KrpSetUTC("vendor.c.u", 77u, NULL, NULL) == 0 &&
                dll_KrpGetUTC("vendor.c.u", &u) == 0 && u == 77u);
  CHECK(24, dll_KrpDeleteResource(KRT_INTEGER, "vendor.c.s") == KRP_ERR_WRONG_TYPE);
  CHECK(25, dll_KrpDeleteResource(KRT_TEXT, "vendor.c.s") == 0);
  size = sizeof buf;
  CHECK(26, dll_KrpGetString("vendor.c.s", &size, buf) == KRP_ERR_NOT_FOUND);
  CHECK(15, dll_KrpUninitializeKrpLib(&ctx) == 0);
  /* No server: writes go to the store file, deletes are refused. */
  CHECK(27, dll_KrpSetInteger("vendor.c.i", -3, NULL, NULL) == 0 &&
                dll_KrpGetInteger("vendor.c.i", &i) == 0 && i == -3);
  CHECK(28, dll_KrpDeleteResource(KRT_INTEGER, "vendor.c.i") == KRP_ERR_NO_SERVER);
  /* Listing and enumeration with a C callback: "vendor.c" holds u ("77")
   * and i ("-3"). */
  CHECK(29, dll_KrpGetResourceType("vendor.c", &type) == 0 && type == KRT_CONTAINER);
  u = 0;
  size = 0;
  CHECK(30, dll_KrpClientEnumerateContainer("vendor.c", NULL, &size, NULL, count_value, &u) ==
                    0 && size == 2 && u == 4);
  /* No server: the same read from the store file. */
  size = sizeof buf;
  CHECK(16, dll_KrpGetString("vendor.locale.current_locale", &size, buf) == 0 &&
                strcmp(buf, "de") == 0);
  /* The result codes: plain C constants of the documented values, and
   * their texts. */
  CHECK(17, KRP_OK == 0u && KRP_ERR_BUFFER_TOO_SMALL == 0x1005u &&
                KRP_ERR_NO_SERVER == 0x141001u && KRP_ERR_IS_CONTAINER == 0x370010u);
  CHECK(18, strcmp(dll_KrpResultText(KRP_ERR_NOT_FOUND), "not found") == 0);
  CHECK(19, strcmp(dll_KrpResultText(0x12345678u), "unknown result code") == 0);
  CHECK(20, dll_KrpResultText(KRP_ERR_NAME_TOO_LONG)[0] != '\0');
  nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  return failed;
}
