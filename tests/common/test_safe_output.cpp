// The registry of live temporary names that an interrupt walks, and the
// output-folder probe.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nuqSafeOutput.h"
#include "nuqTestSupport.h"

namespace {

int EntriesIn(const std::string &folder) {
  int count = 0;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++count;
    closedir(d);
  }
  return count;
}

// Images are saved from several threads: names stay unique and every
// registration is undone, committed or discarded.
TEST(SafeOutputRegistry, ConcurrentWritersKeepNamesUniqueAndTheRegistryBalanced) {
  nuqtest::TempDir dir;
  const int before = CountLiveTemporaryNames();
  std::vector<std::unique_ptr<nuqSafeOutput>> held;
  for (int k = 0; k < 10; ++k)
    held.emplace_back(new nuqSafeOutput(dir.File("held" + std::to_string(k))));
  EXPECT_EQ(CountLiveTemporaryNames(), before + 10);

  const int threads = 4, rounds = 500;
  std::vector<std::vector<std::string>> names(threads);
  std::vector<int> committed(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        nuqSafeOutput output(dir.File("t" + std::to_string(t) + "_" + std::to_string(i % 3)));
        names[size_t(t)].push_back(output.GetTemporaryName());
        if (i % 2 == 0) {
          nuqtest::WriteWholeFile(output.GetTemporaryName(), "x");
          if (output.Commit()) ++committed[size_t(t)];
        }
      }
    });
  for (std::thread &w : workers) w.join();

  std::set<std::string> unique;
  for (const std::vector<std::string> &list : names) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), size_t(threads * rounds));
  for (int t = 0; t < threads; ++t) EXPECT_EQ(committed[size_t(t)], rounds / 2);
  EXPECT_EQ(CountLiveTemporaryNames(), before + 10);
  held.clear();
  EXPECT_EQ(CountLiveTemporaryNames(), before);
  // Only the committed final names are left: 3 per thread.
  EXPECT_EQ(EntriesIn(dir.Path()), threads * 3);
}

TEST(SafeOutputFolder, ProbeGivesTheSystemsReasonAndLeavesNothing) {
  nuqtest::TempDir dir;
  nuqtest::WriteWholeFile(dir.File("plain"), "a file\n");
  EXPECT_EQ(DescribeUnwritableFolder(dir.Path()), "");
  EXPECT_EQ(DescribeUnwritableFolder(dir.File("none")), "No such file or directory");
  EXPECT_EQ(DescribeUnwritableFolder(dir.File("plain")), "Not a directory");
  EXPECT_EQ(EntriesIn(dir.Path()), 1);
}

TEST(SafeOutputFolder, FolderOfAnOutputName) {
  const struct {
    const char *name, *folder;
  } cases[] = {{"out", "."}, {"a/b/out_x.nii.gz", "a/b"}, {"/out", "/"}, {"dir/", "dir"},
               {"", "."}};
  for (const auto &c : cases) EXPECT_EQ(GetOutputFolder(c.name), c.folder) << c.name;
}

}  // namespace
