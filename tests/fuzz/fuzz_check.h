#pragma once
// What every fuzz target shares: an invariant that holds in release builds too
// (assert is gone under NDEBUG), and the input as a string.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define QUARN_FUZZ_CHECK(cond)                                                          \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace quarn::fuzz {
inline std::string Input(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}
}  // namespace quarn::fuzz
