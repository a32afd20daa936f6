// The client side of the store service: the status block as every process
// sees it, the wait for a usable server, the process's connection to the
// request objects and the client calls that travel through the request block.
//
// Design note
// -----------
// A process reaches the store server through two shared blocks and three
// kernel objects (protocol.h draws the blocks). The status block tells it
// whether a server runs and whom it admits; the request block carries one
// request at a time under the machine-wide request mutex.
//
// Connection state of a process (one instance, guarded by a process-local
// lock):
//
//   not connected --first request (MtConnect)--> connected
//   connected --MtClientDisconnect (stop, failed start)--> disconnecting
//             --requests in flight have left--> not connected
//   any --process exit handler--> exiting (every later request gets 5)
//
// Invariants:
// 1. A request takes part in the connection ("in flight") from before it
//    asks for the request mutex until after it released it; a disconnect
//    marks the state first (new requests get 5), waits until no request is
//    in flight, and only then unmaps the block and closes the handles. So
//    no thread ever uses a block that another thread unmapped. The wait is
//    bounded (requests in flight give up at their next reply slice); past
//    it the handles are abandoned to the requests, never closed under them.
// 2. A reply is accepted only when its result is not 0xFEFEFEFE and its
//    reply number equals the request number; every piece of a transfer is
//    checked the same way. A request that has no accepted reply after three
//    attempts returns 121 (the last wait timed out) or 1, never 0.
// 3. Sizes read from a reply are checked against kMaxTransfer and against
//    the block before anything is allocated or copied.
// 4. The exit handler only marks the state; it never unmaps or closes
//    (other threads may still be inside a request until the process ends).
// 5. A reply wait sleeps in slices of at most 50 ms; between two slices it
//    looks whether the host still lives (MtServerGone), and a host found
//    gone ends the request with 121 at once. A reply that comes within the
//    first slice costs no more than one wait.
// 6. A Write that got its reply leaves the request block all zero: it
//    clears up to the high-water mark that every writer into the block
//    raises first (protocol.h). Byte 263 (the name field's last) is 0
//    after every layout A request.
//
// Lock order: the connection lock, then the creation lock (taken by the
// platform inside open/close of named objects). The creation lock is never
// taken while the request mutex is held, with one exception: connecting,
// the status block and the status check's liveness probes all happen
// before a request asks for the mutex, but a reply wait whose first slice
// ran out probes "TS_MUX_THREAD" (invariant 5) while it owns the mutex.
// That cannot deadlock: nobody waits for the request mutex while holding
// the creation lock, whose own waits are bounded (5000 ms).
#ifndef KRP_TS_MTCLIENT_MTCLIENT_H
#define KRP_TS_MTCLIENT_MTCLIENT_H

#include <cstdint>

#include "platform.h"
#include "protocol.h"
#include "store.h"

// Result codes: the library's one table in krplib.h (KRP_ERR_NO_SERVER,
// KRP_ERR_STARTING, ...), reached through platform.h.

// ---- status block -------------------------------------------------------------

// Creates the status block, or opens it when it exists (its contents are
// kept; the caller rewrites them). A block smaller than 140 bytes is refused
// with 1 and nothing stays mapped. Other failures are the platform's.
uint32_t MtStatusBlockCreate(void **addr, KST_HSHMEM *handle);
// Opens an existing status block with the same size check; 2 when no
// process holds one.
uint32_t MtStatusBlockOpen(void **addr, KST_HSHMEM *handle);
// The process's own mapping of the status block, opened on first need and
// kept until the process ends (a failure is not remembered: the next call
// tries again). Null when no status block exists.
volatile uint8_t *MtStatusBlock();

// Creates the wake block (wake_block.h), or opens it when it exists; a
// block smaller than its layout is refused with 1 and nothing stays mapped.
uint32_t MtWakeBlockCreate(void **addr, KST_HSHMEM *handle);
// The process's own mapping of the wake block, opened on first need and
// kept until the process ends; null (and tried again on the next call)
// while no process holds one: no host has made it, and waiters fall back to
// the status block's feed.
volatile uint8_t *MtWakeBlock();

// Whether a server thread lives on the machine: "TS_MUX_THREAD" can be
// opened (a dead holder's object cannot). Only "no such live object" (2)
// counts as gone; any other failure to open it leaves the answer "alive".
bool MtServerThreadAlive();
// Whether the host is gone, judged at once and without the one-second
// trust of the status check: the status block's server process id names
// no process, or no server thread lives. Costs a system call and a probe
// of "TS_MUX_THREAD"; the reply waits call it only between their slices.
bool MtServerGone(const volatile uint8_t *status);

// The check every store operation that needs the server makes first.
// no_wait != 0 answers at once. Results: 0 the server may be used;
// 0x141001 no usable server (no status block, status 0 in a process other
// than the host, or the host is gone: server process id 0xFFFFFFFF or no
// "TS_MUX_THREAD"); 0x370011 cleaning house and 0x370012 starting, at once
// with no_wait, otherwise after the counted waits (3600 x 50 ms while
// cleaning, 360 x 500 ms while starting). A waiting caller checks on every
// round that the host is still alive.
uint32_t MtClientCheckMtStatusAndWaitForServer(uint32_t no_wait);

// True when a full check above admitted this process to a server serving
// every process less than 10 ms ago, and the block still shows that status
// and that server's process id: plain memory loads, no system call. It is
// a hint for answering from the process's own read cache, never a licence
// to send a request: a host that died within the window still passes. It
// is safe for the cache because every change to the store publishes to the
// change feed (the server's and the direct writes alike), so a dead host
// changes nothing the cache relies on; the window only bounds how long a
// change made outside the library could go unseen.
bool MtClientRecentlyAdmitted();

// Publishes a change of `name` (null: anything) in the status block's change
// feed (change_feed.h), for a change made on the store file itself while no
// host runs. Only a status block this process already holds is told (a
// block created since belongs to a newer host generation); nothing happens
// without one. The wake block is looked for again while this process has
// none, so that a waiter sleeping on it is always woken.
void MtFeedPublishDirect(const char *name);

// ---- connection -----------------------------------------------------------------

// Closes this process's request objects after the requests in flight have
// left (invariant 1). Nothing happens when the process is not connected.
// Called by the stop and by a failed start; the next request connects anew.
void MtClientDisconnect();

// Time-outs in milliseconds for the request mutex, the replies and the
// pieces (the host's piece waits use the last one too). Defaults: 15000
// each. Meant for tests that must not wait 45 s for a dead server.
void MtSetTimeouts(uint32_t mutex_ms, uint32_t reply_ms, uint32_t piece_ms);
uint32_t MtPieceWaitMs();

// ---- reply-parsing harness -------------------------------------------------
// Lets a fuzz target or a test play the server inside the calling process,
// so that every reply a server could write reaches the client calls without
// host, kernel objects or time-outs. While a harness is set, a request takes
// no part in the connection and no request mutex: it uses `block` as the
// request block and `status` as the status block (its request counter gives
// the request numbers, its trace words switch the request trace), and each
// exchange (the first one and every piece) calls `exchange(arg)` instead of
// setting the engage event and waiting for the return event. The callee
// reads the request from the block and writes whatever reply it likes;
// it returns the wait's result: 0, or the code of a failed wait (121 for a
// time-out). Everything the calls do with the block after an exchange is
// unchanged: the same acceptance of a reply, the same checks of its sizes.
struct MtClientHarness {
  volatile uint8_t *block;   // kRequestBlockSize bytes
  volatile uint8_t *status;  // kStatusBlockSize bytes
  uint32_t (*exchange)(void *arg);
  void *arg;
};
// Sets the harness for every later request of the process; null restores
// normal operation. Not for use while requests are in flight. `h` must
// outlive its use.
void MtClientUseHarness(const MtClientHarness *h);

// ---- client calls -------------------------------------------------------------
// The first argument is reserved (0). Buffers a call hands out come from
// KstAllocMem (size + 1 bytes) and belong to the caller. Common results:
// 1 the status block cannot be mapped, or no accepted reply after three
// attempts whose last wait did not time out; 2 (or another platform code)
// connecting failed; 5 the process is disconnecting; 121 the request mutex
// was not obtained twice in a row, or the last reply wait timed out; 8192;
// 0x370003 a piece from the server failed; otherwise the server's result.

// Reads an object. name 1..259 characters (null or empty: 1; 260 or more:
// 0x37000F); size, last_wr and attr are required (else 1), consumer may be
// null. With data non-null and a non-empty object, *data receives the
// unscrambled bytes (null otherwise).
uint32_t KrpStoreKtsReadMt(uint32_t reserved, const char *name, void **data, uint32_t *size,
                           uint32_t *last_wr, uint32_t *attr, uint32_t *consumer);
// Writes an object. The caller's data is scrambled in place first and
// holds the scrambled bytes afterwards. 87 name or data null, name shorter
// than 2 characters, size above kMaxTransfer; 0x37000F 260 characters or
// more. After an accepted reply the request block is all zero
// (invariant 6).
uint32_t KrpStoreKtsWriteMt(uint32_t reserved, const char *name, void *data, uint32_t size,
                            uint32_t last_wr, uint32_t attr, uint32_t consumer);
// Deletes an object, or every object under a prefix ending in "*". 87 null
// or empty name; 0x37000F 260 characters or more.
uint32_t KrpStoreKtsDeleteMt(uint32_t reserved, const char *name);
// Lists the objects below a pattern (empty: all) as list entries (ts_multi.h,
// StoreListObjects). *size gets the list size; with list non-null and a
// non-empty list, *list receives it. 87 name or size null; 0x37000F.
uint32_t KrpStoreKtsListObjectsMt(uint32_t reserved, const char *pattern, void **list,
                                  uint32_t *size, uint32_t reserved2);
// The 40-byte object information. 87 name or info null; 0x37000F.
uint32_t KrpStoreKtsGetObjectInfoMt(uint32_t reserved, const char *name, TsObjectInfo *info);
// Sends a read-multiple block (ts_multi.h) and receives it filled in; *data
// receives the data of all items (unscrambled) or null, *data_size its
// length. 87 an argument null, or block length (its data offset) + 20 not
// below 0x50000 (logged, the server is not contacted). Items are read only
// within the block and data only within the data received.
uint32_t KrpStoreKtsReadMultipleMt(uint32_t reserved, void *block, void **data,
                                   uint32_t *data_size);

// Packs the store (the host keeps the old file as its backup); the
// result is the host's pack result.
uint32_t KrpStoreKtsPackMt(uint32_t reserved);
// Copies the store to the file `target`. 87 null or empty target; 0x37000F
// 260 characters or more; 5 a target the host refuses (outside the
// allowed folders, a symbolic link, not a regular file).
uint32_t KrpStoreKtsCopyMt(uint32_t reserved, const char *target);
// The runtime report: the schema and the document (unscrambled, exactly
// their sizes, null when empty), with an optional stylesheet reference.
// 87 an output null; 0x37000F stylesheet of 260 characters or more; 1 a
// reply whose texts do not fit the block; 4101 from the host when the
// texts exceed its limit.
uint32_t KrpStoreKtsGetRuntimeInfoMt(uint32_t reserved, void **schema, uint32_t *schema_size,
                                     void **document, uint32_t *document_size,
                                     const char *stylesheet);

#endif  // KRP_TS_MTCLIENT_MTCLIENT_H
