// The progress bridge: turns the interface's ProgressCallback into calls of the Java listener's
// ReportProgress(String ticketKey, Object listenerData, long done, long total) -> boolean.
//
// A transfer method with a non-null listener makes one ProgressContext, passes ProgressBridge
// and the context to the interface entry, and frees the context when the entry has returned.
// The bridge may be called only on the thread that made the context, during that call: it uses
// that thread's JNIEnv and the method's local references.
#ifndef KDR_JNI_PROGRESS_BRIDGE_H_
#define KDR_JNI_PROGRESS_BRIDGE_H_

#include <jni.h>

#include <cstdint>
#include <thread>

namespace kdr::jni {

inline constexpr uint32_t kProgressContextLive = 0x9A0C7E55;
inline constexpr uint32_t kProgressContextFreed = 0xC105EDDD;

// Handed through the interface as the callback's context. The signature is tested before use.
struct ProgressContext {
  uint32_t signature;     // kProgressContextLive while the transfer method runs
  jobject listener;       // the object on which ReportProgress is called
  jobject listenerData;   // passed back unchanged; may be null
  JNIEnv* env;            // the JNI environment of the calling thread
  jobject receiver;       // the FileCacheProxy receiver; kept, not used
  std::thread::id owner;  // the thread whose env this is
};

// A new context for the calling thread, allocated with malloc; nullptr when memory runs out.
ProgressContext* MakeProgressContext(JNIEnv* env, jobject receiver, jobject listener,
                                     jobject listenerData);

// Marks the context dead and frees it. Accepts nullptr.
void FreeProgressContext(ProgressContext* context);

// The ProgressCallback of the transfer methods. Always returns 0; *keepGoing becomes 1 when
// ReportProgress returned true, 0 when it returned false. It answers "cancel" (0) without
// calling Java when the listener cannot be called safely: a Java exception is pending (an
// earlier ReportProgress threw, and is then not called again), the method cannot be found, the
// key cannot be made into a String, the context is not live or belongs to another thread. An
// exception thrown by ReportProgress stays pending for the caller of the transfer method.
int ProgressBridge(const char* key, void* context, int64_t done, int64_t total, int* keepGoing);

}  // namespace kdr::jni

#endif  // KDR_JNI_PROGRESS_BRIDGE_H_
