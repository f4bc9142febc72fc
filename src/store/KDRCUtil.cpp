// KDRCUtil: the printers, the error record and the helpers of the error discipline.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "store/kdrc_internal.h"

static const char kModule[] = "KDRCUtil";

namespace {

thread_local int t_lastOSError = 0;
std::atomic<KDRC_PRINT_SINK> g_printSink{nullptr};

const char* CodeName(int code) {
  const char* name = KDRCX_ErrorName(code);
  return name != nullptr ? name : "**** NO SUCH ERROR CODE *****";
}

void PrintLine(const char* kind, const char* name, const char* module, const char* function,
               int line) {
  KDRCX_Print("***Error: %s: %s:%s:%s:%d\n", kind, name ? name : "", module ? module : "",
              function ? function : "", line);
}

}  // namespace

void KDRCX_NoteOSError(int err) { t_lastOSError = err; }

void KDRCX_SetPrintSink(KDRC_PRINT_SINK sink) { g_printSink.store(sink); }

void KDRCX_Print(const char* format, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  KDRC_PRINT_SINK sink = g_printSink.load();
  if (sink != nullptr) {
    sink(text);
    return;
  }
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int KDRCX_NullPointer(const char* name, const char* module, const char* function, int line) {
  PrintLine("Null Pointer", name, module, function, line);
  return KDRC_ERROR_NULL_POINTER;
}

int KDRCX_BadSig(const char* sigName, const char* module, const char* function, int line) {
  PrintLine("BadSig", sigName, module, function, line);
  return KDRC_ERROR_BAD_TYPE_SIG;
}

int KDRCX_NullParameter(KDRC_ERROR_T*, const char* module, const char* function, int line,
                        const char* name) {
  PrintLine("Null Parameter", name, module, function, line);
  return KDRC_ERROR_NULL_POINTER;
}

int KDRCX_OutOfMemory(const char* module, const char* function, int line, const char* name) {
  PrintLine("Out of memory", name, module, function, line);
  return KDRC_ERROR_OUT_OF_MEMORY;
}

int KDRCX_Traceback(const char* function, int code) {
  KDRCX_Print("***TRACEBACK: %s\n", function);
  return code;
}

// A store being closed has destroyed its error record before its segment TOC is closed; a
// failure there is printed by code and name instead of touching the freed record.
static void PrintUnrecorded(int code) {
  t_lastOSError = 0;
  KDRCX_Print("***ERROR(%d): %s\n", code, CodeName(code));
}

int KDRCX_Fail(KDRC_ERROR_T* err, const char* module, const char* function, int line, int code) {
  if (err == nullptr)
    PrintUnrecorded(code);
  else
    KDRCX_SetError(err, module, function, line, code);
  return KDRCX_Traceback(function, code);
}

int KDRCX_FailValue(KDRC_ERROR_T* err, const char* module, const char* function, int line,
                    int value, int code) {
  if (err == nullptr)
    PrintUnrecorded(code);
  else
    KDRCX_SetErrorValue(err, module, function, line, value, code);
  return KDRCX_Traceback(function, code);
}

int KDRCX_CheckToc(const KDRC_FILETOC_T* toc, const char* module, const char* function,
                   int line) {
  if (toc == nullptr) return KDRCX_NullPointer("pToc", module, function, line);
  if (toc->signature != KDRC_FILETOC_T_SIG)
    return KDRCX_BadSig("KDRC_FILETOC_T_SIG", module, function, line);
  return 0;
}

int KDRCX_CheckShared(const KDRC_FILETOC_T* toc, bool closedOk, const char* module,
                      const char* function, int line) {
  if (int rc = KDRCX_CheckToc(toc, module, function, line)) return rc;
  if (toc->pShared == nullptr) return KDRCX_NullPointer("pShared", module, function, line);
  int32_t sig = toc->pShared->signature;
  // Closing takes any record an owner wrote, also an open one a client without the trusted
  // bits (let go of first) would not use.
  if (!KDRCX_SharedOpen(toc, sig) &&
      !(closedOk && (sig == KDRC_FILESHARED_T_CLOSED_SIG || sig == KDRC_FILESHARED_T_CHECKING_SIG)))
    return KDRCX_BadSig("KDRC_FILESHARED_T_SIG", module, function, line);
  return 0;
}

bool KDRCX_SharedOpen(const KDRC_FILETOC_T* toc, int32_t sig) {
  return sig == KDRC_FILESHARED_T_SIG ||
         (sig == KDRC_FILESHARED_T_CHECKING_SIG && (!toc->client || toc->pTrusted != nullptr));
}

char* KDRCX_StrDup(const char* s) {
  size_t n = std::strlen(s) + 1;
  auto* p = static_cast<char*>(std::malloc(n));
  if (p != nullptr) std::memcpy(p, s, n);
  return p;
}

int KDRCX_Error_Create(KDRC_ERROR_T** ppErr) {
  if (ppErr == nullptr) return KDRCX_NullPointer("ppErr", KDRC_HERE);
  *ppErr = nullptr;
  auto* err = static_cast<KDRC_ERROR_T*>(std::calloc(1, sizeof(KDRC_ERROR_T)));
  if (err == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "pErr");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  err->signature = KDRC_ERROR_T_SIG;
  *ppErr = err;
  return 0;
}

int KDRCX_Error_Destroy(KDRC_ERROR_T* pErr) {
  if (pErr == nullptr) return KDRCX_NullPointer("pErr", KDRC_HERE);
  if (pErr->signature != KDRC_ERROR_T_SIG) return KDRCX_BadSig("KDRC_ERROR_T", KDRC_HERE);
  pErr->method = nullptr;
  pErr->file = nullptr;
  pErr->line = 0;
  pErr->osError = 0;
  pErr->cacheError = 0;
  std::memset(pErr->osErrorText, 0, sizeof pErr->osErrorText);
  std::memset(pErr->cacheErrorText, 0, sizeof pErr->cacheErrorText);
  pErr->signature = 0;
  std::free(pErr);
  return 0;
}

namespace {

// The shared body of KDRCX_SetError and KDRCX_SetErrorValue.
int Record(KDRC_ERROR_T* pErr, const char* module, const char* function, int line, int code,
           bool withValue, int value) {
  if (pErr == nullptr) {
    t_lastOSError = 0;
    return KDRCX_NullPointer("pErr", kModule, "KDRCX_SetError", __LINE__);
  }
  if (pErr->signature != KDRC_ERROR_T_SIG) {
    t_lastOSError = 0;
    return KDRCX_BadSig("KDRC_ERROR_T", kModule, "KDRCX_SetError", __LINE__);
  }
  pErr->method = function;
  pErr->file = module;
  pErr->line = line;
  pErr->cacheError = code;
  std::memset(pErr->cacheErrorText, 0, sizeof pErr->cacheErrorText);
  std::strncpy(pErr->cacheErrorText, CodeName(code), KDRC_OS_TEXT_SIZE - 1);
  if (withValue) {
    size_t used = std::strlen(pErr->cacheErrorText);
    std::snprintf(pErr->cacheErrorText + used, sizeof pErr->cacheErrorText - used, ":= %d",
                  value);
  }
  int os = t_lastOSError;
  t_lastOSError = 0;
  pErr->osError = static_cast<uint32_t>(os);
  if (os != 0) {
    KDRCX_GetOSErrorText(pErr->osError, pErr->osErrorText);
  } else {
    std::memset(pErr->osErrorText, 0, sizeof pErr->osErrorText);
  }
  KDRCX_PrintError(pErr);
  return code;
}

}  // namespace

int KDRCX_SetError(KDRC_ERROR_T* pErr, const char* module, const char* function, int line,
                   int code) {
  return Record(pErr, module, function, line, code, false, 0);
}

int KDRCX_SetErrorValue(KDRC_ERROR_T* pErr, const char* module, const char* function, int line,
                        int value, int code) {
  return Record(pErr, module, function, line, code, true, value);
}

int KDRCX_GetOSErrorText(uint32_t osCode, char* message) {
  if (message == nullptr) return KDRCX_NullPointer("message", KDRC_HERE);
  char text[1024];
  // The named-object layer reports an existing object with the Windows number; its text is
  // that of EEXIST.
  int code = osCode == 183 ? EEXIST : static_cast<int>(osCode);
  if (!kdr::platform::SystemErrorText(code, text, sizeof text)) {
    std::memset(message, 0, KDRC_OS_TEXT_SIZE);
    std::strcpy(message, "***FormatMessage failed");
    return 0;
  }
  // Keep the first line only, at most 255 characters, zero-filled behind.
  size_t n = std::strcspn(text, "\r\n");
  if (n > KDRC_OS_TEXT_SIZE - 1) n = KDRC_OS_TEXT_SIZE - 1;
  std::memset(message, 0, KDRC_OS_TEXT_SIZE);
  std::memcpy(message, text, n);
  KDRCX_Print("***OSERROR: %s\n", message);
  return 0;
}

int KDRCX_PrintError(KDRC_ERROR_T* pErr) {
  if (pErr == nullptr) return KDRCX_NullPointer("pErr", KDRC_HERE);
  if (pErr->signature != KDRC_ERROR_T_SIG) return KDRCX_BadSig("KDRC_ERROR_T", KDRC_HERE);
  KDRCX_Print("\n");
  if (pErr->cacheError == 0 && pErr->osError == 0) {
    KDRCX_Print("***ERROR: no message available\n");
    return 0;
  }
  KDRCX_Print(
      "***ERROR:     FILE        = %s\n              METHOD      = %s\n"
      "              LINENO      = %d\n",
      pErr->file ? pErr->file : "", pErr->method ? pErr->method : "", pErr->line);
  if (pErr->cacheError != 0)
    KDRCX_Print("              KDR_ERR(%d) = %s\n", pErr->cacheError, pErr->cacheErrorText);
  if (pErr->osError != 0)
    KDRCX_Print("              OS_ERR      = (%d): %s\n", static_cast<int>(pErr->osError),
                pErr->osErrorText);
  return 0;
}
