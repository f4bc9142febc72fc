// Control messages: the exchanges that serve the proxy's housekeeping rather than one file.
#ifndef KDR_PROTOCOL_CONTROL_MESSAGES_H_
#define KDR_PROTOCOL_CONTROL_MESSAGES_H_

#include <cstdint>

namespace kdr {

// KDR_ECHO_MSG: asks the cache server to answer. Returns 0 on a normal reply; the code of an
// error reply (its text becomes the thread's error text); ERR_KDRCP_BAD_ARG for a reply of
// another SeqNum or msgType; ERR_KDRCP_TYPE_ID for another reply kind; the codes of the
// exchange (ERR_KDRCP_THREAD_COUNT, ERR_KDRCP_NO_SERVER, ...).
int EchoMsg();

// Offsets of the KDR_GET_CACHE_INIT_INFO normal reply.
inline constexpr uint32_t kOffInfoFilePages = 12;       // signed 32 bits, above 0
inline constexpr uint32_t kOffInfoSegments = 16;        // above 0
inline constexpr uint32_t kOffInfoHashBlockPages = 20;  // above 0
inline constexpr uint32_t kOffInfoMbExtents = 24;       // 0 or more
inline constexpr uint32_t kOffInfoExtents = 28;         // 0 or more
inline constexpr uint32_t kOffInfoDirLength = 32;       // signed 16 bits, above 0
inline constexpr uint32_t kOffInfoMapLength = 34;       // signed 16 bits, above 0
inline constexpr uint32_t kOffInfoNames = 36;           // directory, then map name, no NULs
// KDR_LOCALIZE_MSG normal reply: signed 16-bit length at 12, the text from 14 (the counted
// text of transfer_messages.h, read with ParseCountedText).

// The fields of a KDR_GET_CACHE_INIT_INFO normal reply. The names point into the reply and
// are not NUL-terminated.
struct CacheInitInfo {
  int32_t filePages;
  int32_t segments;
  int32_t hashBlockPages;
  int32_t mbExtents;
  int32_t extents;
  int32_t dirLength;
  int32_t mapLength;
  const char* dir;
  const char* map;
};

// Reads a KDR_GET_CACHE_INIT_INFO normal reply of `total` bytes (`total` >= 12), checking its
// fields in wire order. Returns 0, or ERR_KDRCP_BAD_ARG after logging the first field that is
// out of range; names that run past the end of the reply are refused the same way. Pure:
// never reads outside reply[0, total).
int ParseCacheInitInfo(const unsigned char* reply, int total, CacheInitInfo* info);

// KDR_GET_CACHE_INIT_INFO: the parameters of the cache server's store. On success returns 0,
// stores new strings (configured allocator; the caller releases them) in *mapName and
// *directory (the directory with native separators) and the five numbers. ERR_KDRCP_OUT_OF_MEMORY
// for a missing name output, ERR_KDRCP_BAD_ARG for a missing number output or a bad reply;
// an error reply is logged, its text not stored. Nothing is stored on failure.
int GetCacheInitInfoMsg(char** mapName, char** directory, int32_t* filePages, int32_t* segments,
                        int32_t* hashBlockPages, int32_t* mbExtents, int32_t* extents);

// KDR_CLEAR_CACHE_MSG: has the server empty its cache. The fast cache is detached (through
// the installed hook) once connected and before the request is sent. Returns 0 or a code;
// ERR_KDRCP_NO_SERVER with the fast cache untouched when no server can be reached.
int ClearCacheMsg();

// Installs what ClearCacheMsg calls to detach the fast cache (nullptr: nothing). It is called
// without lock A held and takes what it needs itself.
void SetFastCacheDetach(void (*detach)());

// KDR_LOCALE_MSG: sends gProxyConfig.locale with its NUL. Returns 0 or a code.
int LocaleMsg();

// KDR_LOCALIZE_MSG: has the server translate `text`. Stores in *result a C-heap string the
// caller frees with free(): the translation on success; a copy of `text` on any failure after
// the copy was made; nullptr when `text` is null (0, nothing sent) or no copy could be made
// (ERR_KDRCP_OUT_OF_MEMORY). ERR_KDRCP_BAD_ARG when `result` is missing or the reply is bad.
// An error reply's text is not stored as the thread's error text.
int LocalizeMsg(const char* text, char** result);

// The error-text localizer for KdrSetErrorTextLocalizer: the translation of `text`, or nullptr
// when the server gave none.
char* LocalizeErrorText(const char* text);

}  // namespace kdr

#endif  // KDR_PROTOCOL_CONTROL_MESSAGES_H_
