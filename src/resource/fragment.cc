// Fragments and blobs: one container of the machine's store cut out into a
// store file of its own and handed to the caller as bytes.
//
// Design note
// -----------
// A fragment is a complete store file (the engine's format) whose objects are
// those of the machine's store whose names begin with the fragment prefix
// ("<name>." , "" for the whole store), stored under their names without the
// prefix, with data (scrambled exactly as the machine's store keeps it),
// LastWr, Attr and Consumer unchanged. A blob is a fragment that also
// records its prefix:
//
//   "__system.blob_fullpath"   TEXT object, LastWr = the time it was made,
//                              Attr 0, Consumer 1; its data (scrambled):
//
//     off  size  field
//       0    16  type field "KRT_TEXT", zero-padded
//      16   n+1  the prefix and its terminator
//
// The fragment loader, step by step:
//
//   temp folder   KstQueryKestarPath(KPATH_TEMP)
//   new file      KstCreateTmpFile: "%08x.kts", created new (O_EXCL,
//                 O_NOFOLLOW, 0600); its identity (device, inode) is kept
//   open          StoreInit(folder, file, create | no link); the engine's
//                 file must be the file just created (identity), else 5
//   copy          list the machine's store by prefix through the service;
//                 read each object (the client unscrambles), scramble it
//                 again and write it into the fragment under its short name
//   blob path     "__system.blob_fullpath" for flags bit 0x1
//   close         StoreExit (syncs the file)
//   hand out      reopen for reading, identity checked again, read whole
//                 into a KstAllocMem block
//   always        delete the temporary file, free the path
//
// Invariants
// 1. The temporary file is never one that another user could have planted
//    or linked: it is created exclusively by this call, the engine opens it
//    without following a link, and both the engine's handle and the handle
//    the bytes are read from are checked to be that same file.
// 2. The temporary file is deleted on every path once it was created; the
//    caller's buffer pointer is set only on success.
// 3. Every length is checked before a copy into a fixed buffer: a prefix or
//    a path that would not fit gives 0x37000F.
// 4. A listed name that does not begin with the prefix is an inconsistent
//    reply (1); the fragment never holds an object outside its container.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "krplib.h"
#include "names.h"
#include "platform.h"
#include "resource.h"
#include "store.h"
#include "ts_multi.h"

namespace {

constexpr uint32_t kFlagBlobPath = 0x1;
constexpr char kKtsScheme[] = "kts:";
constexpr uint32_t kKtsSchemeLen = sizeof kKtsScheme - 1;
constexpr char kTempExt[] = "kts";
constexpr char kBlobPathName[] = "__system.blob_fullpath";
constexpr uint32_t kBlobPathConsumer = KRT_TEXT;
// The engine's open flags for the fragment: bit 0 (no effect on the engine,
// kept with the store), a new empty store, never through a link.
constexpr uint32_t kFragmentOpenFlags = 0x1 | kTsOpenCreate | kTsOpenNoLink;
// Room for "<prefix>." and its terminator: the listing request takes names
// of at most kTsMaxName characters.
constexpr uint32_t kPrefixBuf = kTsMaxName + 1;

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

// The same file, and still owned by the user who created it: a file another
// user put in its place may have been given the freed inode number again.
bool SameFile(const KstFileId &a, const KstFileId &b) {
  return a.dev == b.dev && a.ino == b.ino && a.owner == b.owner;
}

// One run of the loader.
struct Loader {
  const char *prefix;
  uint32_t prefix_len;
  uint32_t flags;
  char *path = nullptr;        // KstAllocMem, KST_MAX_PATH bytes
  bool created = false;        // the temporary file exists and is ours
  KstFileId id{};              // of the file KstCreateTmpFile made
  TsStore *store = nullptr;
  uint32_t copied = 0;
};

// Temporary folder and a new file in it (invariant 1).
uint32_t CreateTempFile(Loader *l) {
  char folder[KST_MAX_PATH];
  uint32_t rc = KstQueryKestarPath(KPATH_TEMP, folder, sizeof folder);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: KstQueryKestarPath(KPATH_TEMP), sizeof output = %d 0x%08x",
                 __LINE__, static_cast<int>(sizeof folder), rc);
    return rc;
  }
  void *mem = nullptr;
  rc = KstAllocMem(KST_MAX_PATH, 0, &mem, nullptr);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: KstAllocMem() size %u 0x%08x", __LINE__, KST_MAX_PATH, rc);
    return rc;
  }
  l->path = static_cast<char *>(mem);
  KST_HFILE h = KST_INVALID_HFILE;
  rc = KstCreateTmpFile(folder, kTempExt, l->path, &h);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: KstCreateTmpFile(\"%s\"+..+\".kts\") 0x%08x", __LINE__,
                 folder, rc);
    return rc;
  }
  l->created = true;
  rc = KstQueryFileId(h, &l->id);
  KstCloseFile(h);
  return rc;
}

// Splits the path at its last separator and creates the fragment store in
// the file made by CreateTempFile. A path without a separator is refused:
// the fragment must never land anywhere but the temporary folder.
uint32_t OpenFragmentStore(Loader *l) {
  char dir[KST_MAX_PATH], file[KST_MAX_PATH];
  switch (KrpSplitStorePath(l->path, dir, file)) {
    case KrpPathSplit::kOk:
      break;
    case KrpPathSplit::kNoSeparator:
      KstLogPrintf("ts_mtclient (%d) no folder in temporary path '%s' 0x%08x", __LINE__, l->path,
                   KST_ERR_GENERAL);
      return KST_ERR_GENERAL;
    case KrpPathSplit::kTooLong:
    case KrpPathSplit::kNoFileName:
      return KRP_ERR_NAME_TOO_LONG;
  }
  uint32_t rc = StoreInit(&l->store, dir, file, nullptr, nullptr, kFragmentOpenFlags);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: StoreInit(%s) 0x%08x", __LINE__, l->path, rc);
    return rc;
  }
  KstFileId now{};
  rc = KstQueryFileId(l->store->file, &now);
  if (!rc && !SameFile(now, l->id)) {
    KstLogPrintf("ts_mtclient line %d: temporary file '%s' was replaced 0x%08x", __LINE__, l->path,
                 KST_ERR_ACCESS_DENIED);
    rc = KST_ERR_ACCESS_DENIED;
  }
  return rc;
}

// One listed object: read through the service, scrambled again, written
// under its short name.
uint32_t CopyObject(Loader *l, const char *name) {
  if (strncmp(name, l->prefix, l->prefix_len) != 0) {
    KstLogPrintf("ts_mtclient line %d: listed object '%s' outside '%s' 0x%08x", __LINE__, name,
                 l->prefix, KST_ERR_GENERAL);
    return KST_ERR_GENERAL;
  }
  void *data = nullptr;
  uint32_t size = 0, last_wr = 0, attr = 0, consumer = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, name, &data, &size, &last_wr, &attr, &consumer);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: Error reading store 0x%08x.", __LINE__, rc);
  } else if (size == 0) {
    KstLogPrintf("ts_mtclient line %d: Didn't find object '%s' second time around", __LINE__,
                 name);
    rc = KST_ERR_GENERAL;
  } else if (!data) {
    rc = KST_ERR_GENERAL;  // a size without its bytes: an inconsistent reply
  } else {
    KstScrambleData(KST_SCRAMBLE_KEY, data, size);
    rc = StoreWrite(l->store, name + l->prefix_len, data, size, last_wr, attr, consumer);
    if (rc)
      KstLogPrintf("ts_mtclient line %d: Error 0x%08x writing value '%s' to temp store -- LEAVING",
                   __LINE__, rc, name + l->prefix_len);
  }
  KstFreeMem(data, 0);
  return rc;
}

// Every object of the machine's store below the prefix, in list order. The
// first failure ends the copy.
uint32_t CopyObjects(Loader *l) {
  void *mem = nullptr;
  uint32_t size = 0;
  uint32_t rc = KrpStoreKtsListObjectsMt(0, l->prefix, &mem, &size, 0);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: KrpStoreKtsListObjectsMt(%s) 0x%08x", __LINE__, l->prefix,
                 rc);
    return rc;
  }
  const uint8_t *list = static_cast<const uint8_t *>(mem);
  if (!list) size = 0;
  for (uint32_t at = 0; at < size && rc == 0;) {
    TsListEntry e;
    if (!TsListEntryAt(list, size, at, &e)) {
      rc = KST_ERR_GENERAL;
      break;
    }
    rc = CopyObject(l, e.name);
    if (rc == 0) ++l->copied;
    at += e.length;
  }
  KstFreeMem(mem, 0);
  return rc;
}

// "__system.blob_fullpath" (layout in the design note). Its failure is
// logged and does not end the loader.
void WriteBlobPath(Loader *l) {
  void *v = nullptr;
  uint32_t size = 0;
  if (KrpEncodeStoredValue(KRT_TEXT, l->prefix, l->prefix_len + 1, &v, &size)) {
    KstLogPrintf("ts_mtclient (%d) no malloc size %u 0x%08x", __LINE__,
                 KRP_TYPE_FIELD_SIZE + l->prefix_len + 1, KST_HEAP_FULL);
    return;
  }
  KstScrambleData(KST_SCRAMBLE_KEY, v, size);
  const uint32_t rc = StoreWrite(l->store, kBlobPathName, v, size, Now(), 0, kBlobPathConsumer);
  if (rc)
    KstLogPrintf("ts_mtclient(%d) failed to write to __system.blob_fullpath='%s' in fragment 0x%08x",
                 __LINE__, l->prefix, rc);
  KstFreeMem(v, 0);
}

// The closed fragment file into a new block (null buffer: the size only).
// The file read must still be the one created (invariant 1).
uint32_t ReadFragmentFile(const Loader &l, uint32_t *size, void **buffer) {
  KST_HFILE h = KST_INVALID_HFILE;
  uint32_t rc = KstOpenRFile(l.path, &h);
  if (rc) {
    KstLogPrintf("ts_mtclient line %d: KstOpenRFile(%s) 0x%08x", __LINE__, l.path, rc);
    return rc;
  }
  KstFileId now{};
  rc = KstQueryFileId(h, &now);
  if (!rc && !SameFile(now, l.id)) rc = KST_ERR_ACCESS_DENIED;
  uint32_t file_size = 0;
  if (!rc) {
    rc = KstQueryFileSize(h, &file_size, nullptr);
    if (rc) KstLogPrintf("ts_mtclient line %d: KstQueryFileSize(%s) 0x%08x", __LINE__, l.path, rc);
  }
  void *mem = nullptr;
  if (!rc && buffer) {
    rc = KstAllocMem(file_size, 0, &mem, nullptr);
    if (rc) KstLogPrintf("ts_mtclient line %d: KstAllocMem() size %u 0x%08x", __LINE__, file_size, rc);
  }
  if (!rc && buffer) {
    uint32_t pos = 0, got = 0;
    const uint32_t rrc = KstReadFileAt(h, &pos, mem, file_size, &got);
    if (rrc || got != file_size) {
      KstLogPrintf("ts_mtclient line %d: File not read correctly (only %u of %u)", __LINE__, got,
                   file_size);
      rc = KST_ERR_GENERAL;
    }
  }
  KstCloseFile(h);
  if (rc) {
    KstFreeMem(mem, 0);
    return rc;
  }
  *size = file_size;
  if (buffer) *buffer = mem;
  return KST_OK;
}

// The fragment loader. 0 with *size 0 when nothing matched the prefix.
uint32_t LoadFragment(const char *prefix, uint32_t flags, uint32_t *size, void **buffer) {
  Loader l{};
  l.prefix = prefix;
  l.prefix_len = static_cast<uint32_t>(strlen(prefix));
  l.flags = flags;
  uint32_t rc = CreateTempFile(&l);
  if (!rc) rc = OpenFragmentStore(&l);
  if (!rc) rc = CopyObjects(&l);
  if (!rc && (flags & kFlagBlobPath) && l.prefix_len > 0) WriteBlobPath(&l);
  if (l.store) StoreExit(l.store);
  if (!rc && l.copied > 0) rc = ReadFragmentFile(l, size, buffer);
  if (l.created) KstDeleteFile(l.path);
  KstFreeMem(l.path, 0);
  return rc;
}

// The fragment prefix of a requested name: "kts:" removed, then "%s." (the
// empty name: the whole store).
uint32_t FormPrefix(const char *name, char *prefix) {
  if (strncmp(name, kKtsScheme, kKtsSchemeLen) == 0) name += kKtsSchemeLen;
  const size_t len = strlen(name);
  if (len == 0) {
    prefix[0] = '\0';
    return KST_OK;
  }
  if (len + 1 > kTsMaxName) return KRP_ERR_NAME_TOO_LONG;
  memcpy(prefix, name, len);
  prefix[len] = '.';
  prefix[len + 1] = '\0';
  return KST_OK;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpGetFragment(const char *name, uint32_t flags, uint32_t *size,
                                               void **buffer) {
  if (!name || !size) return KST_ERR_INVALID_PARAMETER;
  *size = 0;
  if (buffer) *buffer = nullptr;
  uint32_t rc = KrpResourceInitInternal(nullptr, "zz");
  if (rc) return rc;
  rc = MtClientCheckMtStatusAndWaitForServer(0);
  if (rc == KRP_ERR_NO_SERVER) {
    KstLogPrintf("krp (%d) GetBlob requires running Haldo (bailing out) (getblob on %s)", __LINE__,
                 name);
  }
  if (rc) return rc;
  char prefix[kPrefixBuf];
  rc = FormPrefix(name, prefix);
  if (rc) return rc;
  rc = LoadFragment(prefix, flags, size, buffer);
  if (rc == KST_OK && *size == 0) rc = KRP_ERR_NOT_FOUND;
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpGetBlob(const char *name, uint32_t *size, void **buffer) {
  if (!name || !size) return KST_ERR_INVALID_PARAMETER;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  return dll_KrpGetFragment(name, kFlagBlobPath, size, buffer);
}
