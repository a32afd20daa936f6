// The two in-place string routines.
#include <cstring>

#include "platform.h"

char *KstAppendPath(char *path, const char *name) {
  if (!path) return path;
  for (char *p = path; *p; ++p) {
    if (*p == '\\') *p = '/';
  }
  size_t len = strlen(path);
  if (len == 0 || path[len - 1] != '/') {
    path[len++] = '/';
    path[len] = '\0';
  }
  if (!name) return path;
  if (*name == '\\' || *name == '/') ++name;
  char *dst = path + len;
  for (; *name; ++name) *dst++ = (*name == '\\') ? '/' : *name;
  *dst = '\0';
  return path;
}

char *KstReplaceString(char *text, const char *find, const char *replacement) {
  if (!text || !find || !*find) return nullptr;
  char *at = strstr(text, find);
  if (!at) return nullptr;
  size_t find_len = strlen(find);
  size_t repl_len = replacement ? strlen(replacement) : 0;
  // Move the tail (with its terminator) to where it belongs, then copy.
  memmove(at + repl_len, at + find_len, strlen(at + find_len) + 1);
  if (repl_len) memcpy(at, replacement, repl_len);
  return at;
}
