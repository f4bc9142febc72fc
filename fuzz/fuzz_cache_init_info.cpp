// The KDR_GET_CACHE_INIT_INFO normal reply as the client reads it: five numbers and two
// counted names. Input: the reply exactly as ReceiveReply would leave it.
#include <cstdint>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "fuzz/fuzz_check.h"
#include "protocol/control_messages.h"
#include "protocol/message_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kdr;
  if (size < kHeaderSize || size > kReplyBufferSize) return 0;
  const int total = static_cast<int>(size);
  CacheInitInfo info{};
  int r = ParseCacheInitInfo(data, total, &info);
  if (r != 0) {
    KDR_FUZZ_CHECK(r == ERR_KDRCP_BAD_ARG);
    return 0;
  }
  KDR_FUZZ_CHECK(info.filePages > 0 && info.segments > 0 && info.hashBlockPages > 0);
  KDR_FUZZ_CHECK(info.mbExtents >= 0 && info.extents >= 0);
  KDR_FUZZ_CHECK(info.dirLength > 0 && info.mapLength > 0);
  const char* begin = reinterpret_cast<const char*>(data);
  KDR_FUZZ_CHECK(info.dir == begin + kOffInfoNames);
  KDR_FUZZ_CHECK(info.map == info.dir + info.dirLength);
  KDR_FUZZ_CHECK(info.map + info.mapLength <= begin + size);
  fuzz::Touch(info.dir, static_cast<size_t>(info.dirLength));
  fuzz::Touch(info.map, static_cast<size_t>(info.mapLength));
  return 0;
}
