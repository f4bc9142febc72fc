// Writes the installed C header of the client-proxy library (VXNClientProxy.h) from the
// interface table's own list of entries, so the header and the library never disagree.
#include <cstdio>

#include "iface/interface.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_c_header OUTPUT\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fputs(
      "/* VXNClientProxy.h: the 40 entries of libVXNClientProxyDll.so, for C and C++.\n"
      " * Generated at build from the library's interface table; do not edit.\n"
      " * Link with -lVXNClientProxyDll (pkg-config --cflags --libs kdr-clientproxy). */\n"
      "#ifndef VXN_CLIENT_PROXY_H\n#define VXN_CLIENT_PROXY_H\n\n"
      "#include <stddef.h>\n#include <stdint.h>\n\n"
      "#ifdef __cplusplus\nextern \"C\" {\n#endif\n\n"
      "typedef struct OpenFileRecord* VXNFileHandle;\n"
      "typedef void* (*VXNAllocFn)(size_t size);\n"
      "typedef void (*VXNFreeFn)(void* p);\n"
      "typedef uint32_t (*VXNThreadRoutine)(void* arg);\n"
      "typedef int32_t KdrClockValue;\n"
      "typedef int (*ProgressCallback)(const char* key, void* context, int64_t done,\n"
      "                                int64_t total, int* keepGoing);\n\n",
      out);
#define KDR_X_C_DECL(slot, name, ret, params) \
  std::fprintf(out, "/* slot %d */\n%s %s%s;\n", slot, #ret, #name, #params);
  KDR_INTERFACE_ENTRIES(KDR_X_C_DECL)
#undef KDR_X_C_DECL
  std::fputs("\n#ifdef __cplusplus\n}\n#endif\n\n#endif /* VXN_CLIENT_PROXY_H */\n", out);
  return std::fclose(out) == 0 ? 0 : 1;
}
