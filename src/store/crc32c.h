// CRC32C (the Castagnoli polynomial, as iSCSI and ext4 use it): the checksum of every block
// the store holds. The SSE4.2 instruction computes it where the processor has it (about a
// byte per cycle per lane), a table otherwise; both give the same values.
#ifndef KDR_STORE_CRC32C_H_
#define KDR_STORE_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace kdrc {

// Extends `crc` (0 to start) over `len` bytes.
uint32_t Crc32c(uint32_t crc, const void* data, size_t len);
// Crc32c(0, data[i], len[i]) into out[i] for n (at most 4) pieces at once: the instruction
// has a latency of three cycles but takes one each cycle, so independent pieces computed side
// by side go about three times as fast as one after another.
void Crc32cMany(const uint8_t* const* data, const size_t* len, uint32_t* out, int n);
// The table version, whatever the processor has (for tests and the benchmark).
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t len);
// Whether Crc32c uses the instruction.
bool Crc32cAccelerated();

}  // namespace kdrc

#endif  // KDR_STORE_CRC32C_H_
