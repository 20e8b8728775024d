// Android.bp cannot be built here, so it is checked against the tree: every file it names
// must exist, every library or tool source in the tree must be named in it, and the device test
// holds exactly the tests that need nothing of the host.
#include <ctype.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
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

/** The text of the first "<type> { ... }" module, braces included; "" when there is none. */
std::string moduleBlock(const std::string& bp, const std::string& type) {
    const std::string text = stripComments(bp);
    for (size_t pos = text.find(type); pos != std::string::npos; pos = text.find(type, pos + 1)) {
        if (pos > 0 &&
            (isalnum(static_cast<unsigned char>(text[pos - 1])) || text[pos - 1] == '_')) {
            continue;
        }
        const size_t open = text.find_first_not_of(" \t\r\n", pos + type.size());
        if (open == std::string::npos || text[open] != '{') continue;
        int depth = 0;
        bool quoted = false;
        for (size_t i = open; i < text.size(); ++i) {
            const char c = text[i];
            if (quoted) {
                if (c == '\\') {
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == '{') {
                ++depth;
            } else if (c == '}' && --depth == 0) {
                return text.substr(pos, i + 1 - pos);
            }
        }
        return text.substr(pos);
    }
    return "";
}

// What makes a test need the host: the transport stand-in's internals; registering or looking
// up services and running binder threads (on a device that is the system's servicemanager); the
// client functions and the tool, which look up the installed service by name.
const char* const kHostIncludes[] = {
    "platform/",
    "binder/IServiceManager.h",
    "binder/ProcessState.h",
    "binder/IPCThreadState.h",
    "interface/TonvaleClient.h",
    "tool/",
};

/** The names of a source's #include lines, with whether each was quoted. */
std::vector<std::pair<std::string, bool>> includesOf(const std::string& text) {
    std::vector<std::pair<std::string, bool>> names;
    size_t line = 0;
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        size_t p = text.find_first_not_of(" \t", line);
        if (p < end && text.compare(p, 8, "#include") == 0) {
            const size_t open = text.find_first_of("\"<", p + 8);
            if (open < end) {
                const char close = text[open] == '"' ? '"' : '>';
                const size_t stop = text.find(close, open + 1);
                if (stop < end)
                    names.emplace_back(text.substr(open + 1, stop - open - 1), close == '"');
            }
        }
        line = end + 1;
    }
    return names;
}

/** Whether the text names a path of the host build tree (TONVALE_..._PATH or _DIR). */
bool usesHostBuildPath(const std::string& text) {
    for (size_t p = text.find("TONVALE_"); p != std::string::npos;
         p = text.find("TONVALE_", p + 1)) {
        size_t end = p + 8;
        while (end < text.size() &&
               (isupper(static_cast<unsigned char>(text[end])) || text[end] == '_')) {
            ++end;
        }
        const std::string name = text.substr(p, end - p);
        if ((name.size() > 5 && name.compare(name.size() - 5, 5, "_PATH") == 0) ||
            (name.size() > 4 && name.compare(name.size() - 4, 4, "_DIR") == 0)) {
            return true;
        }
    }
    return false;
}

/**
 * Follows a test source (relative to root) through the test headers it includes, resolved
 * beside it or from tests/, and the sources beside those headers, which it links with. Adds
 * every test file reached to files; returns whether any of them needs the host.
 */
bool needsHost(const std::string& root, const std::string& path, std::set<std::string>* files) {
    if (!files->insert(path).second) return false;
    const std::string text = readFile(root + "/" + path);
    // Tests of the host stand-in itself, and of nothing a device builds.
    bool host = path.rfind("tests/platform/", 0) == 0 || usesHostBuildPath(text);
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    for (const auto& [name, quoted] : includesOf(text)) {
        for (const char* marker : kHostIncludes) {
            if (name.rfind(marker, 0) == 0) host = true;
        }
        if (!quoted) continue;
        for (const std::string& candidate : {dir + name, "tests/" + name}) {
            struct stat st;
            if (stat((root + "/" + candidate).c_str(), &st) != 0) continue;
            host = needsHost(root, candidate, files) || host;
            const size_t dot = candidate.rfind(".h");
            const std::string source = candidate.substr(0, dot) + ".cpp";
            if (dot != std::string::npos && stat((root + "/" + source).c_str(), &st) == 0) {
                host = needsHost(root, source, files) || host;
            }
            break;
        }
    }
    return host;
}

/**
 * The sources of a device test binary: every test file under root/tests (one that defines
 * gtest cases; fuzzers aside) that needs nothing of the host, with what it links, and the
 * common main. Test files that do need the host go to host.
 */
std::set<std::string> deviceTestSources(const std::string& root, std::set<std::string>* host) {
    std::vector<std::string> tree;
    collectSources(root, "tests", &tree);
    std::set<std::string> device = {"tests/common/test_main.cpp"};
    for (const std::string& p : tree) {
        const std::string text = readFile(root + "/" + p);
        const bool isTest = text.find("TEST(") != std::string::npos ||
                            text.find("TEST_F(") != std::string::npos ||
                            text.find("TEST_P(") != std::string::npos;
        if (!isTest || p.find("/fuzz_") != std::string::npos) continue;
        std::set<std::string> files;
        if (needsHost(root, p, &files)) {
            host->insert(p);
            continue;
        }
        for (const std::string& f : files) {
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".cpp") == 0) device.insert(f);
        }
    }
    return device;
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

TEST_F(AndroidBpTest, DeviceTestRunsEveryTestThatNeedsNoHost) {
    const std::string block = moduleBlock(bp_, "cc_test");
    ASSERT_FALSE(block.empty()) << "Android.bp has no cc_test";
    const std::vector<std::string> srcs = listEntries(block, "srcs");
    const std::set<std::string> listed(srcs.begin(), srcs.end());
    std::set<std::string> host;
    const std::set<std::string> device = deviceTestSources(kRoot, &host);
    ASSERT_FALSE(host.empty());
    for (const std::string& p : device) {
        EXPECT_EQ(1u, listed.count(p)) << p << " runs on a device but the cc_test leaves it out";
    }
    for (const std::string& p : listed) {
        EXPECT_EQ(0u, host.count(p)) << p << " needs the host transport or a named service";
        EXPECT_EQ(1u, device.count(p) + host.count(p)) << p << " is not a test source";
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

TEST(AndroidBpParserTest, FindsModuleBlocks) {
    const std::string bp =
        "cc_binary { name: \"x\", srcs: [\"a.cpp\"] }\n"
        "// cc_test { srcs: [\"commented.cpp\"] }\n"
        "cc_test {\n    name: \"t\", // }\n    arch: { arm: { cflags: [\"-x\"] } },\n"
        "    srcs: [\"t.cpp\"],\n}\n"
        "cc_test_library { srcs: [\"l.cpp\"] }\n";
    EXPECT_EQ(std::vector<std::string>{"t.cpp"}, listEntries(moduleBlock(bp, "cc_test"), "srcs"));
    EXPECT_EQ("", moduleBlock(bp, "cc_fuzz"));
}

TEST(AndroidBpParserTest, SortsTestsByWhatTheyNeed) {
    const std::string root = tonvale_test::testRoot() + "/sorted";
    for (const char* d :
         {"", "/tests", "/tests/common", "/tests/a", "/tests/b", "/tests/platform"}) {
        mkdir((root + d).c_str(), 0755);
    }
    const std::map<std::string, std::string> files = {
        {"tests/common/Env.h", ""},
        {"tests/common/Env.cpp", "#include \"common/Env.h\"\n"},
        {"tests/common/test_main.cpp", ""},
        {"tests/a/Helper.h", "#include <binder/Parcel.h>\n"},
        {"tests/a/Helper.cpp", "#include \"Helper.h\"\n"},
        {"tests/a/Local.cpp",
         "#include \"Helper.h\"\n  #include \"common/Env.h\"\nTEST(A, B) {}\n"},
        {"tests/a/Harness.h", "#include <string>\n"},
        {"tests/a/Harness.cpp", "#include <binder/IServiceManager.h>\n"},
        {"tests/a/Served.cpp", "#include \"Harness.h\"\nTEST_F(A, B) {}\n"},
        {"tests/a/fuzz_x.cpp", "TEST(not, run) {}\n"},
        {"tests/b/Tool.cpp", "#include \"tool/CommandLine.h\"\nTEST(A, B) {}\n"},
        {"tests/b/Paths.cpp", "const char* p = TONVALE_TOOL_PATH;\nTEST(A, B) {}\n"},
        {"tests/b/Wire.cpp", "#include \"platform/HostWire.h\"\nTEST(A, B) {}\n"},
        {"tests/platform/Parcel.cpp", "#include <binder/Parcel.h>\nTEST(A, B) {}\n"},
        {"tests/b/Named.cpp", "int TONVALE_TESTS_ON = 1;\nTEST(A, B) {}\n"},
    };
    for (const auto& [path, text] : files) {
        ASSERT_TRUE(tonvale_test::writeFile(root + "/" + path, text)) << path;
    }
    std::set<std::string> host;
    EXPECT_EQ((std::set<std::string>{"tests/a/Helper.cpp", "tests/a/Local.cpp", "tests/b/Named.cpp",
                                     "tests/common/Env.cpp", "tests/common/test_main.cpp"}),
              deviceTestSources(root, &host));
    EXPECT_EQ((std::set<std::string>{"tests/a/Served.cpp", "tests/b/Paths.cpp", "tests/b/Tool.cpp",
                                     "tests/b/Wire.cpp", "tests/platform/Parcel.cpp"}),
              host);
}

}  // namespace
