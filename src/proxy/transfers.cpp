#include "proxy/transfers.h"

#include <string>
#include <vector>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/export.h"
#include "iface/runtime.h"
#include "platform/dirs.h"
#include "protocol/data_messages.h"
#include "protocol/transfer_messages.h"
#include "proxy/lifecycle.h"
#include "proxy/open_files.h"
#include "proxy/tickets.h"

namespace kdr {

namespace {

// One single-file transfer: open a transfer handle, run `exchange` on it, close it at the
// server whatever happened, free it, give the entry back.
template <typename Exchange>
int RunTransfer(const char* key, Exchange exchange) {
  OpenFileRecord* handle = nullptr;
  TicketEntry* entry = nullptr;
  int r = OpenTransferHandle(key, &handle, &entry);
  if (r != 0) return KdrErrorCode(r);
  r = exchange(handle);
  CloseMsg(handle);
  FreeFileHandle(handle);
  ReleaseTicket(entry);
  return KdrErrorCode(r);
}

// `path` made absolute against the process's working directory (the server runs elsewhere).
// An absolute, null or empty path comes back as it is; *ok is false only when the working
// directory cannot be found.
std::string Absolute(const char* path, bool* ok) {
  *ok = true;
  if (path == nullptr || path[0] == '\0' || path[0] == '/') return path != nullptr ? path : "";
  std::string cwd;
  if (platform::CurrentDirectory(&cwd) != 0 || cwd.empty()) {
    *ok = false;
    return path;
  }
  if (cwd.back() != '/') cwd.push_back('/');
  return cwd + path;
}

int DownloadOne(const char* tag, const char* key, ProgressCallback callback, void* context,
                char** path) {
  if (tag == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  if (key == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  if (path == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  return RunTransfer(
      key, [&](OpenFileRecord* h) { return GetFileMsg(h, path, tag, callback, context); });
}

int DownloadToOne(const char* tag, const char* key, ProgressCallback callback, void* context,
                  const char* directory, const char* fileName) {
  if (tag == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  if (key == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  if (fileName == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  // A relative target is the caller's, not the server's: it is made absolute here. Without a
  // directory, the file name alone is the path.
  bool ok = true;
  std::string dir;
  if (directory != nullptr && directory[0] != '\0') {
    dir = Absolute(directory, &ok);
  } else if (fileName[0] != '/') {
    dir = Absolute(".", &ok);
    if (ok) dir.resize(dir.size() - 1);  // "<cwd>/." -> "<cwd>/"
  }
  if (!ok) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  return RunTransfer(key, [&](OpenFileRecord* h) {
    return GetLocationMsg(h, tag, callback, context, dir.empty() ? nullptr : dir.c_str(), fileName);
  });
}

int UploadOne(const char* key, ProgressCallback callback, void* context, const char* localPath,
              char** volumeId) {
  if (key == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  if (localPath == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  bool ok = true;
  std::string path = Absolute(localPath, &ok);
  if (!ok) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  return RunTransfer(key, [&](OpenFileRecord* h) {
    // The volume id is optional to the caller; the exchange always hands one out.
    char* id = nullptr;
    int r = UploadMsg(h, path.c_str(), callback, context, &id);
    if (volumeId != nullptr) {
      *volumeId = id;
    } else if (id != nullptr) {
      KdrRelease(id);
    }
    return r;
  });
}

int RollbackOne(const char* key, const char* volumeId) {
  if (key == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  return RunTransfer(
      key, [&](OpenFileRecord* h) { return RollbackMsg(h, volumeId != nullptr ? volumeId : ""); });
}

}  // namespace

int OpenTransferHandle(const char* key, OpenFileRecord** handle, TicketEntry** entry) {
  if (key == nullptr) return ERR_KDRCP_BAD_TICKET;
  if (handle == nullptr || entry == nullptr) return ERR_KDRCP_BAD_FILE;
  *handle = nullptr;
  *entry = nullptr;
  TicketEntry* e = LookupTicket(key);
  if (e == nullptr) return ERR_KDRCP_BAD_TICKET;
  OpenFileRecord* h = NewFileHandle();
  if (h == nullptr) {
    ReleaseTicket(e);
    return ERR_KDRCP_TOO_MANY;
  }
  int r = CopyOpenFileText(e->ticket, &h->ticket);
  if (r == 0) r = CopyOpenFileText(e->guid, &h->guid);
  if (r != 0) {
    FreeFileHandle(h);
    ReleaseTicket(e);
    return r;
  }
  h->ticketKey = e->key;
  r = OpenMsg(h);
  if (r < 0) {
    KdrErrorCode(r);
    FreeFileHandle(h);
    ReleaseTicket(e);
    return r;
  }
  h->serverHandle = static_cast<uint16_t>(r);
  *handle = h;
  *entry = e;
  return 0;
}

}  // namespace kdr

using namespace kdr;

// --- Interface entries ---

KDR_EXPORT int VXN_DownloadFileFromPLM(const char* tag, const char* key, ProgressCallback callback,
                                       void* context, char** path) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return DownloadOne(tag, key, callback, context, path);
}

KDR_EXPORT int VXN_DownloadFilesFromPLM(const char* tag, int count, const char* const* keys,
                                        ProgressCallback callback, void* context, char** paths,
                                        int* results) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  int r = StartBatch(count, keys, paths != nullptr, results);
  if (r != 0) return r;
  for (int i = 0; i < count; ++i) paths[i] = nullptr;
  for (int i = 0; i < count; ++i) {
    results[i] = DownloadOne(tag, keys[i], callback, context, &paths[i]);
    if (results[i] < 0) return KdrErrorCode(results[i]);
  }
  KdrRestoreErrorText();
  return 0;
}

KDR_EXPORT int VXN_DownloadFileToLocation(const char* tag, const char* key,
                                          ProgressCallback callback, void* context,
                                          const char* directory, const char* fileName) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return DownloadToOne(tag, key, callback, context, directory, fileName);
}

KDR_EXPORT int VXN_DownloadFilesToLocation(const char* tag, int count, const char* const* keys,
                                           ProgressCallback callback, void* context,
                                           const char* directory, const char* const* names,
                                           int* results) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (tag == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  int r = StartBatch(count, keys, names != nullptr, results);
  if (r != 0) return r;
  for (int i = 0; i < count; ++i) {
    results[i] = DownloadToOne(tag, keys[i], callback, context, directory, names[i]);
    if (results[i] < 0) return KdrErrorCode(results[i]);
  }
  KdrRestoreErrorText();
  return 0;
}

KDR_EXPORT int VXN_UploadFileToPLM(const char* key, ProgressCallback callback, void* context,
                                   const char* localPath, char** volumeId) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return UploadOne(key, callback, context, localPath, volumeId);
}

KDR_EXPORT int VXN_UploadFilesToPLM(int count, const char* const* keys, ProgressCallback callback,
                                    void* context, const char* const* paths, int continueOnError,
                                    char** volumeIds, int* results) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  int r = StartBatch(count, keys, paths != nullptr, results);
  if (r != 0) return r;
  if (volumeIds != nullptr) {
    for (int i = 0; i < count; ++i) volumeIds[i] = nullptr;
  }
  // The volume id of every upload is kept whether or not the caller asked for them: the
  // roll-back of an all-or-nothing call must remove exactly the volumes it made (an empty id
  // would remove the newest volume, which may be somebody else's).
  std::vector<char*> ids(static_cast<size_t>(count), nullptr);
  auto giveBack = [&] {
    for (int i = 0; i < count; ++i) {
      if (volumeIds != nullptr) volumeIds[i] = ids[static_cast<size_t>(i)];
      else KdrRelease(ids[static_cast<size_t>(i)]);
    }
  };
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    results[i] = UploadOne(keys[i], callback, context, paths[i], &ids[static_cast<size_t>(i)]);
    if (results[i] == 0) continue;
    KdrSaveErrorText();
    if (continueOnError != 0) {
      ++failures;
      continue;
    }
    // All or nothing: undo the uploads that went through, keep the failure's text.
    for (int j = 0; j < i; ++j) {
      if (ids[static_cast<size_t>(j)] == nullptr) continue;  // no volume known: nothing to undo
      KdrClearLastError();
      RollbackOne(keys[j], ids[static_cast<size_t>(j)]);
    }
    giveBack();
    KdrRestoreErrorText();
    return KdrErrorCode(results[i]);
  }
  giveBack();
  KdrRestoreErrorText();
  return failures;
}

KDR_EXPORT int VXN_RollbackFileUploadedToPLM(const char* key, const char* volumeId) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return RollbackOne(key, volumeId);
}

KDR_EXPORT int VXN_RollbackFilesUploadedToPLM(int count, const char* const* keys,
                                              const char* const* volumeIds, int* results) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  int r = StartBatch(count, keys, true, results);
  if (r != 0) return r;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    results[i] = RollbackOne(keys[i], volumeIds != nullptr ? volumeIds[i] : nullptr);
    if (results[i] < 0) {
      ++failures;
      KdrSaveErrorText();
    }
  }
  KdrRestoreErrorText();
  return failures;
}
