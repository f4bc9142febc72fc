// The native methods of com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.
//
// Each method converts its Java arguments, calls the interface table through its wrappers,
// copies the results back into the caller's arrays and releases everything it made, on every
// path. The binding keeps no state between calls; any Java thread may call any method.
//
// JNI rules kept throughout:
//  - No local reference outlives the step that made it (element references, new strings and
//    arrays are deleted at once), so arrays of any length stay within the JVM's local-reference
//    capacity.
//  - A Java exception raised by a JNI call (for instance an index past the end of a names array
//    shorter than the ticket array) is never cleared: it stays pending and is thrown when the
//    method returns. From then on the method makes no JNI call other than cleanup, does not
//    call the interface if it has not yet, and stores nothing more into the caller's arrays.
//  - The binding throws nothing of its own; every failure is an int result.
#include <jni.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "client/result_codes.h"
#include "iface/interface.h"
#include "jni/jni_texts.h"
#include "jni/progress_bridge.h"

#define KDR_JNI_METHOD(name) \
  extern "C" JNIEXPORT jint JNICALL Java_com_pellinoxar_kdr_clientcache_proxy_FileCacheProxy_##name

namespace kdr::jni {
namespace {

// What a method's per-ticket second array holds.
enum class Second {
  kNone,
  kBytes,          // names / local paths: byte[] each, required
  kOptionalTexts,  // volume ids of a rollback: String each; the array or an element may be null
};

// The working arrays of one array method. Everything is malloc'd and freed by Release().
struct WorkingArrays {
  jsize count = 0;
  char** tickets = nullptr;     // converted ticket array
  char** second = nullptr;      // converted second array, or nullptr when the method has none
  const char** keys = nullptr;  // keys out: owned by the ticket registry, never freed here
  char** outTexts = nullptr;    // paths or volume ids out: allocated by the proxy with malloc
  int* results = nullptr;       // per-ticket results out
};

void Release(WorkingArrays* w) {
  for (jsize i = 0; i < w->count; ++i) {
    if (w->tickets != nullptr) free(w->tickets[i]);
    if (w->second != nullptr) free(w->second[i]);
    // VXNInit hands the C library's malloc to the proxy, so what it handed out goes to free.
    if (w->outTexts != nullptr) free(w->outTexts[i]);
  }
  free(w->tickets);
  free(w->second);
  free(w->keys);
  free(w->outTexts);
  free(w->results);
  *w = WorkingArrays{};
}

// A zeroed malloc'd array of count elements (null pointers), or nullptr.
template <typename T>
T* AllocArray(jsize count) {
  return static_cast<T*>(calloc(static_cast<size_t>(count), sizeof(T)));
}

// Step 3: the working arrays. Results start at ERR_KDRCP_NOT_EXECUTED so that an entry that
// returns before touching them (an empty table slot, an early failure) never hands the caller
// uninitialised memory.
int Allocate(WorkingArrays* w, jsize count, bool second, bool keys, bool outTexts) {
  w->count = count;
  w->tickets = AllocArray<char*>(count);
  if (second) w->second = AllocArray<char*>(count);
  if (keys) w->keys = AllocArray<const char*>(count);
  if (outTexts) w->outTexts = AllocArray<char*>(count);
  w->results = AllocArray<int>(count);
  if (w->tickets == nullptr || (second && w->second == nullptr) || (keys && w->keys == nullptr) ||
      (outTexts && w->outTexts == nullptr) || w->results == nullptr) {
    return ERR_KDRCP_OUT_OF_MEMORY;
  }
  for (jsize i = 0; i < count; ++i) w->results[i] = ERR_KDRCP_NOT_EXECUTED;
  return 0;
}

// Converts element i of a String array into w->tickets or w->second. A pending exception from
// fetching the element makes it count as null.
int ConvertText(JNIEnv* env, jobjectArray array, jsize i, bool optional, char** out) {
  jobject element = env->GetObjectArrayElement(array, i);
  if (env->ExceptionCheck()) {
    if (element != nullptr) env->DeleteLocalRef(element);
    return ERR_KDRCP_BAD_ARG;
  }
  if (element == nullptr) return optional ? 0 : ERR_KDRCP_BAD_ARG;
  *out = CopyModifiedUtf8(env, static_cast<jstring>(element));
  env->DeleteLocalRef(element);
  return *out != nullptr ? 0 : ERR_KDRCP_BAD_ARG;
}

int ConvertBytes(JNIEnv* env, jobjectArray array, jsize i, char** out) {
  jobject element = env->GetObjectArrayElement(array, i);
  if (env->ExceptionCheck()) {
    if (element != nullptr) env->DeleteLocalRef(element);
    return ERR_KDRCP_BAD_ARG;
  }
  const BytesCopy copied = CopyBytes(env, static_cast<jbyteArray>(element), out);
  if (element != nullptr) env->DeleteLocalRef(element);
  return copied == BytesCopy::kOk ? 0 : ERR_KDRCP_BAD_ARG;
}

// Step 4: converts the ticket array and, item by item, the second array.
int ConvertItems(JNIEnv* env, WorkingArrays* w, jobjectArray tickets, Second kind,
                 jobjectArray second) {
  for (jsize i = 0; i < w->count; ++i) {
    int rc = ConvertText(env, tickets, i, false, &w->tickets[i]);
    if (rc == 0 && kind == Second::kBytes) rc = ConvertBytes(env, second, i, &w->second[i]);
    if (rc == 0 && kind == Second::kOptionalTexts && second != nullptr) {
      rc = ConvertText(env, second, i, true, &w->second[i]);
    }
    if (rc != 0) return rc;
  }
  return 0;
}

bool LongEnough(JNIEnv* env, jarray a, jsize count) { return env->GetArrayLength(a) >= count; }

// Copy-back of out texts, one per ticket in order, stopping at the first that cannot be made.
// A null text (an item without one) becomes a null element.
int StoreStrings(JNIEnv* env, jobjectArray out, const char* const* texts, jsize count) {
  for (jsize i = 0; i < count; ++i) {
    jstring s = nullptr;
    if (texts[i] != nullptr && (s = NewStringFromText(env, texts[i])) == nullptr) {
      return ERR_KDRCP_BAD_ARG;
    }
    if (!StoreElement(env, out, i, s)) return ERR_KDRCP_BAD_ARG;
  }
  return 0;
}

int StoreBytes(JNIEnv* env, jobjectArray out, const char* const* texts, jsize count) {
  for (jsize i = 0; i < count; ++i) {
    jbyteArray a = nullptr;
    if (texts[i] != nullptr && (a = NewBytesFromText(env, texts[i])) == nullptr) {
      return ERR_KDRCP_BAD_ARG;
    }
    if (!StoreElement(env, out, i, a)) return ERR_KDRCP_BAD_ARG;
  }
  return 0;
}

// The per-ticket results go back whatever the method's result, unless an exception is pending
// (JNI forbids the store then; the caller gets the exception instead).
void StoreResults(JNIEnv* env, jintArray out, const int* results, jsize count) {
  if (env->ExceptionCheck()) return;
  env->SetIntArrayRegion(out, 0, count, results);
  // Cannot raise once the lengths were checked; checked all the same, as JNI asks after a
  // call that can raise, and left pending for the caller.
  static_cast<void>(env->ExceptionCheck());
}

// Step 1 for every array method: the ticket array's length, or 0 when it is empty.
jsize TicketCount(JNIEnv* env, jobjectArray tickets) { return env->GetArrayLength(tickets); }

// The progress context of a transfer method, none without a listener. Returns 0, or
// ERR_KDRCP_OUT_OF_MEMORY when it cannot be made.
int ListenerContext(JNIEnv* env, jclass cls, jobject listener, jobject listenerData,
                    ProgressContext** context) {
  *context = nullptr;
  if (listener == nullptr) return 0;
  *context = MakeProgressContext(env, cls, listener, listenerData);
  return *context != nullptr ? 0 : ERR_KDRCP_OUT_OF_MEMORY;
}

}  // namespace
}  // namespace kdr::jni

using namespace kdr;
using namespace kdr::jni;

KDR_JNI_METHOD(VXNIsVXNEnabled)(JNIEnv*, jclass) {
  int enabled = 0;
  const int rc = If_VXN_IsVXNEnabled(&enabled);
  if (rc < 0) return rc;
  return enabled != 0 ? 1 : 0;
}

KDR_JNI_METHOD(VXNInit)(JNIEnv*, jclass) { return If_VXN_Init(malloc, free); }

KDR_JNI_METHOD(VXNTerm)(JNIEnv*, jclass) { return If_VXN_Term(); }

KDR_JNI_METHOD(VXNSetLocale)(JNIEnv* env, jclass, jstring locale) {
  char* text = CopyModifiedUtf8(env, locale);
  if (text == nullptr) return ERR_KDRCP_BAD_ARG;
  const int rc = If_VXN_SetLocale(text);
  free(text);
  return rc;
}

// A null or empty array has nowhere to put the text: answered like every other missing
// required argument, with ERR_KDRCP_BAD_ARG and without asking the proxy.
KDR_JNI_METHOD(VXNGetLastError)(JNIEnv* env, jclass, jobjectArray message) {
  if (message == nullptr || env->GetArrayLength(message) < 1) return ERR_KDRCP_BAD_ARG;
  const char* text = nullptr;
  const int rc = If_VXN_GetLastError(&text);
  jbyteArray bytes = nullptr;
  if (text != nullptr && (bytes = NewBytesFromText(env, text)) == nullptr) return ERR_KDRCP_BAD_ARG;
  if (!StoreElement(env, message, 0, bytes)) return ERR_KDRCP_BAD_ARG;
  return rc;
}

KDR_JNI_METHOD(VXNRegisterTickets)(JNIEnv* env, jclass, jobjectArray tickets, jobjectArray keys,
                                   jintArray results) {
  if (tickets == nullptr || keys == nullptr || results == nullptr) return ERR_KDRCP_BAD_ARG;
  const jsize count = TicketCount(env, tickets);
  if (count < 1 || !LongEnough(env, keys, count) || !LongEnough(env, results, count)) {
    return ERR_KDRCP_BAD_ARG;
  }
  WorkingArrays w;
  int rc = Allocate(&w, count, false, true, false);
  if (rc == 0) rc = ConvertItems(env, &w, tickets, Second::kNone, nullptr);
  if (rc == 0) {
    rc = If_VXN_RegisterTickets(count, w.tickets, w.keys, w.results);
    if (rc == 0) rc = StoreStrings(env, keys, w.keys, count);
    StoreResults(env, results, w.results, count);
  }
  Release(&w);
  return rc;
}

KDR_JNI_METHOD(VXNUnRegisterTickets)(JNIEnv* env, jclass, jobjectArray keys, jintArray results) {
  if (keys == nullptr || results == nullptr) return ERR_KDRCP_BAD_ARG;
  const jsize count = TicketCount(env, keys);
  if (count < 1 || !LongEnough(env, results, count)) return ERR_KDRCP_BAD_ARG;
  WorkingArrays w;
  int rc = Allocate(&w, count, false, false, false);
  if (rc == 0) rc = ConvertItems(env, &w, keys, Second::kNone, nullptr);
  if (rc == 0) {
    rc = If_VXN_UnRegisterTickets(count, w.tickets, w.results);
    StoreResults(env, results, w.results, count);
  }
  Release(&w);
  return rc;
}

KDR_JNI_METHOD(VXNDownloadFilesFromPLM)(JNIEnv* env, jclass cls, jstring tag, jobjectArray keys,
                                        jobject listener, jobject listenerData,
                                        jobjectArray paths, jintArray results) {
  if (tag == nullptr || keys == nullptr || paths == nullptr || results == nullptr) {
    return ERR_KDRCP_BAD_ARG;
  }
  const jsize count = TicketCount(env, keys);
  if (count < 1 || !LongEnough(env, paths, count) || !LongEnough(env, results, count)) {
    return ERR_KDRCP_BAD_ARG;
  }
  char* ctag = CopyModifiedUtf8(env, tag);
  int rc = ctag != nullptr ? 0 : ERR_KDRCP_OUT_OF_MEMORY;
  WorkingArrays w;
  if (rc == 0) rc = Allocate(&w, count, false, false, true);
  if (rc == 0) rc = ConvertItems(env, &w, keys, Second::kNone, nullptr);
  ProgressContext* context = nullptr;
  if (rc == 0) rc = ListenerContext(env, cls, listener, listenerData, &context);
  if (rc == 0) {
    rc = If_VXN_DownloadFilesFromPLM(ctag, count, w.tickets, context ? ProgressBridge : nullptr,
                                     context, w.outTexts, w.results);
    if (rc == 0 && !env->ExceptionCheck()) rc = StoreBytes(env, paths, w.outTexts, count);
    StoreResults(env, results, w.results, count);
  }
  FreeProgressContext(context);
  Release(&w);
  free(ctag);
  return rc;
}

KDR_JNI_METHOD(VXNDownloadFilesToLocation)(JNIEnv* env, jclass cls, jstring tag,
                                           jobjectArray keys, jobject listener,
                                           jobject listenerData, jbyteArray directory,
                                           jobjectArray names, jintArray results) {
  if (tag == nullptr || keys == nullptr || directory == nullptr || names == nullptr ||
      results == nullptr) {
    return ERR_KDRCP_BAD_ARG;
  }
  const jsize count = TicketCount(env, keys);
  if (count < 1 || !LongEnough(env, results, count)) return ERR_KDRCP_BAD_ARG;
  char* ctag = CopyModifiedUtf8(env, tag);
  int rc = ctag != nullptr ? 0 : ERR_KDRCP_OUT_OF_MEMORY;
  char* cdir = nullptr;
  if (rc == 0) {
    const BytesCopy copied = CopyBytes(env, directory, &cdir);
    if (copied == BytesCopy::kEmbeddedNul) rc = ERR_KDRCP_BAD_ARG;
    else if (copied != BytesCopy::kOk) rc = ERR_KDRCP_OUT_OF_MEMORY;
  }
  WorkingArrays w;
  if (rc == 0) rc = Allocate(&w, count, true, false, false);
  if (rc == 0) rc = ConvertItems(env, &w, keys, Second::kBytes, names);
  ProgressContext* context = nullptr;
  if (rc == 0) rc = ListenerContext(env, cls, listener, listenerData, &context);
  if (rc == 0) {
    rc = If_VXN_DownloadFilesToLocation(ctag, count, w.tickets,
                                        context ? ProgressBridge : nullptr, context, cdir,
                                        w.second, w.results);
    StoreResults(env, results, w.results, count);
  }
  FreeProgressContext(context);
  Release(&w);
  free(cdir);
  free(ctag);
  return rc;
}

// Uploads always continue past failed files, and the volume ids of the files that did upload
// go back even when others failed: they are what a later rollback of those files needs.
KDR_JNI_METHOD(VXNUploadFilesToPLM)(JNIEnv* env, jclass cls, jobjectArray keys, jobject listener,
                                    jobject listenerData, jobjectArray localPaths,
                                    jobjectArray volumeIds, jintArray results) {
  if (keys == nullptr || localPaths == nullptr || volumeIds == nullptr || results == nullptr) {
    return ERR_KDRCP_BAD_ARG;
  }
  const jsize count = TicketCount(env, keys);
  if (count < 1 || !LongEnough(env, volumeIds, count) || !LongEnough(env, results, count)) {
    return ERR_KDRCP_BAD_ARG;
  }
  WorkingArrays w;
  int rc = Allocate(&w, count, true, false, true);
  if (rc == 0) rc = ConvertItems(env, &w, keys, Second::kBytes, localPaths);
  ProgressContext* context = nullptr;
  if (rc == 0) rc = ListenerContext(env, cls, listener, listenerData, &context);
  if (rc == 0) {
    constexpr int kContinueOnError = 1;
    rc = If_VXN_UploadFilesToPLM(count, w.tickets, context ? ProgressBridge : nullptr, context,
                                 w.second, kContinueOnError, w.outTexts, w.results);
    if (rc >= 0 && !env->ExceptionCheck()) {
      const int stored = StoreStrings(env, volumeIds, w.outTexts, count);
      if (stored != 0) rc = stored;
    }
    StoreResults(env, results, w.results, count);
  }
  FreeProgressContext(context);
  Release(&w);
  return rc;
}

KDR_JNI_METHOD(VXNRollBackFilesUploadedToPLM)(JNIEnv* env, jclass, jobjectArray keys,
                                              jobjectArray volumeIds, jintArray results) {
  if (keys == nullptr || results == nullptr) return ERR_KDRCP_BAD_ARG;
  const jsize count = TicketCount(env, keys);
  if (count < 1 || !LongEnough(env, results, count)) return ERR_KDRCP_BAD_ARG;
  WorkingArrays w;
  int rc = Allocate(&w, count, true, false, false);
  if (rc == 0) rc = ConvertItems(env, &w, keys, Second::kOptionalTexts, volumeIds);
  if (rc == 0) {
    rc = If_VXN_RollbackFilesUploadedToPLM(count, w.tickets, w.second, w.results);
    StoreResults(env, results, w.results, count);
  }
  Release(&w);
  return rc;
}

KDR_JNI_METHOD(VXNClearCache)(JNIEnv*, jclass) {
  If_KdrClearLastError();
  const int rc = If_KdrClearCache();
  return If_KdrErrorCode(rc);
}
