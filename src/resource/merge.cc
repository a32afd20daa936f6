// dll_KrpMergeIntoStore: the entry, its checks, the temporary file that
// holds a fragment given as a buffer, and opening and closing the fragment.
//
// Order of the checks (each before anything is copied into a fixed buffer):
//   1. arguments: a buffer with its size, or a path; a policy bit; no
//      rename prefixes with 0x1000; prefixes of at most 259 characters;
//   2. the process and the service (a merge needs a running server);
//   3. the fragment's path: it must name a folder ("/") and a file name,
//      fit a store path, and exist.
// The temporary file for a buffer is made by KstCreateTmpFile, which
// creates it exclusively (O_CREAT|O_EXCL|O_NOFOLLOW, 0600 in a private or
// sticky folder): nothing else can have it open or have planted a link at
// its name when the engine opens it. It is removed before the call returns.
#include <cstring>

#include "krplib.h"
#include "merge_internal.h"
#include "mtclient.h"
#include "resource.h"

namespace {

// The first read of "__system.blob_fullpath": a recorded prefix of 260
// bytes or more is refused.
constexpr uint32_t kRecordedPrefixCapacity = KST_MAX_PATH;
// Temporary folder query buffer.
constexpr uint32_t kTempFolderBuf = 522;
// Open flags of the fragment: secondary (read-only) mode and bit 0.
constexpr uint32_t kFragmentOpenFlags = kTsOpenSecondary | 0x1;
constexpr uint32_t kPolicyBits = kMergeDefaults | kMergeOverwrite | kMergeOverwriteToo |
                                 kMergeNewerWins;

bool NonEmpty(const char *s) { return s && *s; }

uint32_t CheckArguments(const void *buffer, const char *path, uint32_t size, const char *strip,
                        const char *new_prefix, uint32_t flags) {
  if (buffer ? size == 0 : !NonEmpty(path)) return KST_ERR_INVALID_PARAMETER;
  if ((flags & kPolicyBits) == 0) return KST_ERR_INVALID_PARAMETER;
  if ((flags & kMergeFullNames) && (NonEmpty(strip) || NonEmpty(new_prefix)))
    return KST_ERR_INVALID_PARAMETER;
  if (strip && strnlen(strip, KRP_NAME_BUF) > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;
  if (new_prefix && strnlen(new_prefix, KRP_NAME_BUF) > KRP_NAME_MAX)
    return KRP_ERR_NAME_TOO_LONG;
  return 0;
}

// Writes the caller's buffer into a new temporary file; `path` receives
// its name (KST_MAX_PATH bytes), or "" when no file was made.
uint32_t WriteTemporaryFragment(const void *buffer, uint32_t size, char *path) {
  path[0] = 0;
  char folder[kTempFolderBuf];
  uint32_t rc = KstQueryKestarPath(KPATH_TEMP, folder, sizeof folder);
  if (rc != 0) return rc;
  KST_HFILE h = KST_INVALID_HFILE;
  rc = KstCreateTmpFile(folder, "kts", path, &h);
  if (rc != 0) {
    path[0] = 0;
    return rc;
  }
  uint32_t written = 0;
  rc = KstWriteFile(h, buffer, size, &written, nullptr);
  if (rc == 0 && written < size) rc = KRP_ERR_GENERAL;
  KstCloseFile(h);
  return rc;
}

// Splits the fragment's path into folder and file name. 2 (logged) without
// a separator; 87 an empty file name (an empty name would make the engine
// open the machine's own store); 0x37000F when the path does not fit.
uint32_t SplitFragmentPath(const char *path, char *folder, char *file) {
  switch (KrpSplitStorePath(path, folder, file)) {
    case KrpPathSplit::kOk:
      return 0;
    case KrpPathSplit::kTooLong:
      return KRP_ERR_NAME_TOO_LONG;
    case KrpPathSplit::kNoFileName:
      return KST_ERR_INVALID_PARAMETER;
    case KrpPathSplit::kNoSeparator:
      break;
  }
  KstLogPrintf("krp (%d) You must provide full path to the store fragment '%s' to merge (not "
               "only file name).  Returning 0x%08x",
               __LINE__, path, KST_ERR_FILE_NOT_FOUND);
  return KST_ERR_FILE_NOT_FOUND;
}

// The recorded prefix: the text of "__system.blob_fullpath" after its type
// field, up to its terminating zero or the end of the value.
uint32_t ReadRecordedPrefix(TsStore *frag, char *recorded) {
  recorded[0] = 0;
  uint8_t buf[kRecordedPrefixCapacity];
  uint32_t size = sizeof buf, last_wr = 0, attr = 0, consumer = 0;
  uint32_t rc = StoreRead(frag, kFragmentFullPath, buf, &size, &last_wr, &attr, &consumer);
  if (rc == KST_ERR_BUFFER_TOO_SMALL || (rc == 0 && size >= kRecordedPrefixCapacity)) {
    KstLogPrintf("krp (%d) path found in fragment's _system var exceeds max lng (%d > %d)",
                 __LINE__, static_cast<int>(size), static_cast<int>(kRecordedPrefixCapacity));
    return KRP_ERR_NAME_TOO_LONG;
  }
  if (rc == KRP_ERR_IS_CONTAINER) return 0;  // a container of that name holds no text
  if (rc != 0) {
    KstLogPrintf("krp (%d) error fetching _system.blob_full from blob 0x%08x", __LINE__, rc);
    return rc;
  }
  KstUnscrambleData(KST_SCRAMBLE_KEY, buf, size);
  const uint8_t *text = nullptr;
  uint32_t text_size = 0;
  if (!KrpStoredValuePart(buf, size, &text, &text_size)) return 0;
  size_t n = strnlen(reinterpret_cast<const char *>(text), text_size);
  memcpy(recorded, text, n);
  recorded[n] = 0;
  return 0;
}

// Opens the fragment, runs the delete list and the policy, closes it.
uint32_t MergeFragmentFile(const char *folder, const char *file, const char *strip,
                           const char *new_prefix, uint32_t flags) {
  KrpMergeRun run;
  uint32_t rc = StoreInit(&run.frag, folder, file, nullptr, nullptr, kFragmentOpenFlags);
  if (rc != 0) {
    KstLogPrintf("krp (%d) failed to init tmp store 0x%08x ('%s' \\ '%s')", __LINE__, rc, folder,
                 file);
    return rc;
  }
  run.strip = strip ? strip : "";
  run.new_prefix = new_prefix ? new_prefix : "";
  run.full_names = (flags & kMergeFullNames) != 0;
  rc = ReadRecordedPrefix(run.frag, run.recorded);
  if (rc == 0 && (flags & kMergeDeleteList)) KrpMergeApplyDeleteList(run.frag);
  if (rc == 0) rc = KrpMergeRunPolicy(&run, flags);
  StoreExit(run.frag);
  return rc;
}

}  // namespace

bool KrpStoredValuePart(const uint8_t *stored, uint32_t size, const uint8_t **value,
                        uint32_t *value_size) {
  if (!stored || size < KRP_TYPE_FIELD_SIZE) return false;
  *value = stored + KRP_TYPE_FIELD_SIZE;
  *value_size = size - KRP_TYPE_FIELD_SIZE;
  return true;
}

bool KrpLastComponentIs(const char *name, const char *component, bool fold) {
  const char *dot = strrchr(name, '.');
  const char *last = dot ? dot + 1 : name;
  return fold ? strcasecmp(last, component) == 0 : strcmp(last, component) == 0;
}

uint32_t KrpFragmentRead(TsStore *frag, const char *name, uint32_t first_capacity,
                         uint8_t **data, uint32_t *size, uint32_t *last_wr, uint32_t *attr,
                         uint32_t *consumer) {
  *data = nullptr;
  *size = 0;
  uint32_t words[3] = {0, 0, 0};
  uint32_t capacity = first_capacity;
  void *buf = nullptr;
  uint32_t rc = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    rc = KstAllocMem(capacity + 1, 0, &buf, nullptr);
    if (rc != 0) {
      KstLogPrintf("krp (%d) no malloc 0x%08x (asked for %d)", __LINE__, rc,
                   static_cast<int>(capacity + 1));
      return rc;
    }
    uint32_t got = capacity;
    rc = StoreRead(frag, name, buf, &got, &words[0], &words[1], &words[2]);
    if (rc == KST_ERR_BUFFER_TOO_SMALL && attempt == 0 && got < 0xFFFFFFF0u) {
      KstFreeMem(buf, 0);
      buf = nullptr;
      capacity = got;
      continue;
    }
    if (rc == 0 && got > 0) {
      KstUnscrambleData(KST_SCRAMBLE_KEY, buf, got);
      static_cast<uint8_t *>(buf)[got] = 0;
      *data = static_cast<uint8_t *>(buf);
      *size = got;
      buf = nullptr;
    }
    break;
  }
  KstFreeMem(buf, 0);
  if (last_wr) *last_wr = words[0];
  if (attr) *attr = words[1];
  if (consumer) *consumer = words[2];
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpMergeIntoStore(const void *buffer, const char *path,
                                                  uint32_t size, const char *strip,
                                                  const char *new_prefix, uint32_t flags) {
  uint32_t rc = CheckArguments(buffer, path, size, strip, new_prefix, flags);
  if (rc != 0) return rc;
  KrpStoreSeam seam;
  rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  if (seam.direct) return KRP_ERR_NO_SERVER;

  char temp[KST_MAX_PATH] = {0};
  if (buffer) {
    rc = WriteTemporaryFragment(buffer, size, temp);
    path = temp;
  }
  // A bare file name is refused before it is looked for anywhere.
  char folder[KST_MAX_PATH], file[KST_MAX_PATH];
  if (rc == 0) rc = SplitFragmentPath(path, folder, file);
  uint32_t attrs = 0;
  if (rc == 0 && !buffer && KstQueryFileAttr(path, &attrs) != 0) rc = KST_ERR_INVALID_PARAMETER;
  if (rc == 0) rc = MergeFragmentFile(folder, file, strip, new_prefix, flags);
  if (temp[0]) KstDeleteFile(temp);
  return rc;
}
