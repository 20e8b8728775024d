// Gives each test process a private ANDROID_DATA and HOSTBINDER_DIR before any code reads
// them, so test binaries can run in parallel and never touch the machine's own.
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TestEnv.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void mkdirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string root = tonvale_test::testRoot();
    const pid_t owner = getpid();
    mkdirs(tonvale_test::settingsDir());
    mkdirs(tonvale_test::binderDir());
    setenv("ANDROID_DATA", tonvale_test::androidData().c_str(), 1);
    setenv("HOSTBINDER_DIR", tonvale_test::binderDir().c_str(), 1);

    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    // Forked children that return from main must not remove the parent's tree.
    if (getpid() == owner && getenv("TONVALE_KEEP_TEST_ROOT") == nullptr) {
        nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    return rc;
}
