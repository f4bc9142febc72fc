// A stand-in for an installed client-proxy library: every entry answers a value that names
// its slot (4200 + slot), so a test can tell which implementation a call reached. Built with
// KDR_STUB_LACKS_SCHEDULE_RANGE it lacks exactly one entry, VXN_ScheduleRange.
#include "iface/export.h"
#include "iface/interface.h"

namespace {
constexpr int kBase = 4200;
}

KDR_EXPORT int VXN_IsVXNEnabled(int* enabled) {
  if (enabled != nullptr) *enabled = 1;
  return kBase + 1;
}
KDR_EXPORT int VXN_Init(VXNAllocFn, VXNFreeFn) { return kBase + 2; }
KDR_EXPORT int VXN_Term(void) { return kBase + 3; }
KDR_EXPORT int VXN_SetLocale(const char*) { return kBase + 4; }
KDR_EXPORT int VXN_GetLastError(const char** message) {
  if (message != nullptr) *message = "stub";
  return kBase + 5;
}
KDR_EXPORT int VXN_Echo(void) { return kBase + 6; }
KDR_EXPORT int VXN_GetFileGUID(VXNFileHandle, char**) { return kBase + 7; }
KDR_EXPORT int VXN_RegisterTicket(const char*, const char**) { return kBase + 8; }
KDR_EXPORT int VXN_RegisterTickets(int, const char* const*, const char**, int*) {
  return kBase + 9;
}
KDR_EXPORT int VXN_UnRegisterTicket(const char*) { return kBase + 10; }
KDR_EXPORT int VXN_UnRegisterTickets(int, const char* const*, int*) { return kBase + 11; }
KDR_EXPORT int VXN_DownloadFileFromPLM(const char*, const char*, ProgressCallback, void*,
                                       char**) {
  return kBase + 12;
}
KDR_EXPORT int VXN_DownloadFilesFromPLM(const char*, int, const char* const*, ProgressCallback,
                                        void*, char**, int*) {
  return kBase + 13;
}
KDR_EXPORT int VXN_DownloadFileToLocation(const char*, const char*, ProgressCallback, void*,
                                          const char*, const char*) {
  return kBase + 14;
}
KDR_EXPORT int VXN_DownloadFilesToLocation(const char*, int, const char* const*,
                                           ProgressCallback, void*, const char*,
                                           const char* const*, int*) {
  return kBase + 15;
}
KDR_EXPORT int VXN_UploadFileToPLM(const char*, ProgressCallback, void*, const char*, char**) {
  return kBase + 16;
}
KDR_EXPORT int VXN_UploadFilesToPLM(int, const char* const*, ProgressCallback, void*,
                                    const char* const*, int, char**, int*) {
  return kBase + 17;
}
KDR_EXPORT int VXN_RollbackFileUploadedToPLM(const char*, const char*) { return kBase + 18; }
KDR_EXPORT int VXN_RollbackFilesUploadedToPLM(int, const char* const*, const char* const*,
                                              int*) {
  return kBase + 19;
}
KDR_EXPORT int VXN_OpenFile(const char*, VXNFileHandle*) { return kBase + 20; }
KDR_EXPORT int VXN_RefreshFileTicket(VXNFileHandle, const char*) { return kBase + 21; }
KDR_EXPORT int VXN_FileSize(VXNFileHandle, int64_t*) { return kBase + 22; }
KDR_EXPORT int VXN_GetSeekPointer(VXNFileHandle, int64_t*) { return kBase + 23; }
KDR_EXPORT int VXN_SeekRelative(VXNFileHandle, int64_t) { return kBase + 24; }
KDR_EXPORT int VXN_SeekAbsolute(VXNFileHandle, int64_t) { return kBase + 25; }
KDR_EXPORT int VXN_ReadBytes(VXNFileHandle, const char*, int, int*, void*) { return kBase + 26; }
#ifndef KDR_STUB_LACKS_SCHEDULE_RANGE
KDR_EXPORT int VXN_ScheduleRange(VXNFileHandle, const char*, int64_t, int) { return kBase + 27; }
#endif
KDR_EXPORT int VXN_CloseFileHandlePointer(VXNFileHandle) { return kBase + 28; }
KDR_EXPORT void* VXNStartThread(VXNThreadRoutine, void*, uint32_t*) { return nullptr; }
KDR_EXPORT void VXNTerminateThread(void*, uint32_t) {}
KDR_EXPORT int KdrClearCache(void) { return kBase + 31; }
KDR_EXPORT int KdrErrorCode(int) { return kBase + 32; }
KDR_EXPORT void KdrClearLastError(void) {}
KDR_EXPORT int KdrDeltaMs(KdrClockValue, KdrClockValue) { return kBase + 34; }
KDR_EXPORT KdrClockValue KdrClock(void) { return kBase + 35; }
KDR_EXPORT uint32_t ThreadId(void) { return kBase + 36; }
KDR_EXPORT void KdrSleepMs(uint32_t) {}
KDR_EXPORT int GUIDLength(const char*) { return kBase + 38; }
KDR_EXPORT void synchronize(void) {}
KDR_EXPORT void endSynchronize(void) {}
