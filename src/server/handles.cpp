#include "server/handles.h"

namespace kdr::server {

namespace {
std::pair<long, uint64_t> Key(const platform::PeerProcess& p) { return {p.pid, p.start}; }
}  // namespace

HandleTable::HandleTable(uint32_t maxHandles, uint32_t maxPerProcess)
    : max_(maxHandles > 0x7FFF ? 0x7FFF : maxHandles), maxPerProcess_(maxPerProcess) {}

bool HandleTable::Add(std::shared_ptr<OpenFile> file, uint16_t* handle) {
  MutexLock guard(&mu_);
  if (files_.size() >= max_) return false;
  uint32_t& mine = perOwner_[Key(file->owner)];
  if (mine >= maxPerProcess_) {
    if (mine == 0) perOwner_.erase(Key(file->owner));
    return false;
  }
  // The table is not full, so a free number exists below max_.
  for (uint32_t tries = 0; tries < max_; ++tries) {
    uint16_t h = next_;
    next_ = static_cast<uint16_t>((next_ + 1) % max_);
    if (files_.count(h) == 0) {
      files_.emplace(h, std::move(file));
      ++mine;
      *handle = h;
      return true;
    }
  }
  return false;
}

std::shared_ptr<OpenFile> HandleTable::Find(const platform::PeerProcess& owner,
                                            uint16_t handle) const {
  MutexLock guard(&mu_);
  auto it = files_.find(handle);
  if (it == files_.end() || !(it->second->owner == owner)) return nullptr;
  return it->second;
}

bool HandleTable::Remove(const platform::PeerProcess& owner, uint16_t handle) {
  MutexLock guard(&mu_);
  auto it = files_.find(handle);
  if (it == files_.end() || !(it->second->owner == owner)) return false;
  files_.erase(it);
  auto o = perOwner_.find(Key(owner));
  if (o != perOwner_.end() && --o->second == 0) perOwner_.erase(o);
  return true;
}

size_t HandleTable::RemoveOwner(const platform::PeerProcess& owner) {
  MutexLock guard(&mu_);
  size_t n = 0;
  for (auto it = files_.begin(); it != files_.end();) {
    if (it->second->owner == owner) {
      it = files_.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  perOwner_.erase(Key(owner));
  return n;
}

std::vector<platform::PeerProcess> HandleTable::Owners() const {
  MutexLock guard(&mu_);
  std::vector<platform::PeerProcess> out;
  for (const auto& [key, count] : perOwner_) out.push_back({key.first, key.second});
  return out;
}

size_t HandleTable::Count() const {
  MutexLock guard(&mu_);
  return files_.size();
}

bool HandleTable::Holds(const std::string& guid, const std::string& version) const {
  MutexLock guard(&mu_);
  for (const auto& entry : files_) {
    const std::shared_ptr<OpenFile>& f = entry.second;
    if (f != nullptr && f->guid == guid && f->file != nullptr && f->file->Info().version == version) {
      return true;
    }
  }
  return false;
}

}  // namespace kdr::server
