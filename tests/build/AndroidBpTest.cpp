// Android.bp cannot be built here, so it is checked against the tree: every file it names
// must exist, and every library or tool source in the tree must be named in it.
#include <ctype.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "common/TestEnv.h"

namespace {

using tonvale_test::readFile;

const std::string kRoot = TONVALE_SOURCE_DIR;

// The folders whose sources belong to the AOSP build (platform/ is the host stand-in).
const char* const kSourceDirs[] = {"utils", "service", "registry", "interface", "tool"};

/** Removes // and block comments, leaving quoted strings alone. */
std::string stripComments(const std::string& text) {
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
            out += c;
        } else if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
            if (i == std::string::npos) break;
            out += '\n';
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i + 2);
            if (i == std::string::npos) break;
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

/** The quoted entries of every "<property>: [ ... ]" list, in order of appearance. */
std::vector<std::string> listEntries(const std::string& bp, const std::string& property) {
    const std::string text = stripComments(bp);
    std::vector<std::string> entries;
    const std::string key = property + ":";
    for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1)) {
        // Only whole property names: "srcs:" must not match inside "exclude_srcs:".
        if (pos > 0 &&
            (isalnum(static_cast<unsigned char>(text[pos - 1])) || text[pos - 1] == '_')) {
            continue;
        }
        size_t open = text.find_first_not_of(" \t\r\n", pos + key.size());
        if (open == std::string::npos || text[open] != '[') continue;
        size_t close = text.find(']', open);
        if (close == std::string::npos) close = text.size();
        for (size_t q = text.find('"', open); q < close; q = text.find('"', q + 1)) {
            size_t end = text.find('"', q + 1);
            if (end == std::string::npos || end > close) break;
            entries.push_back(text.substr(q + 1, end - q - 1));
            q = end;
        }
    }
    return entries;
}

/** Paths (relative to root) of the named entries that are not regular files. */
std::vector<std::string> missingFiles(const std::string& root,
                                      const std::vector<std::string>& paths) {
    std::vector<std::string> missing;
    for (const std::string& p : paths) {
        struct stat st;
        if (p.empty() || p.find('*') != std::string::npos ||
            stat((root + "/" + p).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            missing.push_back(p);
        }
    }
    return missing;
}

/** Every *.cpp below root/dir, as paths relative to root. */
void collectSources(const std::string& root, const std::string& dir, std::vector<std::string>* out) {
    DIR* d = opendir((root + "/" + dir).c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string rel = dir + "/" + name;
        struct stat st;
        if (stat((root + "/" + rel).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            collectSources(root, rel, out);
        } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cpp") == 0) {
            out->push_back(rel);
        }
    }
    closedir(d);
}

class AndroidBpTest : public testing::Test {
protected:
    void SetUp() override {
        bp_ = readFile(kRoot + "/Android.bp");
        ASSERT_FALSE(bp_.empty()) << "cannot read " << kRoot << "/Android.bp";
    }

    std::string bp_;
};

TEST_F(AndroidBpTest, EveryNamedFileExists) {
    std::vector<std::string> named = listEntries(bp_, "srcs");
    const std::vector<std::string> rc = listEntries(bp_, "init_rc");
    ASSERT_FALSE(named.empty());
    ASSERT_EQ(1u, rc.size());
    named.insert(named.end(), rc.begin(), rc.end());
    for (const std::string& p : missingFiles(kRoot, named)) {
        ADD_FAILURE() << "Android.bp names " << p << ", which is not a file in the tree";
    }
}

TEST_F(AndroidBpTest, EverySourceInTheTreeIsNamed) {
    const std::vector<std::string> srcs = listEntries(bp_, "srcs");
    const std::set<std::string> named(srcs.begin(), srcs.end());
    std::vector<std::string> tree;
    for (const char* dir : kSourceDirs) collectSources(kRoot, dir, &tree);
    ASSERT_FALSE(tree.empty());
    for (const std::string& p : tree) {
        EXPECT_EQ(1u, named.count(p)) << p << " is not named in Android.bp";
    }
}

TEST_F(AndroidBpTest, HostStandInIsNotBuilt) {
    const std::string text = stripComments(bp_);
    EXPECT_EQ(std::string::npos, text.find("\"platform/")) << "platform/ is host-only";
    for (const std::string& p : listEntries(bp_, "srcs")) {
        EXPECT_NE(0u, p.rfind("tests/platform/", 0)) << p << " tests the host stand-in";
    }
}

// The checker itself: a wrong answer here would let a stale Android.bp pass.
TEST(AndroidBpParserTest, ReadsMultiLineListsAndSkipsComments) {
    const std::string bp =
        "cc_binary {\n"
        "    name: \"x\", // \"not/a/src.cpp\"\n"
        "    srcs: [\n"
        "        \"a.cpp\", // trailing\n"
        "        /* \"gone.cpp\", */\n"
        "        \"b/c.cpp\",\n"
        "    ],\n"
        "    exclude_srcs: [\"d.cpp\"],\n"
        "    init_rc: [\"x.rc\"],\n"
        "}\n"
        "cc_test { srcs: [\"t.cpp\"] }\n";
    EXPECT_EQ((std::vector<std::string>{"a.cpp", "b/c.cpp", "t.cpp"}), listEntries(bp, "srcs"));
    EXPECT_EQ(std::vector<std::string>{"x.rc"}, listEntries(bp, "init_rc"));
    EXPECT_TRUE(listEntries(bp, "shared_libs").empty());
}

TEST(AndroidBpParserTest, ReportsMissingFilesGlobsAndDirectories) {
    const std::string root = tonvale_test::testRoot();
    ASSERT_TRUE(tonvale_test::writeFile(root + "/here.cpp", "int x;\n"));
    mkdir((root + "/dir").c_str(), 0755);
    EXPECT_EQ((std::vector<std::string>{"gone.cpp", "*.cpp", "dir", ""}),
              missingFiles(root, {"here.cpp", "gone.cpp", "*.cpp", "dir", ""}));
}

TEST(AndroidBpParserTest, FindsSourcesInSubfolders) {
    const std::string root = tonvale_test::testRoot() + "/tree";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/utils").c_str(), 0755);
    mkdir((root + "/utils/sub").c_str(), 0755);
    ASSERT_TRUE(tonvale_test::writeFile(root + "/utils/A.cpp", ""));
    ASSERT_TRUE(tonvale_test::writeFile(root + "/utils/A.h", ""));
    ASSERT_TRUE(tonvale_test::writeFile(root + "/utils/sub/B.cpp", ""));
    std::vector<std::string> found;
    collectSources(root, "utils", &found);
    const std::set<std::string> got(found.begin(), found.end());
    EXPECT_EQ((std::set<std::string>{"utils/A.cpp", "utils/sub/B.cpp"}), got);
}

}  // namespace
