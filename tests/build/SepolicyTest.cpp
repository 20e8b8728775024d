// The device policy against what it must agree with: tonvale.rc (binary, data directory,
// groups), Android.bp (the installed binary and the policy's files) and the code (service name,
// settings directory, lock file). What the policy grants is checked where it can be: compiled
// into Android 10's platform policy by scripts/sepolicy.sh. A change on either side fails here
// until the other follows.
#include <ctype.h>
#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "build/Blueprint.h"
#include "common/TestEnv.h"
#include "service/DeviceLayout.h"
#include "service/SettingsStore.h"
#include "service/Tonvale.h"

namespace {

using tonvale_test::readFile;

const std::string kRoot = TONVALE_SOURCE_DIR;

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

/** Drops everything from '#' to the end of each line. */
std::string stripHashComments(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out += line.substr(0, line.find('#')) + "\n";
    return out;
}

/** The groups of pattern's first match in text (POSIX extended); empty when none. */
std::vector<std::string> firstMatch(const std::string& text, const std::string& pattern) {
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED) != 0) {
        ADD_FAILURE() << "not a regular expression: " << pattern;
        return {};
    }
    regmatch_t m[4];
    std::vector<std::string> groups;
    if (regexec(&re, text.c_str(), 4, m, 0) == 0) {
        for (size_t i = 1; i < 4 && m[i].rm_so >= 0; ++i) {
            groups.push_back(text.substr(m[i].rm_so, m[i].rm_eo - m[i].rm_so));
        }
    }
    regfree(&re);
    return groups;
}

/** Lines of a contexts file as (first word, type of the context in the last word). */
std::vector<std::pair<std::string, std::string>> contexts(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(stripHashComments(text));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> w = words(line);
        if (w.empty()) continue;
        // u:object_r:TYPE:s0
        std::vector<std::string> fields;
        std::stringstream ctx(w.back());
        std::string f;
        while (std::getline(ctx, f, ':')) fields.push_back(f);
        out.push_back({w[0], fields.size() == 4 ? fields[2] : ""});
    }
    return out;
}

/** The type a file_contexts gives to path: its last matching entry, as in the platform. */
std::string labelOf(const std::vector<std::pair<std::string, std::string>>& fc,
                    const std::string& path) {
    std::string label;
    size_t bestStem = 0;
    for (const auto& [pattern, type] : fc) {
        // file_contexts entries are regular expressions matched against the whole path.
        regex_t re;
        if (regcomp(&re, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
            ADD_FAILURE() << "file_contexts: not a regular expression: " << pattern;
            continue;
        }
        const bool matches = regexec(&re, path.c_str(), 0, nullptr, 0) == 0;
        regfree(&re);
        if (!matches) continue;
        // The more specific entry wins: the longer fixed stem before any regex character.
        const size_t stem = pattern.find_first_of(".^$?*+|[({\\");
        const size_t length = stem == std::string::npos ? pattern.size() + 1 : stem;
        if (length >= bestStem) {
            bestStem = length;
            label = type;
        }
    }
    return label;
}

/** The init script: services with their options, and the commands of each trigger. */
struct InitRc {
    struct Service {
        std::vector<std::string> command;  // path and arguments
        std::map<std::string, std::vector<std::string>> options;
    };
    std::map<std::string, Service> services;
    std::map<std::string, std::vector<std::vector<std::string>>> triggers;

    explicit InitRc(const std::string& text) {
        std::istringstream in(stripHashComments(text));
        std::string line;
        Service* service = nullptr;
        std::vector<std::vector<std::string>>* commands = nullptr;
        while (std::getline(in, line)) {
            std::vector<std::string> w = words(line);
            if (w.empty()) continue;
            if (w[0] == "service" && w.size() >= 3) {
                service = &services[w[1]];
                service->command.assign(w.begin() + 2, w.end());
                commands = nullptr;
            } else if (w[0] == "on" && w.size() >= 2) {
                commands = &triggers[w[1]];
                service = nullptr;
            } else if (service != nullptr) {
                service->options[w[0]].assign(w.begin() + 1, w.end());
            } else if (commands != nullptr) {
                commands->push_back(w);
            }
        }
    }
};

class SepolicyTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string dir = kRoot + "/sepolicy";
        for (const std::string& name : tonvale_test::listDir(dir)) {
            files_.insert(name);
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".te") == 0) {
                te_ += stripHashComments(readFile(dir + "/" + name));
            }
        }
        fileContexts_ = contexts(readFile(dir + "/file_contexts"));
        serviceContexts_ = contexts(readFile(dir + "/service_contexts"));
        rc_ = readFile(kRoot + "/tonvale.rc");
        ASSERT_FALSE(fileContexts_.empty());
        ASSERT_FALSE(serviceContexts_.empty());
        ASSERT_FALSE(rc_.empty());
        ASSERT_TRUE(bp_.ok()) << bp_.error();
        const std::vector<std::string> m = firstMatch(te_, "init_daemon_domain\\(([a-z0-9_]+)\\)");
        ASSERT_EQ(1u, m.size()) << "no domain entered from init";
        domain_ = m[0];
    }

    /** The daemon's service in tonvale.rc: the one whose arguments hold --service. */
    const InitRc::Service* daemonService(const InitRc& rc) const {
        const InitRc::Service* found = nullptr;
        for (const auto& [name, s] : rc.services) {
            for (size_t i = 1; i < s.command.size(); ++i) {
                if (s.command[i] == "--service") found = &s;
            }
        }
        return found;
    }

    std::set<std::string> files_;
    std::string te_;
    std::vector<std::pair<std::string, std::string>> fileContexts_, serviceContexts_;
    std::string rc_, domain_;
    tonvale_test::Blueprint bp_{kRoot + "/Android.bp"};
};

TEST_F(SepolicyTest, ServiceNameAgreesWithTheCode) {
    const std::string name = android::Tonvale::getServiceName();
    std::string type;
    for (const auto& [service, t] : serviceContexts_) {
        if (service == name) type = t;
    }
    EXPECT_FALSE(type.empty()) << "service_contexts does not name \"" << name << "\"";
}

TEST_F(SepolicyTest, BinaryIsInstalledStartedAndLabelledAlike) {
    InitRc rc(rc_);
    const InitRc::Service* service = daemonService(rc);
    ASSERT_NE(nullptr, service) << "tonvale.rc starts no --service daemon";
    const std::string path = service->command[0];
    EXPECT_EQ(domain_ + "_exec", labelOf(fileContexts_, path)) << path;
    EXPECT_EQ(0u, service->options.count("seclabel")) << "init_daemon_domain labels it";
    // The policy lets it read other uids' /proc entries, which hidepid=2 shows only to readproc.
    ASSERT_EQ(1u, service->options.count("group"));
    const std::vector<std::string>& groups = service->options.at("group");
    EXPECT_NE(groups.end(), std::find(groups.begin(), groups.end(), "readproc"));
    // The policy runs no process listing: init starts the daemon in the foreground, without one.
    EXPECT_NE(service->command.end(),
              std::find(service->command.begin(), service->command.end(), "--foreground"));

    // Android.bp installs a cc_binary as /system/bin/<name>, with this init script.
    const std::string binary = path.substr(path.rfind('/') + 1);
    EXPECT_EQ("/system/bin/" + binary, path);
    bool found = false;
    for (const tonvale_test::Blueprint::Module& m : bp_.modules()) {
        if (m.type != "cc_binary" || m.list("init_rc").empty()) continue;
        found = true;
        EXPECT_EQ(binary, m.value("name"));
        EXPECT_EQ(std::vector<std::string>{"tonvale.rc"}, m.list("init_rc"));
    }
    EXPECT_TRUE(found) << "no cc_binary with init_rc in Android.bp";
}

TEST_F(SepolicyTest, DataDirectoryIsCreatedAndLabelled) {
    std::string dir = android::SettingsStore::directoryFor(nullptr);  // "/data/misc/tonvale/"
    ASSERT_EQ('/', dir.back());
    dir.pop_back();
    const std::string type = labelOf(fileContexts_, dir);
    ASSERT_FALSE(type.empty()) << dir << " has no label";
    EXPECT_EQ(type, labelOf(fileContexts_, dir + "/tonvale_config.prof"));

    // init makes the directory before the daemon can start, owned by the daemon's user.
    InitRc rc(rc_);
    const InitRc::Service* service = daemonService(rc);
    ASSERT_NE(nullptr, service);
    bool made = false;
    for (const std::vector<std::string>& cmd : rc.triggers["post-fs-data"]) {
        if (cmd[0] != "mkdir" || cmd.size() < 2 || cmd[1] != dir) continue;
        made = true;
        const std::string user =
            service->options.count("user") ? service->options.at("user").at(0) : "root";
        EXPECT_EQ(user, cmd.size() > 3 ? cmd[3] : "root") << "owner of " << dir;
    }
    EXPECT_TRUE(made) << "tonvale.rc has no 'mkdir " << dir << "' on post-fs-data";
}

TEST_F(SepolicyTest, LockFileOfPolicyAndCodeAgree) {
    // type_transition <domain> <directory type>:file <lock type> "<name>";
    const std::vector<std::string> m = firstMatch(
        te_, "type_transition[[:space:]]+" + domain_ +
                 "[[:space:]]+([a-z0-9_]+):file[[:space:]]+([a-z0-9_]+)[[:space:]]+\"([^\"]+)\"");
    ASSERT_EQ(3u, m.size()) << "no named type transition to a lock file";
    const std::string dirType = m[0], lockType = m[1], name = m[2];
    std::string dir = android::SettingsStore::directoryFor(nullptr);
    const std::string path = dir + name;
    EXPECT_EQ(lockType, labelOf(fileContexts_, path)) << "restorecon would relabel " << path;
    dir.pop_back();
    EXPECT_EQ(dirType, labelOf(fileContexts_, dir)) << "the lock is made in " << dir;

    // The daemon takes the same lock on a device.
    EXPECT_EQ(path, android::DeviceLayout::kAndroid.lockPath());
}

TEST_F(SepolicyTest, AndroidBpNamesEveryPolicyFile) {
    std::set<std::string> named;
    for (const std::string& src : bp_.values("srcs")) {
        if (src.rfind("sepolicy/", 0) == 0) named.insert(src.substr(9));
    }
    EXPECT_EQ(files_, named);
}

// The readers themselves: a wrong answer here would let a stale policy pass.
TEST(SepolicyParser, LabelsByTheMostSpecificEntry) {
    const auto fc = contexts("/a(/.*)?   u:object_r:dir_t:s0\n/a/b\\.lock  u:object_r:lock_t:s0\n");
    EXPECT_EQ("dir_t", labelOf(fc, "/a"));
    EXPECT_EQ("dir_t", labelOf(fc, "/a/c"));
    EXPECT_EQ("lock_t", labelOf(fc, "/a/b.lock"));
    EXPECT_EQ("", labelOf(fc, "/ab"));
}

TEST(SepolicyParser, ReadsInitScripts) {
    InitRc rc(
        "service s /system/bin/s --service\n    user root\n    group root readproc\n"
        "on post-fs-data\n    mkdir /data/misc/s 0700 root root\n");
    ASSERT_EQ(1u, rc.services.count("s"));
    EXPECT_EQ((std::vector<std::string>{"root", "readproc"}), rc.services["s"].options["group"]);
    ASSERT_EQ(1u, rc.triggers["post-fs-data"].size());
    EXPECT_EQ("/data/misc/s", rc.triggers["post-fs-data"][0][1]);
}

}  // namespace
