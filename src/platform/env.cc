// Environment variables, user and host names, thread and process ids.
//
// Design note
// -----------
// 1. KstGetEnv is the one reader of the environment for the layers above; it
//    never truncates: a value that does not fit (terminator included) gives
//    4101 and leaves the buffer untouched.
// 2. User and host names come from the system first (the effective user's
//    password entry, gethostname) and fall back to the variables that name
//    them ("USER", "USERNAME"; "HOSTNAME", "COMPUTERNAME"). A variable that
//    is not set moves on to the next source; a name found nowhere is
//    returned as "" with result 0.
// 3. There is no 32-bit view of anything on this platform: KstIsWow64 is
//    always false.
#include <pwd.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "os_api.h"
#include "platform.h"

namespace {

// Copies `src` with its terminator into dst[size]; 4101 when it does not fit.
uint32_t CopyName(const char *src, char *dst, uint32_t size) {
  size_t len = strlen(src);
  if (len + 1 > size) return KST_ERR_BUFFER_TOO_SMALL;
  memcpy(dst, src, len + 1);
  return KST_OK;
}

// The first of two variables that is set and not empty, copied to dst.
// 203 when neither is; any other failure (4101) is returned.
uint32_t EnvFallback(const char *first, const char *second, char *dst, uint32_t size) {
  for (const char *name : {first, second}) {
    uint32_t rc = KstGetEnv(name, dst, size);
    if (rc == KST_ERR_ENVVAR_NOT_FOUND) continue;
    if (rc) return rc;
    if (dst[0] != '\0') return KST_OK;
  }
  return KST_ERR_ENVVAR_NOT_FOUND;
}

// The effective user's login name from the password database. 2 when the
// user has no entry (a container with a bare uid), 8192 without memory.
uint32_t SystemUserName(char *dst, uint32_t size) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t cap = hint > 0 ? static_cast<size_t>(hint) : 1024;
  for (;;) {
    void *mem = nullptr;
    if (KstAllocMem(uint32_t(cap), 0, &mem, nullptr)) return KST_HEAP_FULL;
    char *scratch = static_cast<char *>(mem);
    struct passwd pw;
    struct passwd *found = nullptr;
    int err = getpwuid_r(geteuid(), &pw, scratch, cap, &found);
    uint32_t rc;
    if (err == ERANGE && cap < (1u << 20)) {
      KstFreeMem(scratch, 0);
      cap *= 2;
      continue;
    }
    if (err != 0 || !found || !found->pw_name || !*found->pw_name) {
      rc = KST_ERR_FILE_NOT_FOUND;
    } else {
      rc = CopyName(found->pw_name, dst, size);
    }
    KstFreeMem(scratch, 0);
    return rc;
  }
}

uint32_t SystemHostName(char *dst, uint32_t size) {
  // 255 bytes is the most any Linux host name can be (HOST_NAME_MAX is 64).
  char name[256];
  if (gethostname(name, sizeof name) != 0) return KstMapOsError(errno);
  name[sizeof name - 1] = '\0';
  if (name[0] == '\0') return KST_ERR_FILE_NOT_FOUND;
  return CopyName(name, dst, size);
}

}  // namespace

uint32_t KstGetEnv(const char *name, char *buf, uint32_t size) {
  if (!name || !buf) return KST_ERR_INVALID_PARAMETER;
  const char *v = getenv(name);
  if (!v) return KST_ERR_ENVVAR_NOT_FOUND;
  return CopyName(v, buf, size);
}

uint32_t KstQueryUserHost(char *user, uint16_t user_size, char *host, uint16_t host_size) {
  if (host) {
    if (host_size == 0) return KST_ERR_BUFFER_TOO_SMALL;
    host[0] = '\0';
    uint32_t rc = SystemHostName(host, host_size);
    if (rc == KST_ERR_BUFFER_TOO_SMALL) return rc;
    if (rc) {
      host[0] = '\0';
      rc = EnvFallback("HOSTNAME", "COMPUTERNAME", host, host_size);
      if (rc && rc != KST_ERR_ENVVAR_NOT_FOUND) return rc;
    }
  }
  if (user) {
    if (user_size == 0) return KST_ERR_BUFFER_TOO_SMALL;
    user[0] = '\0';
    uint32_t rc = SystemUserName(user, user_size);
    if (rc == KST_ERR_BUFFER_TOO_SMALL || rc == KST_HEAP_FULL) return rc;
    if (rc) {
      user[0] = '\0';
      rc = EnvFallback("USER", "USERNAME", user, user_size);
      if (rc && rc != KST_ERR_ENVVAR_NOT_FOUND) return rc;
    }
  }
  return KST_OK;
}

namespace {

// The calling thread's id, asked of the kernel once per thread: every
// request of the store service asks for it (mutex ownership, the host's
// fault guard), and a system call each time is a measurable share of a
// round trip. A forked child's only thread is the one that called fork,
// with a new id, so the fork handler forgets the copy it inherited.
thread_local uint32_t t_tid = 0;
void ForgetTid() { t_tid = 0; }
const int g_tid_fork_hook = pthread_atfork(nullptr, nullptr, ForgetTid);

}  // namespace

uint32_t KstQueryThreadId(uint32_t *id) {
  if (!id) return KST_ERR_INVALID_PARAMETER;
  if (t_tid == 0) t_tid = static_cast<uint32_t>(KstOsApiCurrent()->gettid());
  *id = t_tid;
  return KST_OK;
}

uint32_t KstQueryProcessId(uint32_t *id) {
  if (!id) return KST_ERR_INVALID_PARAMETER;
  *id = static_cast<uint32_t>(KstOsApiCurrent()->getpid());
  return KST_OK;
}

bool KstIsWow64() { return false; }
