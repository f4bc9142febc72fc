#include "client/result_codes.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kdr {

namespace {
// The detail of the last failed start. A text is written into the next of a ring of buffers
// and then published, so the one a reader got stays as it was until many more distinct
// failures have come (readers copy it at once). Static storage: nothing to free.
constexpr int kStartTexts = 16;
constexpr size_t kStartTextMax = 1024;
char g_startTexts[kStartTexts][kStartTextMax];
std::atomic<int> g_startText{-1};
std::mutex g_startTextMu;  // orders the writers
}  // namespace

void KdrSetStartFailedText(const char* text) {
  if (text == nullptr) return;
  std::lock_guard<std::mutex> guard(g_startTextMu);
  int now = g_startText.load();
  if (now >= 0 && std::strcmp(g_startTexts[now], text) == 0) return;
  int next = (now + 1) % kStartTexts;
  std::snprintf(g_startTexts[next], kStartTextMax, "%s", text);
  g_startText.store(next);
}

const char* KdrErrorText(int code) {
  switch (code) {
    case KDRCP_OK:
      return nullptr;
    case ERR_KDRCP_UNKNOWN_FILE_SIZE:
      return "ERR_KDRCP_UNKNOWN_FILE_SIZE";
    case ERR_KDRCP_START_FAILED:
      if (int t = g_startText.load(); t >= 0) return g_startTexts[t];
      return "The VXN process failed to start or restart.";
    case ERR_KDRCP_NO_SCRIPT:
      return "The VXN start script is missing or inaccessible.  KDR_HOME may be incorrect.";
    case ERR_KDRCP_NO_HOME:
      return "The KDR_HOME environment variable must be set.";
    case ERR_KDRCP_NOT_INITIALIZED:
      return "The VXN client proxy has not been initialized.";
    case ERR_KDRCP_NO_CONFIG:
      return "The proxy could not locate required configuration information.";
    case ERR_KDRCP_NO_SERVER:
      return "The proxy could not locate or start an KDR Client Cache instance.";
    case ERR_KDRCP_BAD_ARG:
      return "ERR_KDRCP_BAD_ARG";
    case ERR_KDRCP_BAD_FILE:
      return "ERR_KDRCP_BAD_FILE";
    case ERR_KDRCP_TOO_MANY:
      return "ERR_KDRCP_TOO_MANY";
    case ERR_KDRCP_BAD_TICKET:
      return "ERR_KDRCP_BAD_TICKET";
    case ERR_KDRCP_TICKET_EXPIRED:
      return "ERR_KDRCP_TICKET_EXPIRED (deprecated)";
    case ERR_KDRCP_EOF:
      return "ERR_KDRCP_EOF";
    case ERR_KDRCP_THREAD_COUNT:
      return "ERR_KDRCP_THREAD_COUNT";
    case ERR_KDRCP_OUT_OF_MEMORY:
      return "ERR_KDRCP_OUT_OF_MEMORY";
    case ERR_KDRCP_NOT_EXECUTED:
      return "ERR_KDRCP_NOT_EXECUTED";
    case ERR_KDRCP_SEQUENCE:
      return "ERR_KDRCP_SEQUENCE";
    case ERR_KDRCP_MSG_TYPE:
      return "ERR_KDRCP_MSG_TYPE";
    case ERR_KDRCP_MSG_DATA:
      return "ERR_KDRCP_MSG_DATA";
    case ERR_KDRCP_FILE_BUSY:
      return "ERR_KDRCP_FILE_BUSY";
    case ERR_KDRCP_CANCELLED:
      return "ERR_KDRCP_CANCELLED";
    case ERR_KDRCP_VERSION:
      return "ERR_KDRCP_VERSION";
    case ERR_KDRCP_NOT_SUPPORTED:
      return "ERR_KDRCP_NOT_SUPPORTED";
    default:  // ERR_KDRCP_TYPE_ID and codes passed through from elsewhere
      return "ERR_KDRCP_UNKNOWN";
  }
}

}  // namespace kdr
