#include "protocol/control_messages.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "client/config.h"
#include "client/proxy_log.h"
#include "protocol/message_framing.h"
#include "protocol/transfer_messages.h"

namespace kdr {

int EchoMsg() {
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();

  BeginRequest(record, KDR_ECHO_MSG, 0);
  int n = SendLogged(record, record->requestBuffer, kHeaderSize, "ECHO request");
  if (n < 0) return n;
  return ReceiveEmptyReply(record, kEchoRules);
}

}  // namespace kdr

// ---------------------------------------------------------------------------------------------

namespace kdr {

namespace {

// Longest text sent for translation, its NUL included: the reply's 16-bit length could not
// carry a longer translation back, and the server's message limit is far below this anyway.
constexpr size_t kMaxRequestText = 0x7FFF;

std::atomic<void (*)()> g_fastCacheDetach{nullptr};

char* CopyName(const char* text, int32_t n) {
  char* s = static_cast<char*>(KdrAllocate(static_cast<size_t>(n) + 1));
  if (s != nullptr) {
    std::memcpy(s, text, static_cast<size_t>(n));
    s[n] = '\0';
  }
  return s;
}

}  // namespace

int ParseCacheInitInfo(const unsigned char* reply, int total, CacheInitInfo* info) {
  if (total < static_cast<int>(kOffInfoNames)) {
    KdrLogPrintf("MESSAGE ERROR: Invalid reply of %d bytes (KDR_GET_CACHE_INIT_INFO)\n", total);
    return ERR_KDRCP_BAD_ARG;
  }
  info->filePages = GetBE32(reply, kOffInfoFilePages);
  info->segments = GetBE32(reply, kOffInfoSegments);
  info->hashBlockPages = GetBE32(reply, kOffInfoHashBlockPages);
  info->mbExtents = GetBE32(reply, kOffInfoMbExtents);
  info->extents = GetBE32(reply, kOffInfoExtents);
  info->dirLength = static_cast<int16_t>(GetBE16(reply, kOffInfoDirLength));
  info->mapLength = static_cast<int16_t>(GetBE16(reply, kOffInfoMapLength));
  const char* line = nullptr;
  int32_t value = 0;
  if (info->filePages <= 0) {
    line = "MESSAGE ERROR: Invalid number of file pages %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->filePages;
  } else if (info->segments <= 0) {
    line = "MESSAGE ERROR: Invalid number of segments %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->segments;
  } else if (info->hashBlockPages <= 0) {
    line = "MESSAGE ERROR: Invalid number of hash block pages %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->hashBlockPages;
  } else if (info->mbExtents < 0) {
    line = "MESSAGE ERROR: Invalid number of MB extents %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->mbExtents;
  } else if (info->extents < 0) {
    line = "MESSAGE ERROR: Invalid number of extents %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->extents;
  } else if (info->dirLength <= 0 || info->dirLength > total - static_cast<int>(kOffInfoNames)) {
    line = "MESSAGE ERROR: Invalid cache directory name size %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->dirLength;
  } else if (info->mapLength <= 0 ||
             info->mapLength > total - static_cast<int>(kOffInfoNames) - info->dirLength) {
    line = "MESSAGE ERROR: Invalid map name size %d (KDR_GET_CACHE_INIT_INFO)\n";
    value = info->mapLength;
  }
  if (line != nullptr) {
    KdrLogPrintf(line, value);
    return ERR_KDRCP_BAD_ARG;
  }
  info->dir = reinterpret_cast<const char*>(reply + kOffInfoNames);
  info->map = info->dir + info->dirLength;
  return 0;
}

int GetCacheInitInfoMsg(char** mapName, char** directory, int32_t* filePages, int32_t* segments,
                        int32_t* hashBlockPages, int32_t* mbExtents, int32_t* extents) {
  if (mapName == nullptr || directory == nullptr) return ERR_KDRCP_OUT_OF_MEMORY;
  if (filePages == nullptr || segments == nullptr || hashBlockPages == nullptr ||
      mbExtents == nullptr || extents == nullptr) {
    return ERR_KDRCP_BAD_ARG;
  }
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();

  BeginRequest(record, KDR_GET_CACHE_INIT_INFO, 0);
  int n = SendLogged(record, record->requestBuffer, kHeaderSize, "GET_CACHE_INIT_INFO request");
  if (n < 0) return n;

  int total = ReceiveFinalReply(record, kCacheInitInfoRules, true, false);
  if (total < 0) return total;
  CacheInitInfo info;
  int r = ParseCacheInitInfo(record->replyBuffer, total, &info);
  if (r != 0) return r;
  char* dir = CopyName(info.dir, info.dirLength);
  char* map = CopyName(info.map, info.mapLength);
  if (dir == nullptr || map == nullptr) {
    KdrRelease(dir);
    KdrRelease(map);
    return ERR_KDRCP_OUT_OF_MEMORY;
  }
  KdrToBackslashes(dir);
  *mapName = map;
  *directory = dir;
  *filePages = info.filePages;
  *segments = info.segments;
  *hashBlockPages = info.hashBlockPages;
  *mbExtents = info.mbExtents;
  *extents = info.extents;
  KdrLogPrintf(
      "CACHE INFO:\n Map '%s', dir '%s'\n %d FilePages, %d Segments, %d HashBlockPages, %d "
      "MBExtents, %d Extents.\n",
      map, dir, info.filePages, info.segments, info.hashBlockPages, info.mbExtents,
      info.extents);
  return 0;
}

void SetFastCacheDetach(void (*detach)()) { g_fastCacheDetach.store(detach); }

int ClearCacheMsg() {
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  // The store is about to be emptied under the fast cache: detach now, whatever the server
  // answers; the next read attaches afresh.
  void (*detach)() = g_fastCacheDetach.load();
  if (detach != nullptr) detach();

  BeginRequest(record, KDR_CLEAR_CACHE_MSG, 0);
  int n = SendLogged(record, record->requestBuffer, kHeaderSize, "CLEAR CACHE request");
  if (n < 0) return n;
  return ReceiveEmptyReply(record, kClearCacheRules);
}

int LocaleMsg() {
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();

  const char* locale = gProxyConfig.locale;
  uint32_t size = static_cast<uint32_t>(strnlen(locale, kConfigTextMax)) + 1;
  BeginRequest(record, KDR_LOCALE_MSG, size);
  int n = SendLogged(record, record->requestBuffer, kHeaderSize, "LOCALE request");
  if (n < 0) return n;
  char name[kConfigTextMax + 1];
  std::memcpy(name, locale, size - 1);
  name[size - 1] = '\0';
  n = SendLogged(record, name, size, "LOCALE name");
  if (n < 0) return n;
  return ReceiveEmptyReply(record, kLocaleRules);
}

int LocalizeMsg(const char* text, char** result) {
  if (result == nullptr) return ERR_KDRCP_BAD_ARG;
  *result = nullptr;
  if (text == nullptr) return 0;
  size_t length = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return ERR_KDRCP_OUT_OF_MEMORY;
  std::memcpy(copy, text, length + 1);
  *result = copy;  // from here on every failure leaves the untranslated copy
  // A text longer than a message can announce is left untranslated.
  if (length + 1 > kMaxRequestText) return ERR_KDRCP_BAD_ARG;

  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();

  BeginRequest(record, KDR_LOCALIZE_MSG, static_cast<uint32_t>(length + 1));
  int n = SendLogged(record, record->requestBuffer, kHeaderSize, "LOCALIZE request");
  if (n < 0) return n;
  n = SendLogged(record, copy, static_cast<uint32_t>(length + 1), "LOCALIZE text");
  if (n < 0) return n;

  // An error reply's text is not stored: the text being localized is the thread's error
  // text, and it stays as it is.
  int total = ReceiveFinalReply(record, kLocalizeRules, true, false);
  if (total < 0) return total;
  // The same counted text as a transfer's final reply, bounded by the reply.
  const char* translation = nullptr;
  int field = 0;
  int got = ParseCountedText(record->replyBuffer, total, &translation, &field);
  if (got < 0) {
    KdrLogPrintf("MESSAGE ERROR: Invalid string length %d (KDR_LOCALIZE_MSG)\n", field);
    return ERR_KDRCP_BAD_ARG;
  }
  char* translated = static_cast<char*>(std::malloc(static_cast<size_t>(got) + 1));
  if (translated == nullptr) {
    *result = nullptr;
    std::free(copy);
    return ERR_KDRCP_OUT_OF_MEMORY;
  }
  std::memcpy(translated, translation, static_cast<size_t>(got));
  translated[got] = '\0';
  *result = translated;
  std::free(copy);
  KdrLogPrintf("LOCALIZED RESPONSE: %s\n", translated);
  return 0;
}

char* LocalizeErrorText(const char* text) {
  char* result = nullptr;
  int r = LocalizeMsg(text, &result);
  if (r != 0) {
    std::free(result);
    return nullptr;
  }
  return result;
}

}  // namespace kdr
