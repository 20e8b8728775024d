// Android.bp cannot be built here, so it is checked against the tree, read by Debian's Blueprint
// tools: every file it names must exist, every product source in the tree must be named in it,
// platform/ must not be, and the device test holds exactly the tests that need nothing of the
// host.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "build/Blueprint.h"
#include "common/TestEnv.h"

namespace {

using tonvale_test::Blueprint;
using tonvale_test::readFile;

const std::string kRoot = TONVALE_SOURCE_DIR;

// Top-level folders with a CMakeLists.txt that the AOSP build leaves out: the host stand-in for
// libbinder, the host demo, benchmarks and tests (the device test is checked on its own).
const std::set<std::string> kHostOnlyDirs = {"platform", "examples", "bench", "tests"};

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

/** The product's folders: those at the top with a CMakeLists.txt of their own, host-only aside. */
std::vector<std::string> productDirs(const std::string& root) {
    std::vector<std::string> dirs;
    for (const std::string& name : tonvale_test::listDir(root)) {
        if (name[0] == '.' || kHostOnlyDirs.count(name) != 0) continue;
        if (isRegularFile(root + "/" + name + "/CMakeLists.txt")) dirs.push_back(name);
    }
    return dirs;
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
        ASSERT_TRUE(bp_.ok()) << bp_.error();
        ASSERT_FALSE(bp_.modules().empty());
    }

    Blueprint bp_{kRoot + "/Android.bp"};
};

TEST_F(AndroidBpTest, NamesOnlyFilesOfTheTreeAndEveryProductSource) {
    std::vector<std::string> named = bp_.values("srcs");
    for (const char* property : {"init_rc", "version_script"}) {
        const std::vector<std::string> more = bp_.values(property);
        named.insert(named.end(), more.begin(), more.end());
    }
    for (const std::string& p : named) {
        EXPECT_TRUE(isRegularFile(kRoot + "/" + p))
            << "Android.bp names " << p << ", which is not a file in the tree";
    }
    const std::set<std::string> listed(named.begin(), named.end());
    std::vector<std::string> tree;
    for (const std::string& dir : productDirs(kRoot)) collectSources(kRoot, dir, &tree);
    ASSERT_FALSE(tree.empty());
    for (const std::string& p : tree) {
        EXPECT_EQ(1u, listed.count(p)) << p << " is not named in Android.bp";
    }
    // Nothing of the host stand-in or its tests, in any property.
    for (const Blueprint::Module& m : bp_.modules()) {
        for (const auto& [property, values] : m.properties) {
            for (const std::string& v : values) {
                EXPECT_EQ(std::string::npos, v.find("platform/"))
                    << m.value("name") << " " << property << ": " << v;
            }
        }
    }
}

TEST_F(AndroidBpTest, DeviceTestRunsEveryTestThatNeedsNoHost) {
    std::set<std::string> listed;
    for (const Blueprint::Module& m : bp_.modules()) {
        if (m.type != "cc_test") continue;
        for (const std::string& p : m.list("srcs")) listed.insert(p);
    }
    ASSERT_FALSE(listed.empty()) << "Android.bp has no cc_test";
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

// The checks' own footing: a wrong answer here would let a stale Android.bp pass.
TEST(AndroidBpToolsTest, ReadModulesAndRefuseWhatBlueprintRefuses) {
    const std::string root = tonvale_test::testRoot();
    const std::string good = root + "/good.bp";
    ASSERT_TRUE(tonvale_test::writeFile(good,
                                        "// cc_binary { name: \"commented\" }\n"
                                        "cc_binary {\n"
                                        "    name: \"x\", // note\n"
                                        "    srcs: [\n"
                                        "        \"a.cpp\",\n"
                                        "        \"b/c.cpp\",\n"
                                        "    ],\n"
                                        "    target: {\n"
                                        "        android: {\n"
                                        "            cflags: [\"-x\"],\n"
                                        "        },\n"
                                        "    },\n"
                                        "}\n"
                                        "\n"
                                        "filegroup {\n"
                                        "    name: \"g\",\n"
                                        "    srcs: [\"d\"],\n"
                                        "}\n"));
    const Blueprint bp(good);
    ASSERT_TRUE(bp.ok()) << bp.error();
    ASSERT_EQ(2u, bp.modules().size());
    EXPECT_EQ("cc_binary", bp.modules()[0].type);
    EXPECT_EQ("x", bp.modules()[0].value("name"));
    EXPECT_EQ(std::vector<std::string>{"-x"}, bp.modules()[0].list("target.android.cflags"));
    EXPECT_EQ((std::vector<std::string>{"a.cpp", "b/c.cpp", "d"}), bp.values("srcs"));

    // A syntax error, a file out of format, trailing text the parser would skip.
    for (const std::string& text : {std::string("cc_binary {\n    srcs: [\"a.cpp\"\n}\n"),
                                    std::string("cc_binary { name: \"x\" }\n"),
                                    std::string("cc_binary {\n    name: \"x\",\n}\n}\n")}) {
        ASSERT_TRUE(tonvale_test::writeFile(root + "/bad.bp", text));
        const Blueprint bad(root + "/bad.bp");
        EXPECT_FALSE(bad.ok()) << text;
    }
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
