// The exported meaning of a result code: one short text per code of the
// library's table (krplib.h), for callers' messages and for krpctl.
//
// Every code of the table has exactly one row here; the texts are distinct,
// so a message names the code unambiguously even without its number. The
// texts are static: the caller never frees them.
#include <cstdint>

#include "krplib.h"

namespace {

struct ResultText {
  uint32_t code;
  const char *text;
};

constexpr ResultText kResultTexts[] = {
    {KRP_OK, "success"},
    {KRP_ERR_GENERAL, "general failure"},
    {KRP_ERR_FILE_NOT_FOUND, "file or named object not found"},
    {KRP_ERR_PATH_NOT_FOUND, "path not found"},
    {KRP_ERR_TOO_MANY_OPEN_FILES, "too many open files"},
    {KRP_ERR_ACCESS_DENIED, "access denied"},
    {KRP_ERR_INVALID_HANDLE, "invalid handle"},
    {KRP_ERR_WRITE_PROTECT, "write protected"},
    {KRP_ERR_SHARING_VIOLATION, "sharing violation (in use by another process)"},
    {KRP_ERR_END_OF_FILE, "end of file or list"},
    {KRP_ERR_FILE_EXISTS, "file exists"},
    {KRP_ERR_INVALID_PARAMETER, "missing or invalid argument"},
    {KRP_ERR_DISK_FULL, "disk full"},
    {KRP_ERR_TIMEOUT, "time-out"},
    {KRP_ERR_INVALID_NAME, "invalid name"},
    {KRP_ERR_MOD_NOT_FOUND, "module or entry point not found"},
    {KRP_ERR_ALREADY_EXISTS, "already exists"},
    {KRP_ERR_ENVVAR_NOT_FOUND, "environment variable not set"},
    {KRP_ERR_FILENAME_TOO_LONG, "file name too long"},
    {KRP_ERR_NOT_SUPPORTED, "not supported"},
    {KRP_ERR_BUFFER_TOO_SMALL, "buffer too small"},
    {KRP_ERR_HEAP_FULL, "out of memory"},
    {KRP_ERR_INVALID_SORT_MODE, "invalid sort mode"},
    {KRP_ERR_UNKNOWN_VERSION, "unknown store file version"},
    {KRP_ERR_NO_SERVER, "no usable store server"},
    {KRP_ERR_NOT_FOUND, "not found"},
    {KRP_ERR_WRONG_TYPE, "wrong type"},
    {KRP_ERR_PIECE_TO_CLIENT, "transfer to the client failed, or packing could not read"},
    {KRP_ERR_PIECE_TO_SERVER, "transfer to the server failed, or packing could not write"},
    {KRP_ERR_MALFORMED_VALUE, "malformed value or list"},
    {KRP_ERR_EMPTY_VALUE, "empty value"},
    {KRP_ERR_SERVER_RUNS, "a server already runs"},
    {KRP_ERR_EVENT_DELETED, "event handle deleted during the wait"},
    {KRP_ERR_WAIT_RUNNING, "a wait already runs on the event handle"},
    {KRP_ERR_NOT_STARTED, "no service was started"},
    {KRP_ERR_DIGEST, "data do not match their digest"},
    {KRP_ERR_NAME_TOO_LONG, "name too long"},
    {KRP_ERR_IS_CONTAINER, "the name is a container"},
    {KRP_ERR_CLEANING, "the server is cleaning house"},
    {KRP_ERR_STARTING, "the server is starting"},
    {KRP_ERR_UNSUPPORTED, "interface version or function not supported"},
    {KRP_ERR_ATTR_CHANGE, "supersized or memory-only bit may not change"},
    {KRP_ERR_CORRUPT, "the store file is corrupt"},
};

constexpr const char kUnknownText[] = "unknown result code";

}  // namespace

extern "C" KRP_API const char *dll_KrpResultText(uint32_t code) {
  for (const ResultText &r : kResultTexts)
    if (r.code == code) return r.text;
  return kUnknownText;
}
