// The native method of com.pellinoxar.kdr.clientcache.proxy.NativeSettings: settings given from
// Java (KdrFileCache.Builder) for the native library.
//
// The library reads its settings from the environment when it initialises, and so does the
// installed client-proxy library this binding loads (a copy of its own, which shares nothing
// else with the binding) and the cache server it launches: the environment is what all of them
// see. So a setting given from Java becomes the process's value of its variable. Only the
// variables below can be set; the Java side sets them before it initialises the library.
#include <jni.h>

#include <cstdlib>
#include <cstring>

#include "jni/jni_texts.h"
#include "platform/env.h"

namespace kdr::jni {
namespace {

const char* const kSettable[] = {"KDR_HOME", "VXN_CONNECTTIMEOUT", "VXN_STARTUPTIMEOUT",
                                 "KDR_VXNSTARTUPLOG", "KDR_VXNPROXYLOG"};

bool Settable(const char* name) {
  for (const char* s : kSettable) {
    if (std::strcmp(s, name) == 0) return true;
  }
  return false;
}

}  // namespace
}  // namespace kdr::jni

// Sets variable `name` to the bytes of `value` (a path in the file-system encoding, or digits).
// Returns 0, -1 for a name that cannot be set or a value with a byte 0, or an errno value. A
// Java exception raised meanwhile (out of memory) stays pending.
extern "C" JNIEXPORT jint JNICALL Java_com_pellinoxar_kdr_clientcache_proxy_NativeSettings_set(
    JNIEnv* env, jclass, jstring name, jbyteArray value) {
  char* n = kdr::jni::CopyModifiedUtf8(env, name);
  if (n == nullptr) return -1;
  char* v = nullptr;
  int rc = -1;
  if (kdr::jni::Settable(n) && kdr::jni::CopyBytes(env, value, &v) == kdr::jni::BytesCopy::kOk) {
    rc = kdr::platform::SetEnv(n, v);
  }
  std::free(v);
  std::free(n);
  return rc;
}
