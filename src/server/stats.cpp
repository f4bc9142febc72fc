#include "server/stats.h"

#include <cstdio>
#include <sstream>

#include "platform/fs.h"

namespace kdr::server {

Counters& Stats() {
  static Counters* c = new Counters;  // never destroyed: threads may count while exit runs
  return *c;
}

namespace {

class CountingCache : public BlockCache {
 public:
  explicit CountingCache(std::unique_ptr<BlockCache> inner) : inner_(std::move(inner)) {}
  bool Enabled() const override { return inner_->Enabled(); }
  bool Get(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
           unsigned char* buf, uint32_t* len) override {
    bool hit = inner_->Get(guid, fileSize, stamp, block, buf, len);
    if (hit) {
      Stats().blockHits.fetch_add(1, std::memory_order_relaxed);
      Stats().bytesFromStore.fetch_add(*len, std::memory_order_relaxed);
    } else {
      Stats().blockMisses.fetch_add(1, std::memory_order_relaxed);
    }
    return hit;
  }
  void Put(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
           const unsigned char* data, uint32_t len) override {
    inner_->Put(guid, fileSize, stamp, block, data, len);
  }
  void Forget(std::string_view guid) override { inner_->Forget(guid); }
  int Clear() override { return inner_->Clear(); }
  bool Info(StoreInfo* info) const override { return inner_->Info(info); }
  void Close() override { inner_->Close(); }
  void UsedSince(int64_t since, std::vector<std::string>* guids) const override {
    inner_->UsedSince(since, guids);
  }

 private:
  std::unique_ptr<BlockCache> inner_;
};

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

std::unique_ptr<BlockCache> CountingBlockCache(std::unique_ptr<BlockCache> inner) {
  return std::make_unique<CountingCache>(std::move(inner));
}

std::string StatusJson(const StatusIdentity& id, int64_t now) {
  const Counters& c = Stats();
  std::ostringstream o;
  auto num = [&](const char* key, long long v, bool last = false) {
    o << "  \"" << key << "\": " << v << (last ? "\n" : ",\n");
  };
  auto text = [&](const char* key, const std::string& v) {
    o << "  \"" << key << "\": " << Quoted(v) << ",\n";
  };
  o << "{\n";
  text("version", id.version);
  num("pid", id.pid);
  o << "  \"running\": " << (id.running ? "true" : "false") << ",\n";
  num("started_at", id.startedAt);
  num("updated_at", now);
  num("uptime_seconds", now - id.startedAt);
  text("cache_dir", id.cacheDir);
  text("vault_dir", id.vaultDir);
  text("map_name", id.mapName);
  text("log_file", id.logFile);
  o << "  \"store_open\": " << (id.storeOpen ? "true" : "false") << ",\n";
  num("store_file_pages", id.filePages);
  num("store_segments", id.segments);
  num("store_extent_files", id.extentFiles);
  num("store_extent_mb", id.extentMB);
  num("store_bytes", static_cast<long long>(id.segments) * 16384 +
                         (static_cast<long long>(id.extentFiles) * id.extentMB << 20));
  num("clients", c.clients.load());
  num("open_handles", id.openHandles);
  num("block_hits", static_cast<long long>(c.blockHits.load()));
  num("block_misses", static_cast<long long>(c.blockMisses.load()));
  num("bytes_from_store", static_cast<long long>(c.bytesFromStore.load()));
  num("bytes_from_vault", static_cast<long long>(c.bytesFromVault.load()));
  num("file_hits", static_cast<long long>(c.fileHits.load()));
  num("file_misses", static_cast<long long>(c.fileMisses.load()));
  num("files_bytes", c.filesBytes.load());
  num("files_max_bytes", id.filesMaxBytes);
  num("files_evicted", static_cast<long long>(c.filesEvicted.load()), true);
  o << "}\n";
  return o.str();
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  return platform::ReplaceFile(path.c_str(), text.data(), text.size(),
                               platform::FileMode::kCreatePrivate) == 0;
}

bool ParseFlatJson(const std::string& text, std::map<std::string, std::string>* out) {
  size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\t' || text[i] == '\r')) ++i;
  };
  auto str = [&](std::string* s) {
    if (i >= text.size() || text[i] != '"') return false;
    ++i;
    s->clear();
    while (i < text.size() && text[i] != '"') {
      if (text[i] == '\\' && i + 1 < text.size()) {
        ++i;
        if (text[i] == 'u' && i + 4 < text.size()) {
          *s += static_cast<char>(std::stoi(text.substr(i + 1, 4), nullptr, 16));
          i += 5;
          continue;
        }
      }
      *s += text[i++];
    }
    if (i >= text.size()) return false;
    ++i;
    return true;
  };
  skip();
  if (i >= text.size() || text[i++] != '{') return false;
  for (;;) {
    skip();
    if (i < text.size() && text[i] == '}') return true;
    std::string key, value;
    if (!str(&key)) return false;
    skip();
    if (i >= text.size() || text[i++] != ':') return false;
    skip();
    if (i < text.size() && text[i] == '"') {
      if (!str(&value)) return false;
    } else {
      size_t start = i;
      while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != '\n') ++i;
      value = text.substr(start, i - start);
      if (value.empty()) return false;
    }
    (*out)[key] = value;
    skip();
    if (i < text.size() && text[i] == ',') {
      ++i;
      continue;
    }
    skip();
    return i < text.size() && text[i] == '}';
  }
}

}  // namespace kdr::server
