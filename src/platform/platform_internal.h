// Helpers shared by the platform layer's own files; not for the layers above.
#ifndef KRP_PLATFORM_PLATFORM_INTERNAL_H
#define KRP_PLATFORM_PLATFORM_INTERNAL_H

#include <cstddef>
#include <cstdint>

// Copies a caller's path into out[out_size] with every "\" turned into "/".
// 87 for null arguments, 206 when it does not fit.
uint32_t KstToOsPath(const char *in, char *out, size_t out_size);

#endif  // KRP_PLATFORM_PLATFORM_INTERNAL_H
