// inotify bookkeeping on a real tree: what the watcher makes of the kernel's
// events (no engine involved).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdint>

#include "HostTestSupport.h"
#include "Text.h"
#include "Watcher.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

class HostWatcher : public WatchedTree {
protected:
    void SetUp() override {
        makeTree();
        std::string problem;
        ASSERT_TRUE(watcher->addRoot(root, problem)) << problem;
        EXPECT_EQ(watcher->watchedFolders(), 2u);
    }

    // A short quiet period shows nothing else arrives.
    std::vector<FsChange> quietly() { return collect(SIZE_MAX, 500); }

    // The one change that follows, checked for its type and path.
    FsChange single(FsChange::Type type, const std::string& path) {
        std::vector<FsChange> changes = collect(1);
        for (FsChange& more : quietly()) changes.push_back(std::move(more));
        EXPECT_EQ(changes.size(), 1u);
        if (changes.empty()) return FsChange();
        EXPECT_EQ(changes[0].type, type);
        EXPECT_EQ(changes[0].path, path);
        return changes[0];
    }
};

}  // namespace

TEST_F(HostWatcher, MovesBecomeRenamesInsideAndCreationsOrRemovalsAcrossTheEdge) {
    // Writes and a mode change of one path come as one change.
    writeText(root + "/old.txt", "one");
    writeText(root + "/old.txt", "two");
    ASSERT_EQ(chmod((root + "/old.txt").c_str(), 0600), 0);
    EXPECT_FALSE(single(FsChange::Update, root + "/old.txt").folder);
    writeText(outside + "/incoming.txt", "y");

    ASSERT_EQ(rename((root + "/old.txt").c_str(), (root + "/sub/new.txt").c_str()), 0);
    EXPECT_EQ(single(FsChange::Rename, root + "/old.txt").newPath, root + "/sub/new.txt");

    ASSERT_EQ(rename((outside + "/incoming.txt").c_str(), (root + "/incoming.txt").c_str()), 0);
    single(FsChange::Update, root + "/incoming.txt");

    // A folder moved away takes its contents along; its watches go with it.
    ASSERT_EQ(rename((root + "/sub").c_str(), (outside + "/sub").c_str()), 0);
    const FsChange gone = single(FsChange::Delete, root + "/sub");
    EXPECT_TRUE(gone.folder);
    EXPECT_TRUE(gone.movedOut);
    EXPECT_EQ(watcher->watchedFolders(), 1u);
    writeText(outside + "/sub/after.txt", "not ours");
    EXPECT_TRUE(quietly().empty());
}

TEST_F(HostWatcher, NewFoldersAreWatchedAndWhatIsBornThereIsNewUnderItsLastName) {
    makeFolders(root + "/fresh");
    writeText(root + "/fresh/early.txt", "made before the watch may exist");
    std::vector<FsChange> changes = collect(2);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].path, root + "/fresh");
    EXPECT_TRUE(changes[0].folder);
    EXPECT_EQ(changes[1].path, root + "/fresh/early.txt");
    EXPECT_TRUE(quietly().empty());
    EXPECT_EQ(watcher->watchedFolders(), 3u);

    // Created and renamed before it was ever reported: one update of the new name.
    writeText(root + "/fresh/draft.txt", "d");
    ASSERT_EQ(rename((root + "/fresh/draft.txt").c_str(), (root + "/fresh/final.txt").c_str()), 0);
    single(FsChange::Update, root + "/fresh/final.txt");

    // A folder renamed inside the tree keeps being watched under its new name.
    ASSERT_EQ(rename((root + "/fresh").c_str(), (root + "/renamed").c_str()), 0);
    EXPECT_TRUE(single(FsChange::Rename, root + "/fresh").folder);
    writeText(root + "/renamed/final.txt", "edited");
    single(FsChange::Update, root + "/renamed/final.txt");
}
