// One first call of the client library, as an application makes it: VXN_Init (which launches
// the cache server through KDR_HOME's launch script when none serves the pipe), then VXN_Term.
// Exit status 0 when VXN_Init succeeded, else 1.
#include "iface/interface.h"

int main() {
  int r = VXN_Init(nullptr, nullptr);
  if (r == 0) VXN_Term();
  return r == 0 ? 0 : 1;
}
