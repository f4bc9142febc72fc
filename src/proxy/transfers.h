// Transfers of registered files: the download, upload and roll-back entries
// (VXN_DownloadFile(s)FromPLM, VXN_DownloadFile(s)ToLocation, VXN_UploadFile(s)ToPLM,
// VXN_RollbackFile(s)UploadedToPLM, declared in iface/interface.h and defined in
// transfers.cpp). Each single transfer opens a transfer handle on the ticket's entry, runs its
// exchange, closes the handle at the server whatever happened and gives the entry back.
//
// Concurrency: a transfer holds a hold on its ticket entry (proxy/tickets.h) and owns its
// handle; it holds no lock while it waits for the server.
#ifndef KDR_PROXY_TRANSFERS_H_
#define KDR_PROXY_TRANSFERS_H_

#include "iface/interface.h"

namespace kdr {

struct TicketEntry;

// Makes a transfer handle for the registered `key`: a fresh open-file record carrying copies
// of the entry's ticket and GUID and its key, opened at the cache server (KDR_OPEN_MSG).
// On success returns 0, stores the handle in *handle and the entry in *entry: the handle's
// key belongs to the entry, so the caller keeps that hold until the handle is freed, then
// calls ReleaseTicket(*entry). On failure returns ERR_KDRCP_BAD_TICKET (no key, or not
// registered), ERR_KDRCP_BAD_FILE (no output), ERR_KDRCP_TOO_MANY, ERR_KDRCP_OUT_OF_MEMORY or
// the open exchange's code, with nothing left to release.
int OpenTransferHandle(const char* key, OpenFileRecord** handle, TicketEntry** entry);

}  // namespace kdr

#endif  // KDR_PROXY_TRANSFERS_H_
