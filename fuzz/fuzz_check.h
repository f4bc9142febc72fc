// What every fuzz target shares: a check that stops the run with a report when a parser
// breaks its own contract (libFuzzer saves the input that did it), and a way to make the
// sanitizers look at every byte a parser handed back.
#ifndef KDR_FUZZ_FUZZ_CHECK_H_
#define KDR_FUZZ_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// Aborts with the failed condition when `cond` is false.
#define KDR_FUZZ_CHECK(cond)                                                              \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace kdr::fuzz {

// Reads each of the `n` bytes at `p`, so that AddressSanitizer reports a range a parser
// handed back that lies outside the input.
inline void Touch(const void* p, size_t n) {
  const volatile unsigned char* b = static_cast<const volatile unsigned char*>(p);
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += b[i];
  // Keeps the loop: its result goes where the optimiser cannot see it unused.
  asm volatile("" : : "r"(sum));
}

}  // namespace kdr::fuzz

#endif  // KDR_FUZZ_FUZZ_CHECK_H_
