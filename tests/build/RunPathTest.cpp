// Libraries load only from where the build put them: no built binary or library has a
// RUNPATH (or RPATH) entry that depends on the current directory. An empty entry is the
// current directory itself: a library planted wherever root runs the tool would be loaded.
#include <gtest/gtest.h>

#include "ElfDynamic.h"
#include "common/TestEnv.h"

namespace tonvale_test {
namespace {

TEST(RunPath, NoBuiltObjectSearchesTheCurrentDirectory) {
    int objects = 0;
    bool toolChecked = false;
    bool coreChecked = false;
    for (const std::string dir : {TONVALE_RUNTIME_DIR, TONVALE_LIBRARY_DIR}) {
        for (const std::string& name : listDir(dir)) {
            const std::string path = dir + "/" + name;
            ElfDynamic elf;
            std::string error;
            ASSERT_TRUE(readElfDynamic(path, &elf, &error)) << error;
            if (!elf.isElf) continue;
            ++objects;
            for (const std::string& entry : elf.searchPaths) {
                EXPECT_TRUE(isAnchoredSearchPath(entry)) << path << ": \"" << entry << "\"";
            }
            // The product's own objects must carry search paths, or nothing here was checked.
            if (name == "tonvale") toolChecked = !elf.searchPaths.empty();
            if (name == "libtonvalecore.so") coreChecked = !elf.searchPaths.empty();
        }
    }
    EXPECT_TRUE(toolChecked);
    EXPECT_TRUE(coreChecked);
    EXPECT_GE(objects, 3);
}

TEST(RunPath, AnchoredMeansAbsoluteOrTheObjectsOwnDirectory) {
    for (const char* entry : {"/usr/lib", "/", "$ORIGIN", "$ORIGIN/../lib", "${ORIGIN}/lib"}) {
        EXPECT_TRUE(isAnchoredSearchPath(entry)) << entry;
    }
    for (const char* entry : {"", ".", "./lib", "lib", "../lib", "$ORIGINAL/lib", "$LIB"}) {
        EXPECT_FALSE(isAnchoredSearchPath(entry)) << entry;
    }
}

}  // namespace
}  // namespace tonvale_test
