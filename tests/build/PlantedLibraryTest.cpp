// The tool, run by root in a directory someone else controls, loads no library from there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "ElfDynamic.h"
#include "common/TestEnv.h"

extern char** environ;

namespace tonvale_test {
namespace {

const char kMarker[] = "planted-library-was-loaded";

/** Changes the working directory for its own lifetime. */
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : mOld(getcwd(nullptr, 0)) {
        mEntered = chdir(dir.c_str()) == 0;
    }
    ~WorkingDirectory() {
        if (mOld != nullptr && chdir(mOld) != 0) ADD_FAILURE() << "cannot return to " << mOld;
        free(mOld);
    }
    bool entered() const { return mEntered; }

private:
    char* mOld;
    bool mEntered = false;
};

TEST(PlantedLibrary, InTheCurrentDirectoryIsNotLoaded) {
    // The probe under every name the tool and its library ask the loader for.
    std::set<std::string> names;
    for (const char* object : {TONVALE_TOOL_PATH, TONVALE_CORE_PATH}) {
        ElfDynamic elf;
        std::string error;
        ASSERT_TRUE(readElfDynamic(object, &elf, &error)) << error;
        names.insert(elf.needed.begin(), elf.needed.end());
    }
    ASSERT_TRUE(names.count("libc.so.6")) << "no NEEDED entries read";
    const std::string dir = testRoot() + "/planted";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string probe = readFile(TONVALE_PLANTED_PROBE);
    ASSERT_FALSE(probe.empty());
    for (const std::string& name : names) ASSERT_TRUE(writeFile(dir + "/" + name, probe)) << name;

    const std::string out = testRoot() + "/planted-out.txt";
    pid_t pid = -1;
    {
        WorkingDirectory in(dir);
        ASSERT_TRUE(in.entered());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        const char* argv[] = {TONVALE_TOOL_PATH, "-h", nullptr};
        ASSERT_EQ(0,
                  posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ));
        posix_spawn_file_actions_destroy(&actions);
    }
    EXPECT_EQ(0, waitExit(pid));
    EXPECT_EQ(0u, readFile(out).rfind("Usage:", 0)) << readFile(out);
    EXPECT_FALSE(fileExists(dir + "/" + kMarker));
}

}  // namespace
}  // namespace tonvale_test
