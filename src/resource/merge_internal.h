// Merging a fragment into the store: the pieces behind dll_KrpMergeIntoStore.
//
// Design note
// -----------
// A fragment is a whole store file, opened read-only (secondary mode) by the
// calling thread for the length of one call and closed before it returns.
// It is untrusted input: every value read from it is size-checked before
// its 16-byte type field is skipped (a shorter value counts as absent), every
// text in it is searched only within its size, every name composed from it
// is length-checked before it is copied, and it can only change names of the
// machine's store that the merge targets (a delete list removes whole
// containers only, never "everything").
//
//   merge.cc          entry: argument checks, temporary file for a buffer,
//                     opening and closing the fragment, the recorded prefix
//   merge_walk.cc     the walk over the fragment's names and the passes
//   merge_names.cc    uniting "iso_names" lists
//   merge_delete.cc   the delete list and the "use_defaults" clearing
//
// Every change to the machine's store goes through the store service
// (KrpStoreKts*Mt), which serialises it with the other clients; a merge
// needs a running server. The merge stops at its first failure; what it
// wrote before stays written (each value is one write of the service).
//
// Values in a fragment are kept scrambled, exactly as in the store; the
// helpers below hand them out unscrambled. The service's write scrambles
// the caller's bytes in place again.
#ifndef KRP_RESOURCE_MERGE_INTERNAL_H
#define KRP_RESOURCE_MERGE_INTERNAL_H

#include <cstdint>

#include "krplib.h"
#include "names.h"
#include "platform.h"
#include "store.h"

// Merge flags (the last argument of dll_KrpMergeIntoStore), as krplib.h
// publishes them.
constexpr uint32_t kMergeDefaults = KRP_MERGE_DEFAULTS;
constexpr uint32_t kMergeOverwrite = KRP_MERGE_OVERWRITE;
constexpr uint32_t kMergeOverwriteToo = KRP_MERGE_OVERWRITE_ALT;
constexpr uint32_t kMergeNewerWins = KRP_MERGE_NEWER_WINS;
constexpr uint32_t kMergeDeleteList = KRP_MERGE_DELETE_LIST;
constexpr uint32_t kMergeFullNames = KRP_MERGE_FULL_NAMES;

// The passes of the walk.
enum KrpMergePass : uint32_t {
  kPassAccess = 0,    // access values only
  kPassRespect = 1,   // values subject to the target's access text
  kPassOverwrite = 2, // every value
  kPassNewer = 4,     // values newer than the target's
};

// Set on every value the merge writes.
constexpr uint32_t kMergeAttrMerged = 0x100;

// Names of the fragment's own objects.
constexpr char kFragmentFullPath[] = "__system.blob_fullpath";
constexpr char kFragmentDeleteList[] = "__system.delete_list";
constexpr char kFragmentSystemPrefix[] = "__system";

// The rename settings and the fragment of one merge.
struct KrpMergeRun {
  TsStore *frag = nullptr;
  const char *strip = "";       // never null; "" = no stripping
  const char *new_prefix = "";  // never null; "" = nothing put in front
  bool full_names = false;      // flag 0x1000: recorded prefix + name
  char recorded[KST_MAX_PATH] = {0};
  uint32_t pass = kPassOverwrite;
};

// ---- fragment reads (merge.cc) ---------------------------------------------
// A whole object of the fragment in a new KstAllocMem block (one zero byte
// after the data), unscrambled. `first_capacity` is the first read's
// buffer; a larger object is read again with its reported size. *size 0
// and *data null when the name holds no object (0, or 0x370010 for a
// container, as the engine answers). Words may be null.
uint32_t KrpFragmentRead(TsStore *frag, const char *name, uint32_t first_capacity,
                         uint8_t **data, uint32_t *size, uint32_t *last_wr = nullptr,
                         uint32_t *attr = nullptr, uint32_t *consumer = nullptr);
// The value part (after the 16-byte type field) of a stored value:
// false when the value is too short to have one (absent).
bool KrpStoredValuePart(const uint8_t *stored, uint32_t size, const uint8_t **value,
                        uint32_t *value_size);
// True when the last component of `name` is exactly `component`
// (case-sensitive unless `fold`).
bool KrpLastComponentIs(const char *name, const char *component, bool fold = false);

// ---- the walk (merge_walk.cc) ----------------------------------------------
// Runs the steps of the policy that `flags` selects (0x1, 0x2, 0x80, 0x4,
// the first set decides; the defaults policy clears "use_defaults" vendors
// first). 87 when none is set.
uint32_t KrpMergeRunPolicy(KrpMergeRun *run, uint32_t flags);
// The target name of the fragment name `name`: 0; 87 a name outside the
// strip prefix; 0x37000F too long. `out` holds KRP_NAME_BUF bytes.
uint32_t KrpMergeTargetName(const KrpMergeRun *run, const char *name, char *out);

// ---- iso_names (merge_names.cc) --------------------------------------------
// Unites the fragment's name list `frag_value` (stored form, unscrambled)
// with the store's list `target` and writes the union when it grew.
uint32_t KrpMergeIsoNames(const uint8_t *frag_value, uint32_t frag_size, const char *target);

// ---- delete list and use_defaults (merge_delete.cc) -----------------------
// Deletes the names of the fragment's "__system.delete_list" from the store.
// 0 also when there is none; the first failure otherwise.
uint32_t KrpMergeApplyDeleteList(TsStore *frag);
// The "use_defaults" clearing of the defaults policy.
uint32_t KrpMergeClearUseDefaults(TsStore *frag);

#endif  // KRP_RESOURCE_MERGE_INTERNAL_H
