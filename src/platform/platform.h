// The platform layer: the Kst* functions every other subsystem uses instead of
// calling the operating system directly.
//
// Design note
// -----------
// 1. Every function returns a 32-bit result code (0 = success) and passes
//    other results out through pointer arguments. Nothing here throws, and no
//    allocation failure escapes as an exception: it is 8192 (KST_HEAP_FULL).
// 2. Operating-system errors become the library's platform codes through one
//    table, KstMapOsError (errno in, code out). Codes mirror the Win32 numbers
//    the rest of the library was written against (2 not found, 32 sharing
//    violation, 121 time-out, ...).
// 3. All file and folder system calls, memory maps, futex calls, clock reads
//    and process and thread ids go through one table of function pointers,
//    KstOsApi (see os_api.h). Production uses the real calls; tests swap
//    entries to inject short writes, ENOSPC, EIO, a refused mapping, a failed
//    futex wait or a moved clock, or to record the order of writes and syncs.
// 4. Paths use "/" as the separator. Callers may pass "\"; it is turned into
//    "/" before the operating system sees a path.
// 5. Files are limited to 4 GiB: sizes and positions are 32-bit.
// 6. Named objects (shared memory, events, mutexes) exist exactly while some
//    process holds a handle to them; the last close, or the death of the last
//    holder, ends them (named_object.h has the mechanism).
// 7. Opaque handles (critical sections, shared memory, events, mutexes,
//    threads) are checked against a process-wide registry of live handles
//    before anything inside them is read, so a stale or foreign pointer gets
//    a result code instead of touching freed memory.
// 8. Files and folders the layer creates are no more visible than the named
//    objects: a file gets the classes of its folder, a folder 0700, a log
//    file 0600, each set with fchmod whatever the umask.
//
// Invariants of the layer's own making are checked with KRP_ASSERT
// (krp_assert.h) in debug and sanitizer builds; inputs get result codes.
//
// Lock order: the creation lock (a cross-process file lock) may be taken while
// a process-local handle-registry mutex is NOT held; the registry mutex is
// taken only for short lookups and never across a system call that can block.
#ifndef KRP_PLATFORM_PLATFORM_H
#define KRP_PLATFORM_PLATFORM_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "krplib.h"

// ---- result codes produced by this layer ---------------------------------
// The layer's names for the codes it returns. Each code is defined once, in
// the library's table of result codes (krplib.h, which depends on nothing);
// these are aliases of it, so a value can never drift between the layers.
enum : uint32_t {
  KST_OK = KRP_OK,
  KST_ERR_GENERAL = KRP_ERR_GENERAL,
  KST_ERR_FILE_NOT_FOUND = KRP_ERR_FILE_NOT_FOUND,
  KST_ERR_PATH_NOT_FOUND = KRP_ERR_PATH_NOT_FOUND,
  KST_ERR_TOO_MANY_OPEN_FILES = KRP_ERR_TOO_MANY_OPEN_FILES,
  KST_ERR_ACCESS_DENIED = KRP_ERR_ACCESS_DENIED,
  KST_ERR_INVALID_HANDLE = KRP_ERR_INVALID_HANDLE,
  KST_ERR_WRITE_PROTECT = KRP_ERR_WRITE_PROTECT,
  KST_ERR_SHARING_VIOLATION = KRP_ERR_SHARING_VIOLATION,
  KST_ERR_HANDLE_EOF = KRP_ERR_END_OF_FILE,
  KST_ERR_FILE_EXISTS = KRP_ERR_FILE_EXISTS,
  KST_ERR_INVALID_PARAMETER = KRP_ERR_INVALID_PARAMETER,
  KST_ERR_DISK_FULL = KRP_ERR_DISK_FULL,
  KST_ERR_TIMEOUT = KRP_ERR_TIMEOUT,
  KST_ERR_INVALID_NAME = KRP_ERR_INVALID_NAME,
  KST_ERR_MOD_NOT_FOUND = KRP_ERR_MOD_NOT_FOUND,
  KST_ERR_ALREADY_EXISTS = KRP_ERR_ALREADY_EXISTS,
  KST_ERR_ENVVAR_NOT_FOUND = KRP_ERR_ENVVAR_NOT_FOUND,
  KST_ERR_FILENAME_TOO_LONG = KRP_ERR_FILENAME_TOO_LONG,
  KST_ERR_NOT_SUPPORTED = KRP_ERR_NOT_SUPPORTED,
  KST_ERR_BUFFER_TOO_SMALL = KRP_ERR_BUFFER_TOO_SMALL,
  KST_HEAP_FULL = KRP_ERR_HEAP_FULL,
};

// Longest path or composed object name, terminator included.
constexpr uint32_t KST_MAX_PATH = 260;
// The key every caller passes to KstScrambleData / KstUnscrambleData.
constexpr uint32_t KST_SCRAMBLE_KEY = 0x7D3A91C5u;
// No time limit for the wait functions.
constexpr uint32_t KST_INFINITE = 0xFFFFFFFFu;

// ---- handles ---------------------------------------------------------------
// A file handle is the descriptor itself; an open that fails stores
// KST_INVALID_HFILE (all 32 bits set) in the caller's variable.
typedef int32_t KST_HFILE;
constexpr KST_HFILE KST_INVALID_HFILE = -1;

struct KstCritSec;
struct KstSem;        // an event or a mutex, named or unnamed
struct KstSharedMem;  // one mapping of a named shared region
struct KstThread;     // a thread started by KstCreateThread
typedef KstCritSec *KST_HCRITSEC;
typedef KstSem *KST_HSEM;
typedef KstSharedMem *KST_HSHMEM;
typedef KstThread *KST_HTHREAD;
typedef void *KST_HMODULE;

// ============================================================================
// Memory, files, modules, synchronisation, strings, scrambling, logging
// ============================================================================

// Allocates `size` bytes (not zeroed). 0, or 8192 with *out = nullptr.
// `flags` is 0 or KST_MEM_LARGE; `reserved` is ignored. A size of 0
// allocates a 1-byte block so that a success always comes with a pointer
// that KstFreeMem accepts.
// Every allocation of the library comes through here (kst_alloc.h carries
// objects and standard containers), so a test can make any one of them fail
// (test_hooks.h).
uint32_t KstAllocMem(uint32_t size, uint32_t flags, void **out, void *reserved);
// A block of many megabytes filled once and dropped soon (a pack's gathered
// data): it is laid on huge pages where the system allows, because on some
// virtual machines each first touch of a small page costs microseconds,
// which for hundreds of megabytes is far more than filling them. A hint; the
// block is freed by KstFreeMem like any other.
constexpr uint32_t KST_MEM_LARGE = 1;
// Releases a block from KstAllocMem; null is accepted. Always 0.
uint32_t KstFreeMem(void *p, uint32_t flags);

// Opens for reading; others may read but not write (shared flock).
// 32 when another handle holds the file read-write.
uint32_t KstOpenRFile(const char *name, KST_HFILE *out);
// Opens an existing file read-write with no sharing (exclusive flock).
// 32 when any other handle (this process included) holds the file.
uint32_t KstOpenRWFile(const char *name, KST_HFILE *out);
// Creates or truncates a file read-write with no sharing. The lock is taken
// before the truncation, so a file held by someone else gives 32 and keeps
// its contents. The file (new or emptied, when this user owns it) gets the
// mode of its folder's classes with fchmod, whatever the umask: read-write
// for every class that may enter the folder (0700 gives 0600, 2770 gives
// 0660, 0755 gives 0666; a folder every user may write gives 0600).
uint32_t KstCreateRWFile(const char *name, KST_HFILE *out, uint32_t reserved);
uint32_t KstCloseFile(KST_HFILE h);
// KstCreateRWFile for files that must never be written through a link:
// the last path component is opened with O_NOFOLLOW, so a symbolic link
// there gives 5 and nothing is created or emptied; anything but a regular
// file with exactly one link (a folder, a FIFO, a hard link to some other
// name) gives 5 as well. The mode is set as KstCreateRWFile sets it. Used
// for backups, pack markers and copies of the store.
uint32_t KstCreateRWFileNoLink(const char *name, KST_HFILE *out);
// KstCreateRWFileNoLink without the truncation: an existing file keeps its
// bytes. A writer that overwrites the file whole and then cuts it to its
// length so reuses its blocks and its cached pages, where emptying it first
// would free them only to allocate them again.
uint32_t KstOpenRWFileNoLink(const char *name, KST_HFILE *out);

// Share mode of a file already open: takes the shared ("others may read")
// lock on the handle's open file description without blocking (32 when a
// writer holds the file), or drops whatever lock the description holds. A
// reader that keeps its handle between calls holds the lock only during a
// call, so writers are kept out exactly while it reads.
uint32_t KstLockFileShared(KST_HFILE h);
uint32_t KstUnlockFile(KST_HFILE h);
// What tells one file from another and how large it is: device, inode and
// size, of an open handle or of whatever a path names now (following links).
// A path whose identity differs from a handle's names another file (the
// store was replaced). `owner` (the owning user) tells a file that another
// user made in place of one of ours even when it got the same inode number
// again. 87 null; else the mapped stat error.
struct KstFileId {
  uint64_t dev;
  uint64_t ino;
  uint64_t size;
  uint32_t owner;
};
uint32_t KstQueryFileId(KST_HFILE h, KstFileId *out);
uint32_t KstQueryPathId(const char *path, KstFileId *out);

// Positioned read: reads `count` bytes at *pos; *pos becomes *pos + bytes
// read. 0 when all were read, 38 when fewer were (end of file), else the
// mapped error. `read` may be null. The file pointer is not moved.
uint32_t KstReadFileAt(KST_HFILE h, uint32_t *pos, void *buf, uint32_t count, uint32_t *read);
// Positioned write; loops until every byte is written. A write that makes no
// progress gives 112; *pos advances by the bytes written, which `written`
// (may be null) reports. A write whose end would pass 4 GiB gives 112.
uint32_t KstWriteFileAt(KST_HFILE h, uint32_t *pos, const void *buf, uint32_t count,
                        uint32_t *written);
// Writes at the current file pointer (same looping as KstWriteFileAt).
uint32_t KstWriteFile(KST_HFILE h, const void *buf, uint32_t count, uint32_t *written,
                      void *reserved);
// Moves the file pointer: method 0 from the start, 1 from the current
// position, 2 from the end. A failure stores 0xFFFFFFFF in *newpos.
uint32_t KstSetFilePtr(KST_HFILE h, int32_t distance, uint32_t method, uint32_t *newpos,
                       void *reserved);
// 1 when `size` is null; a file of 4 GiB or more gives 87.
uint32_t KstQueryFileSize(KST_HFILE h, uint32_t *size, void *reserved);
// Makes `size` the end of the file; the truncation's own error is returned.
uint32_t KstSetFileSize(KST_HFILE h, uint32_t size);
// fsync.
uint32_t KstFlushFile(KST_HFILE h);
// Starts writing the bytes [pos, pos + count) of the file to its device and
// returns without waiting (sync_file_range with SYNC_FILE_RANGE_WRITE): a
// long sequential writer calls it behind itself, so that the device works
// while it goes on and its final KstFlushFile has little left to wait for.
// A hint only: nothing is durable before KstFlushFile, whose result alone
// counts; the platform's code of a refused call.
uint32_t KstStartWriteBack(KST_HFILE h, uint32_t pos, uint32_t count);
// Maps the first `len` bytes of an open file for reading (shared, read
// only) and stores their address in *out; KstUnmapFile gives them back.
// The map may reach past the file's present end, so that a file being
// written can be read through it as it grows; but only bytes below the end
// may be touched, and a byte the device cannot give back raises SIGBUS
// where a read would fail. 87 for a zero length or a null `out`; else the
// mapped error.
uint32_t KstMapFileRead(KST_HFILE h, uint32_t len, const void **out);
uint32_t KstUnmapFile(const void *addr, uint32_t len);
// Removes a file (read-only files too). 87 for null, 2 when missing.
uint32_t KstDeleteFile(const char *name);
// Syncs the folder that holds `path` (its last "/" decides), so that a newly
// created or renamed file survives a power loss.
uint32_t KstSyncParentDir(const char *path);
// Free bytes on the file system that holds `path` (f_bavail * f_frsize).
uint32_t KstQueryFreeSpace(const char *path, uint64_t *bytes);

// dlopen(RTLD_NOW|RTLD_LOCAL); 126 on any failure.
uint32_t KstLoadModule(KST_HMODULE *out, const char *name);
// Looks an entry point up by name (ordinals do not exist here: a non-zero
// ordinal gives 207). 207 when the name is not found.
uint32_t KstQueryProcAddr(KST_HMODULE mod, uint32_t ordinal, const char *name, void **out);

// Re-entrant critical sections (a recursive mutex). Create gives 1 when the
// allocation fails; the others give 6 for a handle that is not live.
uint32_t KstCreateCritSec(KST_HCRITSEC *out);
uint32_t KstDeleteCritSec(KST_HCRITSEC cs);
uint32_t KstEnterCritSec(KST_HCRITSEC cs);
uint32_t KstLeaveCritSec(KST_HCRITSEC cs);

// Sleeps at least `ms` milliseconds (resumes after a signal). Always 0.
uint32_t KstSleep(uint32_t ms);

// Waiting on a 32-bit word (wait_address.cc): sleeps while *word equals
// `expected`, until a KstWakeWord on the word or `timeout_ms` (KST_INFINITE:
// none). `shared`: the word lies in shared memory and wakers may be other
// processes. 0 when woken, when the word no longer held `expected`, or on a
// spurious return (the caller looks at its words again); 121 at the
// time-out; 87 for a null word.
struct KstWaitWord {
  const volatile uint32_t *word;
  uint32_t expected;
  bool shared;
};
uint32_t KstWaitOnWord(const KstWaitWord &w, uint32_t timeout_ms);
// Sleeps until either word changes or is woken (older kernels: the first
// word alone; the second is then seen at the time-out).
uint32_t KstWaitOnWords(const KstWaitWord &first, const KstWaitWord &second, uint32_t timeout_ms);
// Sleeps until any of words[0..count) changes or is woken; 1 <= count <=
// KST_WAIT_WORDS_MAX, else 87 (older kernels: the first word alone, as
// above).
constexpr uint32_t KST_WAIT_WORDS_MAX = 8;
uint32_t KstWaitOnWordList(const KstWaitWord *words, uint32_t count, uint32_t timeout_ms);
// Wakes every sleeper on `word`.
void KstWakeWord(const volatile uint32_t *word, bool shared);

// In place: turns every "\" in `path` into "/", appends one "/" unless the
// path ends with one, then appends `name` without a leading "/" or "\".
// The caller provides room. Returns `path`.
char *KstAppendPath(char *path, const char *name);
// Replaces the first occurrence of `find` in `text` (in place; the caller
// provides room). Returns where the replacement stands, or null.
char *KstReplaceString(char *text, const char *find, const char *replacement);

// The data scrambling applied to stored resource values (in place).
void KstScrambleData(uint32_t key, void *buf, uint32_t len);
void KstUnscrambleData(uint32_t key, void *buf, uint32_t len);

// errno -> platform code (see the table in errors.cc).
uint32_t KstMapOsError(int err);

// Forwards one complete, preformatted-by-format line to the logging library
// (libtracelib.so, "vlogprintfA"). Without the library nothing happens.
void KstLogPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void KstLogVPrintf(const char *fmt, va_list ap);

// The debugger channel of the request trace: one line, without its line
// end. With KST_DEBUG_OUTPUT set (and not empty) the line plus "\n" is
// appended to that file (a file it creates is 0600, whatever the umask) in one
// write() on an O_APPEND descriptor, so lines of several threads and
// processes never interleave inside a line; otherwise it goes to
// syslog(LOG_DEBUG, "%s", line). The line is data, never a format. Null is
// ignored; failures are silent (a diagnostic channel must not fail its
// caller); errno is preserved.
void KstOutputDebugString(const char *line);

// ============================================================================
// Paths, temporary files, registry, environment
// ============================================================================

// Path kinds (generic kinds of the product's folder table).
enum : uint32_t {
  KPATH_ROOT = 0,
  KPATH_TEMP = 6,
  KPATH_DOWNLOAD = 8,
  KPATH_DISTRIB = 10,
  KPATH_MSG = 11,
  KPATH_USERNAME = 12,
  KPATH_HOSTNAME = 13,
  KPATH_DOM = 17,
  KPATH_LOGS = 18,
  KPATH_BIN = 23,
  KPATH_CONFIG = 24,
  KPATH_BIN2 = 27,
  KPATH_INFO = 34,
  KPATH_RESOURCES = 42,
  KPATH_DISTRIB_DOWNLOAD = 43,
  KPATH_LOGLIB = 52,
  KPATH_TASKS = 55,
  KPATH_ROOT_TEMP = 56,
  KPATH_QUARANTINE = 60,
  KPATH_BACKUPS = 105,
};

// Writes the folder of `kind` (ending in "/", created 0700 with its parents) or,
// for kinds 12 and 13, the user or host name, into buf[size]. The folder kind
// 6 is "TEMP", "TMP", "TMPDIR" (the first set and not empty), else root/temp/,
// else /tmp/; it and the names answer without a recorded root. A name is cut
// to size - 1 characters and terminated. buf must hold the path, its "/" and
// the terminator. 87 null buffer, size 0 or unknown kind; 2 no root recorded;
// 4101 too small (nothing created); 206 path over KST_MAX_PATH bytes; else the
// error of creating the folder.
uint32_t KstQueryKestarPath(uint32_t kind, char *buf, uint32_t size);
// Creates a new file "%08x.<ext>" (default "tmp") in `folder` (default: the
// temporary folder) with O_CREAT|O_EXCL|O_NOFOLLOW, its mode set like
// KstCreateRWFile's from the folder (0600 in a 0700 folder and in /tmp),
// whatever the umask; the number comes from getrandom(), and an existing
// name (a link too) makes it draw again. out_path gets KST_MAX_PATH bytes. With a null
// out_handle the file is created and closed again; else the handle (never
// descriptor 0-2) holds the file read-write with no sharing, like
// KstCreateRWFile, and a failure stores KST_INVALID_HFILE.
// 87 null out_path or "" folder; 123 extension with a separator; 206 name
// over KST_MAX_PATH; 80 after 100 clashes in a row; else the mapped error (a
// file made before a later step failed is removed).
uint32_t KstCreateTmpFile(const char *folder, const char *ext, char *out_path,
                          KST_HFILE *out_handle);
// Reads the value file <registry>/SOFTWARE/<subkey>/<value> into buf[size]
// (buffer cleared first; "" in the sub-key counts as "/"). <registry> is
// $KST_REGISTRY, default /etc/kestarcorp/registry. 87 null; 2 missing key or
// value (also a key, or anything but a regular file, at the value's name);
// 4101 the value is larger than size.
uint32_t KstQueryRegistryValue(const char *subkey, const char *value, void *buf, uint32_t size);
// The cached product root (without a trailing "/" unless the value has one);
// each non-null output gets the root and its terminator (at most
// KST_MAX_PATH bytes). The value SOFTWARE/Kestarcorp/RootPath is read up to
// its first NUL, trailing line ends dropped, "" turned into "/". A failure is
// not cached. 2 not recorded (or empty); 206 longer than KST_MAX_PATH - 1.
uint32_t KstQueryRootPath(char *out, char *out2);
// Never truncates. 87 null; 203 not set; 4101 too small (terminator counts).
uint32_t KstGetEnv(const char *name, char *buf, uint32_t size);
// Host: gethostname, else "HOSTNAME", else "COMPUTERNAME". User: the
// effective user's password entry, else "USER", else "USERNAME". A name found
// nowhere is "" with 0. Either buffer may be null; 4101 when a name does not
// fit (a size of 0 included).
uint32_t KstQueryUserHost(char *user, uint16_t user_size, char *host, uint16_t host_size);
// Attribute bits: read-only 1 (no owner write bit), hidden 2 (a name starting
// with ".", not "." or ".."), directory 16, archive 32 (regular files),
// reparse point 0x1000 (a symlink, reported alone: it is not followed).
// 87 null; else the mapped lstat error (2 missing).
uint32_t KstQueryFileAttr(const char *path, uint32_t *attrs);
// mkdir; a new folder is 0700, set with fchmod whatever the umask. An existing folder, or a link to
// one, is 0; anything else in the way is 3. 87 null or ""; 206 too long.
uint32_t KstCreateDir(const char *path);
// KstCreateDir for the path and every missing parent (each new one 0700). When a parent cannot be
// created, its error is returned (5 for a folder the caller may not write).
uint32_t KstCreateDirTree(const char *path);
// Appends "/" unless the path ends with one (or with ""). 87 for null.
uint32_t KstEnsureBackslash(char *path);
// The calling thread's kernel id (gettid, asked once per thread). 87 for
// null.
uint32_t KstQueryThreadId(uint32_t *id);
// The process id (getpid). 87 for null.
uint32_t KstQueryProcessId(uint32_t *id);
// Always false: there is no 32-bit registry view on this platform.
bool KstIsWow64();

// ============================================================================
// Named shared memory, events, mutexes, threads
// ============================================================================

// Creates the region, or opens it when it exists (it keeps its contents; a new
// one is zeroed). An existing region smaller than `size` is refused with 1.
// 87 missing argument, 123 bad name, 206 composed name too long, 121 creation
// lock not obtained within 5000 ms.
uint32_t KstCreateSharedMem(const char *name, void **addr, uint32_t size, KST_HSHMEM *out);
uint32_t KstCreateSharedMemGlobal(const char *name, void **addr, uint32_t size, KST_HSHMEM *out);
// Opens an existing region (its whole size is mapped). 2 when it does not
// exist or its last holder died.
uint32_t KstOpenSharedMem(const char *name, void **addr, KST_HSHMEM *out);
uint32_t KstOpenSharedMemGlobal(const char *name, void **addr, KST_HSHMEM *out);
// The usable size of a mapped region.
uint32_t KstQuerySharedMemSize(KST_HSHMEM h, uint32_t *size);
// Unmaps and closes; the last holder removes the object. 87 for a null address
// or a handle that is not live.
uint32_t KstFreeSharedMem(void *addr, KST_HSHMEM h);

// Events. A null name makes a process-local event. Creating an existing event
// opens it. Wait: 0 signalled, 121 time-out, 6 bad handle.
uint32_t KstCreateEventSem(const char *name, int initial_state, int manual_reset, KST_HSEM *out);
uint32_t KstCreateEventSemGlobal(const char *name, int initial_state, int manual_reset,
                                 KST_HSEM *out);
uint32_t KstOpenEventSem(const char *name, KST_HSEM *out);
uint32_t KstOpenEventSemGlobal(const char *name, KST_HSEM *out);
uint32_t KstWaitForEventSem(KST_HSEM h, uint32_t ms);
uint32_t KstSignalEventSem(KST_HSEM h);
uint32_t KstResetEventSem(KST_HSEM h);
uint32_t KstCloseEventSem(KST_HSEM h);

// Mutexes: recursive, robust (an owner that died leaves it to the next
// waiter, which gets 0). A null name makes a process-local mutex. Hand-offs
// are fair: a thread whose release found lockers asleep gives the woken one
// a brief chance (at most 200 us, yielding) to take the mutex before it
// takes it back itself.
uint32_t KstCreateMutexSem(const char *name, KST_HSEM *out);
uint32_t KstCreateMutexSemGlobal(const char *name, KST_HSEM *out);
uint32_t KstCreateMutexSemLocal(const char *name, KST_HSEM *out);
uint32_t KstOpenMutexSem(const char *name, KST_HSEM *out);
uint32_t KstOpenMutexSemGlobal(const char *name, KST_HSEM *out);
// 0 acquired (also when abandoned), 121 time-out, 1 failed wait.
uint32_t KstRequestMutexSem(KST_HSEM h, uint32_t ms);
// 0, or 1 (ERROR_NOT_OWNER in spirit) when the caller does not own it.
uint32_t KstReleaseMutexSem(KST_HSEM h);
uint32_t KstCloseMutexSem(KST_HSEM h);

// Threads. The record is reference-counted: the creator's handle stays valid
// after the thread ended, until KstCloseThread.
typedef void (*KstThreadFn)(void *arg);
uint32_t KstCreateThread(KstThreadFn fn, void *arg, uint32_t reserved1, uint32_t reserved2,
                         uint32_t stack_size, KST_HTHREAD *out);
// Ends the calling thread (any thread started by KstCreateThread).
[[noreturn]] void KstExitThread();
// option != 0: 0 at once. Else waits: 0 ended, 121 time-out, 6 bad handle.
uint32_t KstWaitForThread(KST_HTHREAD h, uint32_t option, uint32_t ms);
// Drops the creator's reference.
uint32_t KstCloseThread(KST_HTHREAD h);

#endif  // KRP_PLATFORM_PLATFORM_H
