#include "lib/file_system.hpp"

#include <gtest/gtest.h>

#include "../tables/temp_tree.hpp"

namespace quorvex {
namespace {

TEST(PathTest, JoinParentNameStem) {
  EXPECT_EQ(join_path("/a", "b"), "/a/b");
  EXPECT_EQ(join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(join_path("", "b"), "b");
  std::string parent;
  ASSERT_TRUE(parent_path("/r/wmo/38", parent));
  EXPECT_EQ(parent, "/r/wmo");
  ASSERT_TRUE(parent_path("/r/wmo/38/", parent));
  EXPECT_EQ(parent, "/r/wmo");
  ASSERT_TRUE(parent_path("/38", parent));
  EXPECT_EQ(parent, "/");
  ASSERT_TRUE(parent_path("38", parent));
  EXPECT_EQ(parent, "");
  EXPECT_FALSE(parent_path("/", parent));
  EXPECT_FALSE(parent_path("", parent));
  EXPECT_EQ(file_stem("/d/1003.table"), "1003");
  EXPECT_EQ(file_stem("/d/a.b.table"), "a.b");
  EXPECT_EQ(file_stem("/d/.table"), ".table");
  EXPECT_EQ(file_stem("noext"), "noext");
}

TEST(ListingTest, PrefixSuffixAndByteOrder) {
  testing::TempTree tree;
  for (const char* name : {"B_2.csv", "B_10.csv", "B_1.csv", "b_0.csv", "B_3.CSV", "B_.csv", "x.csv"}) {
    tree.write(name, "");
  }
  tree.mkdir("B_9.csv");
  tree.write("B_\xFF.csv", "");  // an invalid name is matched through its replaced text
  auto got = list_directory_files(tree.path(), "B_", ".csv");
  ASSERT_TRUE(got.has_value());
  std::vector<std::string> want;
  for (const char* name : {"B_.csv", "B_1.csv", "B_10.csv", "B_2.csv", "B_9.csv", "B_\xFF.csv"}) {
    want.push_back(tree.path(name));
  }
  EXPECT_EQ(*got, want);
}

TEST(ListingTest, Failures) {
  testing::TempTree tree;
  auto missing = list_directory_files(tree.path("none"), "", "");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), "io error: No such file or directory (os error 2)");
  const auto file = tree.write("f", "x");
  auto not_dir = list_directory_files(file, "", "");
  ASSERT_FALSE(not_dir.has_value());
  EXPECT_EQ(not_dir.error().message(), "io error: Not a directory (os error 20)");
  auto nul = list_directory_files(tree.path() + std::string("\0x", 2), "", "");
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().message(), "io error: file name contained an unexpected NUL byte");
}

TEST(ReadFileTest, WholeFileAndUtf8) {
  testing::TempTree tree;
  const std::string big(200000, 'z');
  EXPECT_EQ(read_file(tree.write("big", big)).value(), big);
  EXPECT_EQ(read_file(tree.write("empty", "")).value(), "");
  EXPECT_EQ(read_utf8_file(tree.write("bad", "ok\xC3")).error().message(),
            "io error: stream did not contain valid UTF-8");
  EXPECT_EQ(read_file(tree.path()).error().message(), "io error: Is a directory (os error 21)");
  EXPECT_EQ(file_kind(tree.path()), FileKind::Directory);
  EXPECT_EQ(file_kind(tree.path("big")), FileKind::Regular);
  EXPECT_EQ(file_kind(tree.path("none")), FileKind::Missing);
  EXPECT_EQ(file_kind("/dev/null"), FileKind::Other);
}

}  // namespace
}  // namespace quorvex
