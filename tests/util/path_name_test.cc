#include "util/path_name.h"

#include "gtest/gtest.h"

TEST(PathNameTest, ExtensionIsCutInTheFileNameOnly) {
  struct Case {
    const char* path;
    const char* fileName;
    const char* withoutExtension;
  };
  const Case cases[] = {
      {"/opt/v1.2/quillrade", "quillrade", "/opt/v1.2/quillrade"},
      {"/usr/bin/prog.exe", "prog.exe", "/usr/bin/prog"},
      {"/a/b.c.d", "b.c.d", "/a/b.c"},
      {"plain", "plain", "plain"},
      {"dir/", "", "dir/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileNameOf(c.path), c.fileName) << c.path;
    EXPECT_EQ(WithoutExtension(c.path), c.withoutExtension) << c.path;
  }
  EXPECT_EQ(FileNameOf("C:\\x\\prog.exe", "/\\"), "prog.exe");
  EXPECT_EQ(WithoutExtension(FileNameOf("C:\\x.y\\prog", "/\\"), "/\\"), "prog");
}
