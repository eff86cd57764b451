// Replays the database-file fuzzer's corpus through the fuzz target's entry
// function, so every input the fuzzer kept (seeds and the damaged files it
// found interesting) is re-run by the normal test command, with the
// sanitizers in their build.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "btree.h"
#include "btree_file_support.h"
#include "os.h"
#include "os_support.h"
#include "tarvikInt.h"

namespace {

namespace fs = std::filesystem;
using namespace tvbtfile;

fs::path corpusDir() {
  return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "btree";
}

TEST(BtreeFuzzCorpus, EveryInputRunsToTheEnd) {
  tarvikTestOsReset();
  std::vector<fs::path> files;
  for (auto &e : fs::directory_iterator(corpusDir())) files.push_back(e.path());
  ASSERT_GE(files.size(), 3u) << corpusDir();
  long nBase = tarvikTestMallocOutstanding();
  for (const fs::path &p : files) {
    SCOPED_TRACE(p.filename().string());
    std::string img = readFileBytes(p.string());
    fuzzDatabaseImage((const uint8_t *)img.data(), img.size());
    EXPECT_EQ(tarvikTestMallocOutstanding(), nBase) << "leak";
  }
}

// The seeds are sound files: the fuzzer starts from valid databases, and
// TARVIK_WRITE_CORPUS=<dir> writes them afresh.
TEST(BtreeFuzzCorpus, SeedsAreSoundDatabases) {
  tarvikTestOsReset();
  ScratchDir dir;
  std::vector<std::pair<std::string, std::string>> seeds;
  {
    std::string path = dir.file("small.db");
    Btree *pBt = nullptr;
    ASSERT_EQ(tarvikBtreeOpen(path.c_str(), 0, 10, &pBt), TARVIK_OK);
    ASSERT_TRUE(buildSmallDb(pBt));
    int aMeta[TARVIK_N_BTREE_META];
    ASSERT_EQ(tarvikBtreeGetMeta(pBt, aMeta), TARVIK_OK);
    std::vector<int> roots = {2, aMeta[5]};
    char *z = tarvikBtreeIntegrityCheck(pBt, roots.data(), (int)roots.size());
    EXPECT_EQ(z, nullptr) << z;
    tarvikFree(z);
    tarvikBtreeClose(pBt);
    std::string img = readFileBytes(path);
    EXPECT_LE(img.size(), 16u * 1024) << "small enough to fuzz quickly";
    seeds.push_back({"seed-small", img});
    ASSERT_TRUE(swapByteOrder(img, roots));
    seeds.push_back({"seed-small-swapped", img});
    std::string empty = img.substr(0, 2048);
    seeds.push_back({"seed-truncated", empty});
  }
  const char *zOut = getenv("TARVIK_WRITE_CORPUS");
  for (auto &[name, img] : seeds) {
    if (zOut) writeFileBytes(std::string(zOut) + "/" + name, img);
    EXPECT_TRUE(fs::exists(corpusDir() / name)) << name << " is in the corpus";
  }
}

}  // namespace
