// libVXNClientProxyDll.so exports exactly the interface entries this build implements, under
// their undecorated names, and nothing else.
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iface/interface.h"
#include "platform/dynlib.h"

namespace kdr {
namespace {

std::set<std::string> DefinedDynamicSymbols(const char* library) {
  std::set<std::string> names;
  std::string cmd = std::string("nm -D --defined-only '") + library + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, p) != nullptr) {
    // "<address> <type> <name>"
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    size_t sp = s.rfind(' ');
    if (sp != std::string::npos) names.insert(s.substr(sp + 1));
  }
  pclose(p);
  return names;
}

TEST(Exports, ClientProxyLibraryExportsExactlyTheBuiltInEntries) {
  std::set<std::string> expected;
  for (int slot = 1; slot <= kInterfaceSlots; ++slot) {
    if (BuiltinEntry(slot) != nullptr) expected.insert(InterfaceEntryName(slot));
  }
  std::set<std::string> exported = DefinedDynamicSymbols(KDR_CLIENT_PROXY_LIBRARY);
  ASSERT_FALSE(exported.empty()) << "nm gave nothing for " << KDR_CLIENT_PROXY_LIBRARY;
  EXPECT_EQ(exported, expected);

  // And the dynamic loader finds each of them, and no other of the 40 names.
  std::string error;
  platform::DynLib* lib = platform::DynLibOpen(KDR_CLIENT_PROXY_LIBRARY, &error);
  ASSERT_NE(lib, nullptr) << error;
  for (int slot = 1; slot <= kInterfaceSlots; ++slot) {
    const char* name = InterfaceEntryName(slot);
    EXPECT_EQ(platform::DynLibSymbol(lib, name) != nullptr, expected.count(name) == 1) << name;
  }
  EXPECT_EQ(platform::DynLibSymbol(lib, "_ZN3kdr13LoadInterfaceEv"), nullptr);
  platform::DynLibClose(lib);
}

TEST(Exports, VersionScriptListsTheFortyNamesInSlotOrder) {
  std::ifstream in(KDR_CLIENT_PROXY_MAP);
  ASSERT_TRUE(in.good());
  std::vector<std::string> listed;
  std::string line;
  bool global = false;
  while (std::getline(in, line)) {
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    line = line.substr(b);
    if (line == "global:") {
      global = true;
    } else if (line == "local:") {
      global = false;
    } else if (global && !line.empty() && line.back() == ';') {
      listed.push_back(line.substr(0, line.size() - 1));
    }
  }
  ASSERT_EQ(listed.size(), 40u);
  for (int slot = 1; slot <= kInterfaceSlots; ++slot) {
    EXPECT_EQ(listed[slot - 1], InterfaceEntryName(slot)) << "slot " << slot;
  }
}

}  // namespace
}  // namespace kdr
