#include "platform/dirs.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs.h"

namespace kdr::platform {
namespace {

// A tree made with MakeDirectories, listed, and removed with RemoveTree: a symbolic link in it
// is listed as a link and removed as one, never followed, so what it leads to outside the tree
// stays; a missing tree is no error, a name that is not a directory cannot be made one.
TEST(Dirs, MakeListAndRemoveATreeWithoutFollowingLinks) {
  std::string root = ::testing::TempDir() + "kdrdirsXXXXXX";
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  const std::string outside = root + "/outside", tree = root + "/tree";
  bool made = false;
  ASSERT_EQ(MakeDirectories(outside + "/keep", 0700, &made), 0);
  EXPECT_TRUE(made);
  ASSERT_EQ(ReplaceFile((outside + "/keep/doc").c_str(), "kept", 4, FileMode::kCreatePrivate), 0);
  ASSERT_EQ(MakeDirectories(tree + "/a/b/", 0700, &made), 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(MakeDirectories(tree + "/a", 0700, &made), 0);
  EXPECT_FALSE(made);
  ASSERT_EQ(ReplaceFile((tree + "/a/b/f").c_str(), "x", 1, FileMode::kCreatePrivate), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/a/link").c_str()), 0);
  EXPECT_EQ(MakeDirectories(tree + "/a/b/f/g", 0700), ENOTDIR);

  std::vector<DirEntry> entries;
  ASSERT_EQ(ListDirectory(tree + "/a", &entries), 0);
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& x, const DirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "b");
  EXPECT_EQ(entries[0].kind, EntryKind::kDirectory);
  EXPECT_FALSE(entries[0].link);
  EXPECT_EQ(entries[1].name, "link");
  EXPECT_EQ(entries[1].kind, EntryKind::kDirectory);
  EXPECT_TRUE(entries[1].link);
  EXPECT_EQ(ListDirectory(tree + "/a/b/f", &entries), ENOTDIR);

  EXPECT_EQ(RemovePath(tree + "/a"), ENOTEMPTY);
  EXPECT_EQ(RemoveTree(tree), 0);
  EXPECT_FALSE(IsDirectory(tree));
  EXPECT_EQ(RemoveTree(tree), 0);
  uint64_t size = 0;
  EXPECT_EQ(StatPath((outside + "/keep/doc").c_str(), &size), 0);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RemoveTree(root), 0);
}

}  // namespace
}  // namespace kdr::platform
