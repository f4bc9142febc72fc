#include "server/revalidation.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/clock.h"
#include "server/stats.h"

namespace kdr::server {

namespace pf = kdr::platform;

Revalidator::Revalidator(RevalidationTarget* target, int revalidateSeconds)
    : target_(target), boundMs_(revalidateSeconds > 0 ? revalidateSeconds * 1000 : 500) {}

Revalidator::~Revalidator() { Stop(); }

void Revalidator::Start() {
  MutexLock guard(&mu_);
  if (thread_.joinable() || stop_) return;
  scannedSec_ = static_cast<int64_t>(std::time(nullptr));
  thread_ = std::thread([this] { Loop(); });
}

void Revalidator::Stop() {
  {
    MutexLock guard(&mu_);
    stop_ = true;
  }
  cv_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

void Revalidator::Opened(const std::string& guid, bool fresh) {
  int32_t now = pf::MonotonicMs();
  MutexLock guard(&mu_);
  auto [it, added] = uses_.try_emplace(guid);
  Use& u = it->second;
  u.usedMs = now;
  u.pending = true;
  // The open asked the vault (or trusted an answer younger than the bound).
  if (fresh || added) u.checkedMs = now;
}

void Revalidator::Loop() {
  const int32_t tickMs = std::clamp(boundMs_ / 4, 100, 1000);
  for (;;) {
    {
      MutexLock hold(&mu_);
      if (!stop_) cv_.WaitFor(&mu_, std::chrono::milliseconds(tickMs));
      if (stop_) break;
    }
    Tick(pf::MonotonicMs());
  }
}

size_t Revalidator::Tick(int32_t nowMs) {
  // What the store saw used since the last scan (a second of overlap: its clock has seconds).
  int64_t since = 0;
  {
    MutexLock guard(&mu_);
    since = scannedSec_ - 1;
    scannedSec_ = static_cast<int64_t>(std::time(nullptr));
  }
  std::vector<std::string> noted;
  target_->NotedInUseSince(since, &noted);
  std::vector<std::string> due;
  {
    MutexLock guard(&mu_);
    for (const std::string& guid : noted) {
      auto [it, added] = uses_.try_emplace(guid);
      if (added) it->second.checkedMs = nowMs - boundMs_;  // dormant until now: due at once
      it->second.usedMs = nowMs;
      it->second.pending = true;
    }
    for (auto it = uses_.begin(); it != uses_.end();) {
      Use& u = it->second;
      if (u.pending && pf::ElapsedMs(u.checkedMs, nowMs) >= boundMs_) {
        due.push_back(it->first);
      } else if (!u.pending && pf::ElapsedMs(u.usedMs, nowMs) >= 2 * boundMs_) {
        it = uses_.erase(it);  // unused for a while: dormant
        continue;
      }
      ++it;
    }
  }
  // An idle server asks nothing; while the vault is away what is due waits for its return
  // (its prober finds it back), not asked again and again into the outage.
  if (due.empty() || target_->VaultAway()) return 0;
  std::vector<std::string> versions;
  std::vector<int> results;
  target_->AskVault(due, &versions, &results);
  size_t changed = 0;
  for (size_t i = 0; i < due.size(); ++i) {
    bool answered = results[i] == 0 || results[i] == ENOENT;
    if (answered && target_->Rechecked(due[i], results[i], versions[i])) ++changed;
    MutexLock guard(&mu_);
    auto it = uses_.find(due[i]);
    if (it == uses_.end()) continue;
    if (answered) {
      it->second.checkedMs = nowMs;
      it->second.pending = false;
    } else {
      // The store failed: again in half a bound, or once it is back after an outage.
      it->second.checkedMs = nowMs - boundMs_ / 2;
    }
  }
  Stats().NoteRevalidation(changed);
  return due.size();
}

}  // namespace kdr::server
