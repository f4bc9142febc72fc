#include "jni/jni_texts.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace kdr::jni {

char* CopyModifiedUtf8(JNIEnv* env, jstring s) {
  if (s == nullptr) return nullptr;
  // GetStringUTFRegion copies into our own buffer, so nothing stays pinned in the JVM and the
  // caller may drop its reference to the string at once.
  const jsize chars = env->GetStringLength(s);
  const jsize bytes = env->GetStringUTFLength(s);
  char* copy = static_cast<char*>(malloc(static_cast<size_t>(bytes) + 1));
  if (copy == nullptr) return nullptr;
  env->GetStringUTFRegion(s, 0, chars, copy);
  if (env->ExceptionCheck()) {
    free(copy);
    return nullptr;
  }
  copy[bytes] = '\0';
  return copy;
}

BytesCopy CopyBytes(JNIEnv* env, jbyteArray a, char** out) {
  *out = nullptr;
  if (a == nullptr) return BytesCopy::kNull;
  const jsize n = env->GetArrayLength(a);
  char* copy = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
  if (copy == nullptr) return BytesCopy::kNoMemory;
  env->GetByteArrayRegion(a, 0, n, reinterpret_cast<jbyte*>(copy));
  if (env->ExceptionCheck()) {
    free(copy);
    return BytesCopy::kException;
  }
  if (memchr(copy, 0, static_cast<size_t>(n)) != nullptr) {
    free(copy);
    return BytesCopy::kEmbeddedNul;
  }
  copy[n] = '\0';
  *out = copy;
  return BytesCopy::kOk;
}

bool IsModifiedUtf8(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    int follow;
    if (*p < 0x80) {
      follow = 0;
    } else if ((*p & 0xE0) == 0xC0) {
      follow = 1;
    } else if ((*p & 0xF0) == 0xE0) {
      follow = 2;
    } else {
      return false;
    }
    ++p;
    for (int i = 0; i < follow; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;  // Also stops at the NUL.
    }
  }
  return true;
}

jstring NewStringFromText(JNIEnv* env, const char* text) {
  if (!IsModifiedUtf8(text)) return nullptr;
  jstring s = env->NewStringUTF(text);
  if (env->ExceptionCheck()) {
    if (s != nullptr) env->DeleteLocalRef(s);
    return nullptr;
  }
  return s;
}

jbyteArray NewBytesFromText(JNIEnv* env, const char* text) {
  const size_t n = strlen(text);
  if (n > static_cast<size_t>(INT_MAX)) return nullptr;
  jbyteArray a = env->NewByteArray(static_cast<jsize>(n));
  if (a == nullptr || env->ExceptionCheck()) return nullptr;
  env->SetByteArrayRegion(a, 0, static_cast<jsize>(n), reinterpret_cast<const jbyte*>(text));
  if (env->ExceptionCheck()) {
    env->DeleteLocalRef(a);
    return nullptr;
  }
  return a;
}

bool StoreElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
  env->SetObjectArrayElement(array, index, value);
  const bool ok = !env->ExceptionCheck();
  if (value != nullptr) env->DeleteLocalRef(value);
  return ok;
}

}  // namespace kdr::jni
