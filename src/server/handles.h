// Server file handles: 16-bit numbers that name a file opened by a client process.
//
// A handle belongs to the client process that opened it, not to the connection: any thread of
// that process may use it on its own pipe, also after an idle pipe was closed and opened
// again. A handle is released by the close request, or with all handles of its process once
// that process has exited. Owners are named with their start time, so a new process that gets
// a dead owner's id does not inherit its handles.
//
// Thread-safe; mu_ guards the table. Callers keep the record they got for as long as they use
// it, so a close by another thread never frees a file under a running read.
#ifndef KDR_SERVER_HANDLES_H_
#define KDR_SERVER_HANDLES_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/pipe_server.h"
#include "server/vault.h"

namespace kdr::server {

struct OpenFile {
  platform::PeerProcess owner;
  std::string guid;
  std::shared_ptr<VaultFile> file;
};

class HandleTable {
 public:
  HandleTable(uint32_t maxHandles, uint32_t maxPerProcess);

  // Enters `file` and returns its handle in *handle. False when the table, or the owner's
  // share of it, is full.
  bool Add(std::shared_ptr<OpenFile> file, uint16_t* handle);

  // The file behind `handle` if `owner` owns it, else null.
  std::shared_ptr<OpenFile> Find(const platform::PeerProcess& owner, uint16_t handle) const;

  // Releases `handle` if `owner` owns it. False when it does not.
  bool Remove(const platform::PeerProcess& owner, uint16_t handle);

  // Releases every handle of `owner`; returns how many.
  size_t RemoveOwner(const platform::PeerProcess& owner);

  // The owners that hold handles now.
  std::vector<platform::PeerProcess> Owners() const;

  size_t Count() const;

  // Whether any client holds a handle on volume `version` of `guid`.
  bool Holds(const std::string& guid, const std::string& version) const;

 private:
  const uint32_t max_;
  const uint32_t maxPerProcess_;
  mutable Mutex mu_;
  std::map<uint16_t, std::shared_ptr<OpenFile>> files_ GUARDED_BY(mu_);
  std::map<std::pair<long, uint64_t>, uint32_t> perOwner_ GUARDED_BY(mu_);
  // Where the search for a free number starts: numbers are not reused soon.
  uint16_t next_ GUARDED_BY(mu_) = 0;
};

}  // namespace kdr::server

#endif  // KDR_SERVER_HANDLES_H_
