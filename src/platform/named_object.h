// Named kernel objects on Linux: one file per object in the object folder.
//
// Design note
// -----------
// A named object (shared region, event, mutex) must exist exactly while some
// process holds a handle to it, and vanish when the last holder closes it or
// dies. The mechanism:
//
// 1. Every object is one regular file in the object folder, named by its
//    composed name ("SHAREMEM_" / "SEM32_EVENT_" / "SEM32_" + the caller's
//    name without a "Global\" or "Local\" prefix), mapped MAP_SHARED whole.
// 2. Every handle opens the file itself (its own open file description, never
//    a dup) and holds a shared flock on it. flock locks belong to the open
//    file description, so they go away with the last descriptor of it, and
//    with the process when it dies. fcntl record locks are never used: closing
//    any descriptor of a file would drop all of the process's locks on it.
// 3. A file on which nobody holds a lock is dead (its last holder crashed).
//    The probe is a non-blocking exclusive flock. Opening a dead object gives
//    2 (and removes the file); creating one removes it and starts afresh.
// 4. Create, open and close of every object, every lock change on an object
//    file and every unlink run under the creation lock: an exclusive flock on
//    the lock file "BRAXOLITE_GLB" in the object folder, waited for on the
//    monotonic clock with a 5000 ms deadline (121). Since the "Global\" and
//    "Local\" forms name the same file here, every object takes the same lock
//    file; a lock chosen by the caller's prefix would let two processes create
//    one object under two different locks.
//    One look runs without it: an open that may not create first looks
//    whether the file exists at all, and answers 2 at once when it does
//    not (the answer a locked open would have given at that instant).
// 5. The last holder to close unlinks: under the creation lock, a successful
//    LOCK_EX|LOCK_NB on its own descriptor proves nobody else holds the file.
//    (A failed upgrade drops our shared lock; we are closing anyway, and no one
//    can look at the file while we hold the creation lock.)
// 6. The folder is checked before use: not a symbolic link, owned by the
//    caller or root, not writable by 'other' (else 5 with a log line). Files
//    are opened relative to the checked folder descriptor with
//    O_NOFOLLOW|O_CLOEXEC; anything that is not a regular file with one link,
//    or that belongs to a user the folder does not vouch for, is refused (5).
//    After locking, the name must still name the inode we hold.
// 7. File mode: readable and writable by every class that may enter the
//    folder (0700 gives 0600, 2770 gives 0660, 0755 gives 0666), set with
//    fchmod so the umask does not matter. The rule is KstFileModeForFolder
//    (platform_internal.h); the store's files follow it too.
// 8. A process that forks keeps its flock locks in the child (the child's
//    descriptors share the parent's open file descriptions). A pthread_atfork
//    child handler closes the child's copies and marks the handles forgotten
//    (every operation on them then gives 6), so a forked child cannot keep a
//    crashed parent's objects alive. The parent side always unlocks with
//    LOCK_UN before closing, so a stray copy held by a child never keeps a
//    lock either. The file is mapped through a second, unlocked open file
//    description: a mapping holds its description open, and the child's
//    inherited mapping must not hold the locked one.
// 9. Exit handlers never unmap or close: the kernel releases mappings and
//    locks at exit, and other threads may still use them until then.
//
// File layout (little-endian, every field 32 bits; the payload starts at 64
// so that a mutex or futex word in it is well aligned):
//
//   offset  field
//   0       magic       0x4F42524B ("KRBO")
//   4       kind        1 shared region, 2 event, 3 mutex
//   8       version     1
//   12      payload     payload size in bytes
//   16      init state  0 while being set up, 0x52454459 ("YDER") once ready;
//                       written last, with release order
//   20..63  reserved    zero
//   64      payload
//
// A file shorter than 64 + payload, or with a wrong magic, kind or version,
// or not ready although someone holds it, is refused with 1 and a log line:
// it was not made by this code, and mapping it short would fault.
#ifndef KRP_PLATFORM_NAMED_OBJECT_H
#define KRP_PLATFORM_NAMED_OBJECT_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

enum class KstObjKind : uint32_t {
  SharedMem = 1,
  Event = 2,
  Mutex = 3,
};

constexpr uint32_t KST_OBJ_MAGIC = 0x4F42524Bu;
constexpr uint32_t KST_OBJ_VERSION = 1;
constexpr uint32_t KST_OBJ_READY = 0x52454459u;
constexpr size_t KST_OBJ_HEADER_SIZE = 64;
// How long create, open and close wait for the creation lock.
constexpr uint32_t KST_CREATION_LOCK_MS = 5000;

struct KstObjHeader {
  uint32_t magic;
  uint32_t kind;
  uint32_t version;
  uint32_t payload_size;
  uint32_t init_state;  // accessed through std::atomic_ref
  uint32_t reserved[11];
};
static_assert(sizeof(KstObjHeader) == KST_OBJ_HEADER_SIZE, "object header is 64 bytes");

// One handle's hold on a named object. Linked into the process's list of
// descriptors to forget in a forked child (invariant 8) from the moment its
// file is opened until it is closed.
struct KstNamedObject {
  int fd = -1;        // own open file description, holds a shared flock
  int dir_fd = -1;    // the checked object folder
  void *base = nullptr;  // mapping of the whole file
  size_t map_size = 0;
  uint32_t payload_size = 0;
  KstObjKind kind = KstObjKind::SharedMem;
  bool forgotten = false;  // set in a forked child: every use gives 6
  bool lock_node = false;  // a held creation lock, not an object
  KstNamedObject *prev = nullptr, *next = nullptr;
  char file_name[256] = {};

  void *payload() const { return static_cast<char *>(base) + KST_OBJ_HEADER_SIZE; }
};

// An event or mutex handle (KST_HSEM). Registered as KstHandleKind::Event or
// KstHandleKind::Mutex, so a mutex handle passed to an event function gives
// 6. Named: the state lives in obj's payload. Unnamed (process-local): in
// `local`, and obj is null.
struct KstSem {
  KstNamedObject *obj = nullptr;
  void *state = nullptr;  // the event state or the pthread mutex
  // Events: how long a wait spins before it sleeps, adapted per handle.
  std::atomic<uint32_t> spin_ns{4000};
  // Mutexes: acquisitions through this handle not yet released. Closing a
  // handle whose mutex a thread of this process still owns keeps the memory:
  // that thread's robust list points into it.
  std::atomic<int32_t> owned{0};
  alignas(64) unsigned char local[64] = {};
};

// Fills a fresh payload (zeroed already). 0, or a code that aborts the create.
typedef uint32_t (*KstObjInitFn)(void *payload, uint32_t size, void *ctx);

// Composes the file name of an object: drops a leading "Global\" or
// "Local\", checks the rest (letters, digits, "_", "." and "-", not empty;
// else 123) and prepends the kind prefix. 87 for null arguments; 206 when the
// composed name with its terminator exceeds 260 bytes, or exceeds the file
// system's 255-byte name limit.
uint32_t KstObjComposeName(KstObjKind kind, const char *name, char *out, size_t out_size);

// Create-or-open (`create` true) or open only. A new object gets a zeroed
// payload of `payload_size` bytes, passed to `init` before the object is
// marked ready; *created tells which happened (may be null). Opening an
// existing object whose payload is smaller than `payload_size` gives 1; open
// only passes payload_size 0. 2 when it does not exist or is dead; 5 folder or
// file refused; 121 creation lock; 123/206 bad name.
uint32_t KstObjAcquire(KstObjKind kind, const char *name, bool create, uint32_t payload_size,
                       KstObjInitFn init, void *ctx, KstNamedObject **out, bool *created);

// Drops the handle's hold; the last holder removes the file. 121 when the
// creation lock is not obtained: then nothing is released and the handle stays
// usable. A forgotten handle (forked child) is only freed. Never fails
// otherwise.
uint32_t KstObjRelease(KstNamedObject *obj);

// For KstObjRelease callers that must keep the mapping (a mutex still owned
// by a thread of this process: its robust-list entry points into it).
uint32_t KstObjReleaseKeepMapping(KstNamedObject *obj);

// The checked object folder, for tests and diagnostics: opens it (creating the
// default folder 0700 when missing) and returns its descriptor, or -1 with the
// result code in *rc.
int KstObjOpenFolder(uint32_t *rc);

// Absolute CLOCK_MONOTONIC deadline `ms` from now (ms = KST_INFINITE: the
// largest representable time).
struct timespec KstDeadlineAfterMs(uint32_t ms);
// True when `deadline` has passed.
bool KstDeadlinePassed(const struct timespec &deadline);

#endif  // KRP_PLATFORM_NAMED_OBJECT_H
