// Conversions between Java values and the texts of the interface table.
//
// Every function here leaves no JNI local reference behind, so callers may use them in loops of
// any length. None clears a pending Java exception; each one that can make the JVM raise one
// checks for it before returning, so the caller needs only the result.
#ifndef KDR_JNI_JNI_TEXTS_H_
#define KDR_JNI_JNI_TEXTS_H_

#include <jni.h>

#include <cstddef>

namespace kdr::jni {

// A copy of `s` in the JVM's modified UTF-8, NUL-terminated, allocated with malloc (the caller
// frees it). nullptr when `s` is null, memory runs out, or the JVM raised an exception.
char* CopyModifiedUtf8(JNIEnv* env, jstring s);

// Result of CopyBytes().
enum class BytesCopy { kOk, kNull, kEmbeddedNul, kNoMemory, kException };

// Copies the bytes of `a` into a new malloc'd buffer of its length plus one with a NUL
// appended, in *out (the caller frees it). A byte 0 inside the array would cut the name short
// and name another file, so it is refused (kEmbeddedNul) rather than passed on.
BytesCopy CopyBytes(JNIEnv* env, jbyteArray a, char** out);

// Whether `text` is well-formed modified UTF-8 (what NewStringUTF accepts): no byte 0 inside,
// no four-byte forms, every continuation byte where its lead byte says.
bool IsModifiedUtf8(const char* text);

// A new Java String from `text`, or nullptr when it is not modified UTF-8 or the JVM could not
// make it (an OutOfMemoryError is then pending). The caller deletes the local reference.
jstring NewStringFromText(JNIEnv* env, const char* text);

// A new byte[] holding the bytes of `text` without its NUL, or nullptr when the JVM could not
// make it (an exception is then pending). The caller deletes the local reference.
jbyteArray NewBytesFromText(JNIEnv* env, const char* text);

// Stores `value` (which may be null) at `index` of `array` and deletes the local reference
// `value`. False when the JVM raised an exception.
bool StoreElement(JNIEnv* env, jobjectArray array, jsize index, jobject value);

}  // namespace kdr::jni

#endif  // KDR_JNI_JNI_TEXTS_H_
