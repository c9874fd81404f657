#include "core/memory.h"

#include <cstdio>

namespace torvex {

void fatal_out_of_memory(std::size_t bytes) noexcept {
  std::fprintf(stderr, "torvex: out of memory allocating %zu bytes\n", bytes);
  std::abort();
}

}  // namespace torvex
