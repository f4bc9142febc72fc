// What a store needs to keep its files safe across a full disk, a crash and a power cut:
// real allocation of file space before a mapping writes to it, flushing files and mapped
// views to the disk, and the identity of the running system boot.
//
// Every function but the StartWriteback hint returns 0 on success or the errno value of the
// failing call, and passes the fault seam (platform/fault.h) first. Thread-safe: no state of their
// own.
#ifndef KDR_PLATFORM_DURABLE_H_
#define KDR_PLATFORM_DURABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kdr::platform {

// Allocates the disk blocks of bytes [offset, offset + len) of the open file `fd`, growing the
// file when that range goes past its end; bytes never written read as zeros. No data is
// written where the file system can allocate without (most can), so a gigabyte costs
// milliseconds. ENOSPC when the space is not there: then no write through a mapping of that
// range may be made, since a write into a hole of a full disk kills the process with SIGBUS.
int AllocateFile(int fd, uint64_t offset, uint64_t len);

// Flushes the file's data and metadata to the disk.
int SyncFile(int fd);

// Flushes directory `dir` to the disk, so that the names made or renamed in it last (a file
// committed by a rename) survive a power cut.
int SyncDirectory(const std::string& dir);

// Starts writing bytes [offset, offset + len) of the file to the disk without waiting for
// it, so that a later SyncFile has less left to wait for. Only a hint: it reports nothing,
// and a file system that cannot start it early writes the bytes at SyncFile as before.
void StartWriteback(int fd, uint64_t offset, uint64_t len);

// Flushes the written pages of [addr, addr + len) of a shared file mapping to the disk, and
// waits for it. addr need not be page aligned.
int SyncMapped(void* addr, size_t len);

// The identity of this boot of the system (a text that changes at every boot), empty when the
// system does not tell. A store compares it to tell a crash of its process (the system kept
// every written page) from a crash of the system (pages not yet on disk are lost).
std::string BootId();

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_DURABLE_H_
