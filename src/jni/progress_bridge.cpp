#include "jni/progress_bridge.h"

#include <cstdlib>
#include <new>

#include "jni/jni_texts.h"

namespace kdr::jni {

namespace {
constexpr char kReportProgress[] = "ReportProgress";
constexpr char kReportProgressSignature[] = "(Ljava/lang/String;Ljava/lang/Object;JJ)Z";
// The class, the key string and the call's own needs; the frame is popped after every call,
// so a transfer with any number of progress reports holds no local reference between them.
constexpr jint kBridgeFrame = 4;
}  // namespace

ProgressContext* MakeProgressContext(JNIEnv* env, jobject receiver, jobject listener,
                                     jobject listenerData) {
  void* raw = malloc(sizeof(ProgressContext));
  if (raw == nullptr) return nullptr;
  auto* context = new (raw) ProgressContext;
  context->signature = kProgressContextLive;
  context->listener = listener;
  context->listenerData = listenerData;
  context->env = env;
  context->receiver = receiver;
  context->owner = std::this_thread::get_id();
  return context;
}

void FreeProgressContext(ProgressContext* context) {
  if (context == nullptr) return;
  context->signature = kProgressContextFreed;
  context->~ProgressContext();
  free(context);
}

int ProgressBridge(const char* key, void* context, int64_t done, int64_t total, int* keepGoing) {
  if (keepGoing == nullptr) return 0;
  *keepGoing = 0;
  auto* ctx = static_cast<ProgressContext*>(context);
  if (ctx == nullptr || ctx->signature != kProgressContextLive ||
      ctx->owner != std::this_thread::get_id()) {
    return 0;
  }
  JNIEnv* env = ctx->env;
  // JNI allows no call but cleanup while an exception is pending.
  if (env->ExceptionCheck()) return 0;
  if (env->PushLocalFrame(kBridgeFrame) != 0) return 0;

  jboolean go = JNI_FALSE;
  bool called = false;
  jclass cls = env->GetObjectClass(ctx->listener);
  jmethodID method = env->GetMethodID(cls, kReportProgress, kReportProgressSignature);
  if (method != nullptr && !env->ExceptionCheck()) {
    jstring jkey = nullptr;
    bool keyOk = true;
    if (key != nullptr) {
      jkey = NewStringFromText(env, key);
      keyOk = jkey != nullptr;
    }
    if (keyOk) {
      go = env->CallBooleanMethod(ctx->listener, method, jkey, ctx->listenerData,
                                  static_cast<jlong>(done), static_cast<jlong>(total));
      called = !env->ExceptionCheck();
    }
  }
  env->PopLocalFrame(nullptr);
  *keepGoing = (called && go != JNI_FALSE) ? 1 : 0;
  return 0;
}

}  // namespace kdr::jni
