#include "server/block_cache.h"

namespace kdr::server {

namespace {

class NullBlockCache : public BlockCache {
 public:
  bool Enabled() const override { return false; }
  bool Get(std::string_view, uint64_t, uint64_t, int32_t, unsigned char*, uint32_t*) override {
    return false;
  }
  void Put(std::string_view, uint64_t, uint64_t, int32_t, const unsigned char*,
           uint32_t) override {}
  void Forget(std::string_view) override {}
  int Clear() override { return 0; }
  bool Info(StoreInfo*) const override { return false; }
  void Close() override {}
};

}  // namespace

std::unique_ptr<BlockCache> NewNullBlockCache() {
  return std::unique_ptr<BlockCache>(new NullBlockCache);
}

}  // namespace kdr::server
