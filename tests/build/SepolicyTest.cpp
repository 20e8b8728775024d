// The device policy cannot be compiled here (it needs the platform's own policy), so it is read
// and checked against what it must agree with: tonvale.rc (binary, data directory, groups),
// Android.bp (the installed binary and the policy's files) and the code (service name, settings
// directory, lock file, the single-instance listing). A change on either side fails here until
// the other follows.
#include <ctype.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <string.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

/** Drops everything from '#' to the end of each line. */
std::string stripHashComments(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out += line.substr(0, line.find('#')) + "\n";
    return out;
}

// The platform's permission sets (system/sepolicy global_macros, Android 10).
const std::map<std::string, std::string> kPermissionSets = {
    {"r_file_perms", "getattr open read ioctl lock map"},
    {"w_file_perms", "open append write lock map"},
    {"x_file_perms", "getattr execute execute_no_trans map"},
    {"rw_file_perms", "r_file_perms w_file_perms"},
    {"rx_file_perms", "r_file_perms x_file_perms"},
    {"create_file_perms", "create rename setattr unlink rw_file_perms"},
    {"r_dir_perms", "open getattr read search ioctl lock"},
    {"w_dir_perms", "open search write add_name remove_name lock"},
    {"rw_dir_perms", "r_dir_perms w_dir_perms"},
    {"create_dir_perms", "create reparent rename rmdir setattr rw_dir_perms"},
};

/** The names of a set ("{ a -b c }" or one word); names after '-' are left out. */
std::set<std::string> setOf(const std::string& text, bool expandPermissions = false) {
    std::string body = text;
    for (char& c : body) {
        if (c == '{' || c == '}') c = ' ';
    }
    std::set<std::string> out;
    for (const std::string& w : words(body)) {
        if (w[0] == '-' || w == "~") continue;
        auto macro = kPermissionSets.find(w);
        if (expandPermissions && macro != kPermissionSets.end()) {
            std::set<std::string> inner = setOf(macro->second, true);
            out.insert(inner.begin(), inner.end());
        } else {
            out.insert(w);
        }
    }
    return out;
}

struct Allow {
    std::set<std::string> sources, targets, classes, perms;
};

struct TypeTransition {
    std::string source, target, cls, result, name;
};

/** What the policy's .te files say, with the platform's macros expanded. */
struct Policy {
    std::map<std::string, std::set<std::string>> types;  // type -> attributes
    std::vector<Allow> rules;
    std::vector<TypeTransition> transitions;
    std::vector<std::string> initDomains;  // init_daemon_domain(x)
    std::vector<std::string> errors;

    bool has(const std::string& type, const std::string& attribute) const {
        auto t = types.find(type);
        return t != types.end() && t->second.count(attribute) != 0;
    }

    /** Whether name is in set, itself or through an attribute declared here. */
    bool inSet(const std::string& name, const std::set<std::string>& set) const {
        if (set.count(name) != 0) return true;
        auto t = types.find(name);
        if (t == types.end()) return false;
        for (const std::string& a : t->second) {
            if (set.count(a) != 0) return true;
        }
        return false;
    }

    bool allows(const std::string& source, const std::string& target, const std::string& cls,
                const std::string& perm) const {
        for (const Allow& a : rules) {
            if (!inSet(source, a.sources) || a.classes.count(cls) == 0 || a.perms.count(perm) == 0) {
                continue;
            }
            if (inSet(target, a.targets) || (target == source && a.targets.count("self"))) {
                return true;
            }
        }
        return false;
    }

    void allow(const std::string& s, const std::string& t, const std::string& c,
               const std::string& p) {
        rules.push_back({setOf(s), setOf(t), setOf(c), setOf(p, true)});
    }

    /** The platform's macros (system/sepolicy te_macros, Android 10) that the policy uses. */
    void expand(const std::string& name, const std::vector<std::string>& args) {
        auto need = [&](size_t n) {
            if (args.size() == n) return true;
            errors.push_back(name + " takes " + std::to_string(n) + " arguments");
            return false;
        };
        if (name == "init_daemon_domain") {
            if (!need(1)) return;
            const std::string d = args[0];
            initDomains.push_back(d);
            allow("init", d + "_exec", "file", "{ read getattr map execute open }");
            allow("init", d, "process", "transition");
            allow(d, d + "_exec", "file", "{ entrypoint open read execute getattr map }");
            transitions.push_back({"init", d + "_exec", "process", d, ""});
        } else if (name == "binder_use") {
            if (!need(1)) return;
            allow(args[0], "servicemanager", "binder", "{ call transfer }");
            allow("servicemanager", args[0], "binder", "{ call transfer }");
            allow("servicemanager", args[0], "dir", "search");
            allow("servicemanager", args[0], "file", "{ read open }");
            allow("servicemanager", args[0], "process", "getattr");
        } else if (name == "binder_call") {
            if (!need(2)) return;
            allow(args[0], args[1], "binder", "{ call transfer }");
            allow(args[1], args[0], "binder", "transfer");
            allow(args[0], args[1], "fd", "use");
        } else if (name == "binder_service") {
            if (!need(1)) return;
            types[args[0]].insert("binderservicedomain");
        } else if (name == "add_service") {
            if (!need(2)) return;
            allow(args[0], args[1], "service_manager", "{ add find }");
        } else if (name == "r_dir_file") {
            if (!need(2)) return;
            allow(args[0], args[1], "dir", "r_dir_perms");
            allow(args[0], args[1], "{ file lnk_file }", "r_file_perms");
        } else {
            errors.push_back("unknown macro " + name + ": teach this test what it grants");
        }
    }

    /** The next word or { set } of text from *pos; a word ends at white space (or at ':'). */
    static std::string item(const std::string& text, size_t* pos, bool stopAtColon) {
        size_t i = text.find_first_not_of(" \t\r\n", *pos);
        if (i == std::string::npos) {
            *pos = text.size();
            return "";
        }
        size_t end;
        if (text[i] == '{') {
            end = text.find('}', i);
            end = end == std::string::npos ? text.size() : end + 1;
        } else {
            end = text.find_first_of(stopAtColon ? " \t\r\n:" : " \t\r\n", i);
            if (end == std::string::npos) end = text.size();
        }
        *pos = end;
        return text.substr(i, end - i);
    }

    void statement(const std::string& text) {
        std::vector<std::string> w = words(text);
        if (w.empty()) return;
        if (w[0] == "type" && w.size() >= 2) {
            std::string rest = text.substr(text.find("type") + 4);
            std::vector<std::string> parts;
            std::stringstream in(rest);
            std::string part;
            while (std::getline(in, part, ',')) parts.push_back(trim(part));
            std::set<std::string>& attrs = types[parts[0]];
            for (size_t i = 1; i < parts.size(); ++i) attrs.insert(parts[i]);
        } else if (w[0] == "typeattribute" && w.size() == 3) {
            types[w[1]].insert(w[2]);
        } else if (w[0] == "allow") {
            // allow SOURCE TARGET:CLASS PERMS, any of them a { set }.
            size_t pos = text.find("allow") + 5;
            const std::string source = item(text, &pos, false);
            const std::string target = item(text, &pos, true);
            const bool colon = pos < text.size() && text[pos] == ':';
            if (colon) ++pos;
            const std::string cls = item(text, &pos, false);
            const std::string perms = item(text, &pos, false);
            if (source.empty() || target.empty() || !colon || cls.empty() || perms.empty() ||
                !trim(text.substr(pos)).empty()) {
                errors.push_back("cannot read: " + trim(text));
                return;
            }
            allow(source, target, cls, perms);
        } else if (w[0] == "type_transition" && (w.size() == 4 || w.size() == 5)) {
            const size_t colon = w[2].find(':');
            if (colon == std::string::npos) {
                errors.push_back("cannot read: " + trim(text));
                return;
            }
            std::string name = w.size() == 5 ? w[4] : "";
            if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
                name = name.substr(1, name.size() - 2);
            }
            transitions.push_back({w[1], w[2].substr(0, colon), w[2].substr(colon + 1), w[3], name});
        } else {
            errors.push_back("unknown statement: " + trim(text));
        }
    }

    void parse(const std::string& source) {
        const std::string text = stripHashComments(source);
        size_t i = 0;
        while (i < text.size()) {
            if (isspace(static_cast<unsigned char>(text[i]))) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < text.size() &&
                   (isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) {
                ++end;
            }
            size_t next = text.find_first_not_of(" \t\r\n", end);
            if (end > i && next != std::string::npos && text[next] == '(') {
                // A macro call: arguments split at commas outside braces.
                const std::string name = text.substr(i, end - i);
                std::vector<std::string> args(1);
                int depth = 0;
                size_t j = next + 1;
                for (; j < text.size() && !(text[j] == ')' && depth == 0); ++j) {
                    if (text[j] == '{') ++depth;
                    if (text[j] == '}') --depth;
                    if (text[j] == ',' && depth == 0) {
                        args.emplace_back();
                    } else {
                        args.back() += text[j];
                    }
                }
                for (std::string& a : args) a = trim(a);
                expand(name, args);
                i = j + 1;
                continue;
            }
            size_t semi = text.find(';', i);
            if (semi == std::string::npos) {
                errors.push_back("no ';' after: " + trim(text.substr(i)));
                break;
            }
            statement(text.substr(i, semi - i));
            i = semi + 1;
        }
    }
};

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

/** An Android.bp module: its type and the text between its braces, comments removed. */
struct BpModule {
    std::string type;
    std::string body;
};

std::vector<BpModule> bpModules(const std::string& bp) {
    std::string text;  // without // comments outside strings
    bool quoted = false;
    for (size_t i = 0; i < bp.size(); ++i) {
        if (!quoted && bp.compare(i, 2, "//") == 0) {
            i = bp.find('\n', i);
            if (i == std::string::npos) break;
        }
        if (bp[i] == '"' && (i == 0 || bp[i - 1] != '\\')) quoted = !quoted;
        text += bp[i];
    }
    std::vector<BpModule> modules;
    size_t i = 0;
    while ((i = text.find('{', i)) != std::string::npos) {
        size_t start = text.find_last_not_of(" \t\r\n", i - 1);
        size_t word = start;
        while (word > 0 &&
               (isalnum(static_cast<unsigned char>(text[word - 1])) || text[word - 1] == '_')) {
            --word;
        }
        int depth = 0;
        size_t end = i;
        bool inString = false;
        for (; end < text.size(); ++end) {
            if (text[end] == '"') inString = !inString;
            if (inString) continue;
            if (text[end] == '{') ++depth;
            if (text[end] == '}' && --depth == 0) break;
        }
        modules.push_back({text.substr(word, start + 1 - word), text.substr(i + 1, end - i - 1)});
        i = end;
    }
    return modules;
}

/** Where "<property>:" starts as a whole word in a module body, or npos. */
size_t bpProperty(const std::string& body, const std::string& property) {
    for (size_t p = body.find(property); p != std::string::npos; p = body.find(property, p + 1)) {
        const bool wordStart =
            p == 0 || !(isalnum(static_cast<unsigned char>(body[p - 1])) || body[p - 1] == '_');
        const size_t colon = body.find_first_not_of(" \t", p + property.size());
        if (wordStart && colon != std::string::npos && body[colon] == ':') return colon + 1;
    }
    return std::string::npos;
}

/** The quoted entries of a module's "<property>: [ ... ]" list. */
std::vector<std::string> bpList(const std::string& body, const std::string& property) {
    std::vector<std::string> out;
    const size_t at = bpProperty(body, property);
    if (at == std::string::npos) return out;
    const size_t open = body.find_first_not_of(" \t\r\n", at);
    if (open == std::string::npos || body[open] != '[') return out;
    const size_t close = body.find(']', open);
    for (size_t q = body.find('"', open); q < close; q = body.find('"', q + 1)) {
        const size_t end = body.find('"', q + 1);
        if (end == std::string::npos || end > close) break;
        out.push_back(body.substr(q + 1, end - q - 1));
        q = end;
    }
    return out;
}

/** A module's "<property>: \"value\"" string, or "". */
std::string bpString(const std::string& body, const std::string& property) {
    const size_t at = bpProperty(body, property);
    if (at == std::string::npos) return "";
    const size_t open = body.find_first_not_of(" \t\r\n", at);
    if (open == std::string::npos || body[open] != '"') return "";
    const size_t close = body.find('"', open + 1);
    return close == std::string::npos ? "" : body.substr(open + 1, close - open - 1);
}

// Android 10's labels of the programs the single-instance check runs (system/sepolicy).
const std::map<std::string, std::string> kPlatformLabels = {
    {"sh", "shell_exec"},     {"toybox", "toolbox_exec"}, {"ps", "toolbox_exec"},
    {"grep", "toolbox_exec"}, {"egrep", "toolbox_exec"},  {"head", "toolbox_exec"},
    {"cut", "toolbox_exec"},  {"awk", "toolbox_exec"},    {"pgrep", "toolbox_exec"},
};

class SepolicyTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string dir = kRoot + "/sepolicy";
        for (const std::string& name : tonvale_test::listDir(dir)) {
            files_.insert(name);
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".te") == 0) {
                policy_.parse(readFile(dir + "/" + name));
            }
        }
        fileContexts_ = contexts(readFile(dir + "/file_contexts"));
        serviceContexts_ = contexts(readFile(dir + "/service_contexts"));
        rc_ = readFile(kRoot + "/tonvale.rc");
        bp_ = readFile(kRoot + "/Android.bp");
        ASSERT_FALSE(fileContexts_.empty());
        ASSERT_FALSE(serviceContexts_.empty());
        ASSERT_FALSE(rc_.empty());
        ASSERT_FALSE(bp_.empty());
        for (const std::string& e : policy_.errors) ADD_FAILURE() << e;
        ASSERT_EQ(1u, policy_.initDomains.size()) << "one domain entered from init";
        domain_ = policy_.initDomains[0];
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

    /** The lock file the policy names: the file name its type transition gives, in full. */
    std::string policyLockPath(std::string* type) const {
        for (const TypeTransition& t : policy_.transitions) {
            if (t.source == domain_ && t.cls == "file" && !t.name.empty()) {
                *type = t.result;
                for (const auto& [pattern, fcType] : fileContexts_) {
                    if (fcType != t.result) continue;
                    std::string path;  // the pattern with its escapes taken away
                    for (char c : pattern) {
                        if (c != '\\') path += c;
                    }
                    return path;
                }
            }
        }
        return "";
    }

    Policy policy_;
    std::set<std::string> files_;
    std::vector<std::pair<std::string, std::string>> fileContexts_, serviceContexts_;
    std::string rc_, bp_, domain_;
};

TEST_F(SepolicyTest, ServiceNameAndTypeAgreeWithTheCode) {
    const std::string name = android::Tonvale::getServiceName();
    std::string type;
    for (const auto& [service, t] : serviceContexts_) {
        if (service == name) type = t;
    }
    ASSERT_FALSE(type.empty()) << "service_contexts does not name \"" << name << "\"";
    EXPECT_TRUE(policy_.has(type, "service_manager_type")) << type;
    EXPECT_TRUE(policy_.has(type, "app_api_service")) << "untrusted apps may find only these";
    EXPECT_TRUE(policy_.allows(domain_, type, "service_manager", "add"));
    EXPECT_TRUE(policy_.allows(domain_, "servicemanager", "binder", "call"));
    EXPECT_TRUE(policy_.has(domain_, "binderservicedomain"));
    for (const char* client : {"audioserver", "appdomain"}) {
        SCOPED_TRACE(client);
        EXPECT_TRUE(policy_.allows(client, type, "service_manager", "find"));
        EXPECT_TRUE(policy_.allows(client, domain_, "binder", "call"));
        EXPECT_TRUE(policy_.allows(domain_, client, "binder", "transfer")) << "reply's memory";
        EXPECT_TRUE(policy_.allows(client, domain_, "fd", "use")) << "the block's descriptor";
    }
}

TEST_F(SepolicyTest, BinaryIsInstalledStartedAndLabelledAlike) {
    InitRc rc(rc_);
    const InitRc::Service* service = daemonService(rc);
    ASSERT_NE(nullptr, service) << "tonvale.rc starts no --service daemon";
    const std::string path = service->command[0];
    EXPECT_EQ(domain_ + "_exec", labelOf(fileContexts_, path)) << path;
    EXPECT_TRUE(policy_.has(domain_ + "_exec", "exec_type"));
    EXPECT_TRUE(policy_.has(domain_, "coredomain")) << "a /system binary's domain";
    EXPECT_EQ(0u, service->options.count("seclabel")) << "init_daemon_domain labels it";

    // Android.bp installs a cc_binary as /system/bin/<name>, with this init script.
    const std::string binary = path.substr(path.rfind('/') + 1);
    EXPECT_EQ("/system/bin/" + binary, path);
    bool found = false;
    for (const BpModule& m : bpModules(bp_)) {
        if (m.type != "cc_binary" || bpList(m.body, "init_rc").empty()) continue;
        found = true;
        EXPECT_EQ(binary, bpString(m.body, "name"));
        EXPECT_EQ(std::vector<std::string>{"tonvale.rc"}, bpList(m.body, "init_rc"));
    }
    EXPECT_TRUE(found) << "no cc_binary with init_rc in Android.bp";
}

TEST_F(SepolicyTest, DataDirectoryIsCreatedLabelledAndWritable) {
    std::string dir = android::SettingsStore::directoryFor(nullptr);  // "/data/misc/tonvale/"
    ASSERT_EQ('/', dir.back());
    dir.pop_back();
    const std::string type = labelOf(fileContexts_, dir);
    ASSERT_FALSE(type.empty()) << dir << " has no label";
    EXPECT_EQ(type, labelOf(fileContexts_, dir + "/tonvale_config.prof"));
    EXPECT_TRUE(policy_.has(type, "data_file_type"));
    EXPECT_TRUE(policy_.has(type, "core_data_file_type"));
    for (const char* perm : {"search", "write", "add_name", "remove_name"}) {
        EXPECT_TRUE(policy_.allows(domain_, type, "dir", perm)) << perm;
    }
    for (const char* perm : {"create", "open", "read", "write", "rename", "unlink"}) {
        EXPECT_TRUE(policy_.allows(domain_, type, "file", perm)) << perm;
    }

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
    std::string type;
    const std::string path = policyLockPath(&type);
    ASSERT_FALSE(path.empty()) << "no named type transition to a labelled lock file";
    std::string dir = android::SettingsStore::directoryFor(nullptr);
    EXPECT_EQ(dir, path.substr(0, path.rfind('/') + 1)) << "the lock lives with the settings";
    EXPECT_EQ(type, labelOf(fileContexts_, path));
    EXPECT_TRUE(policy_.has(type, "data_file_type"));
    for (const char* perm : {"create", "open", "lock"}) {
        EXPECT_TRUE(policy_.allows(domain_, type, "file", perm)) << perm;
    }

    // The daemon takes the same lock on a device.
    EXPECT_EQ(path, android::DeviceLayout::kAndroid.lockPath());
}

TEST_F(SepolicyTest, SingleInstanceCheckMayRunItsListing) {
    const std::vector<std::string> listings = {android::DeviceLayout::kAndroid.listingCommand};
    std::set<std::string> programs = {"sh"};  // popen() runs /system/bin/sh -c
    for (const std::string& listing : listings) {
        std::stringstream stages(listing);
        std::string stage;
        while (std::getline(stages, stage, '|')) {
            std::vector<std::string> w = words(stage);
            if (!w.empty()) programs.insert(w[0]);
        }
    }
    for (const std::string& program : programs) {
        auto label = kPlatformLabels.find(program);
        ASSERT_NE(kPlatformLabels.end(), label) << "the label of " << program << " is unknown here";
        for (const char* perm : {"execute", "execute_no_trans", "read", "open", "map"}) {
            EXPECT_TRUE(policy_.allows(domain_, label->second, "file", perm))
                << program << " (" << label->second << "): " << perm;
        }
    }
    // ps -A reads every process's stat and cmdline.
    EXPECT_TRUE(policy_.allows(domain_, "domain", "dir", "search"));
    EXPECT_TRUE(policy_.allows(domain_, "domain", "file", "read"));
    EXPECT_TRUE(policy_.allows(domain_, "self", "fifo_file", "read"));
    EXPECT_TRUE(policy_.allows(domain_, "self", "process", "setrlimit"));
}

TEST_F(SepolicyTest, DaemonMayWatchItsClients) {
    for (const char* client : {"appdomain", "audioserver"}) {
        SCOPED_TRACE(client);
        EXPECT_TRUE(policy_.allows(domain_, client, "dir", "search"));
        EXPECT_TRUE(policy_.allows(domain_, client, "file", "read")) << "cmdline and stat";
        EXPECT_TRUE(policy_.allows(domain_, client, "process", "signull")) << "kill(pid, 0)";
    }
    EXPECT_TRUE(policy_.allows(domain_, domain_, "capability", "kill"));
    // Other uids' /proc entries are hidden (hidepid=2) except to the readproc group.
    InitRc rc(rc_);
    const InitRc::Service* service = daemonService(rc);
    ASSERT_NE(nullptr, service);
    ASSERT_EQ(1u, service->options.count("group"));
    const std::vector<std::string>& groups = service->options.at("group");
    EXPECT_NE(groups.end(), std::find(groups.begin(), groups.end(), "readproc"));
}

TEST_F(SepolicyTest, TypesAreDeclaredOnceAndUsed) {
    std::set<std::string> labelled;
    for (const auto& entry : fileContexts_) labelled.insert(entry.second);
    for (const auto& entry : serviceContexts_) labelled.insert(entry.second);
    for (const std::string& type : labelled) {
        EXPECT_EQ(1u, policy_.types.count(type)) << type << " is not declared in sepolicy/";
    }
    for (const auto& [type, attrs] : policy_.types) {
        if (type == domain_) continue;
        EXPECT_EQ(1u, labelled.count(type)) << type << " is declared but labels nothing";
        EXPECT_TRUE(attrs.count("file_type") || attrs.count("service_manager_type")) << type;
    }
}

TEST_F(SepolicyTest, AndroidBpNamesEveryPolicyFile) {
    std::set<std::string> named;
    for (const BpModule& m : bpModules(bp_)) {
        for (const std::string& src : bpList(m.body, "srcs")) {
            if (src.rfind("sepolicy/", 0) == 0) named.insert(src.substr(9));
        }
    }
    EXPECT_EQ(files_, named);
    for (const char* f : {"file_contexts", "service_contexts", "file.te", "service.te"}) {
        EXPECT_EQ(1u, files_.count(f)) << f;
    }
}

// The readers themselves: a wrong answer here would let a stale policy pass.
TEST(SepolicyParser, ExpandsMacrosSetsAndPermissionSets) {
    Policy p;
    p.parse(
        "# comment ( with parens\n"
        "type d, domain, coredomain;\n"
        "type d_exec, exec_type, file_type;\n"
        "init_daemon_domain(d)\n"
        "binder_call({ appdomain -isolated_app }, d)\n"
        "allow d self:capability kill; allow d t:{ file lnk_file } create_file_perms;\n"
        "type_transition d t:file u \"x.lock\";\n");
    EXPECT_TRUE(p.errors.empty()) << p.errors[0];
    EXPECT_EQ(std::vector<std::string>{"d"}, p.initDomains);
    EXPECT_TRUE(p.allows("init", "d", "process", "transition"));
    EXPECT_TRUE(p.allows("appdomain", "d", "binder", "call"));
    EXPECT_FALSE(p.allows("isolated_app", "d", "binder", "call"));
    EXPECT_TRUE(p.allows("d", "appdomain", "binder", "transfer"));
    EXPECT_TRUE(p.allows("d", "d", "capability", "kill"));
    EXPECT_FALSE(p.allows("d", "other", "capability", "kill"));
    EXPECT_TRUE(p.allows("d", "t", "lnk_file", "unlink"));
    EXPECT_TRUE(p.allows("d", "t", "file", "lock"));
    EXPECT_FALSE(p.allows("d", "t", "file", "execute"));
    EXPECT_TRUE(p.has("d_exec", "exec_type"));
    ASSERT_EQ(2u, p.transitions.size());
    EXPECT_EQ("x.lock", p.transitions[1].name);
    EXPECT_EQ("u", p.transitions[1].result);
}

TEST(SepolicyParser, ReportsWhatItCannotRead) {
    Policy p;
    p.parse("neverallow d t:file write;\nsome_macro(d)\nallow d t;\ntype x, y");
    EXPECT_EQ(4u, p.errors.size());
}

TEST(SepolicyParser, LabelsByTheMostSpecificEntry) {
    const auto fc = contexts("/a(/.*)?   u:object_r:dir_t:s0\n/a/b\\.lock  u:object_r:lock_t:s0\n");
    EXPECT_EQ("dir_t", labelOf(fc, "/a"));
    EXPECT_EQ("dir_t", labelOf(fc, "/a/c"));
    EXPECT_EQ("lock_t", labelOf(fc, "/a/b.lock"));
    EXPECT_EQ("", labelOf(fc, "/ab"));
}

TEST(SepolicyParser, ReadsBlueprintModules) {
    const auto modules = bpModules(
        "// cc_binary { name: \"commented\" }\n"
        "cc_binary {\n    name: \"t\", // note\n    init_rc: [\"t.rc\"],\n"
        "    target: { android: { cflags: [\"-x\"] } },\n}\n"
        "filegroup { name: \"g\", srcs: [\"a\", \"b\"] }\n");
    ASSERT_EQ(2u, modules.size());
    EXPECT_EQ("cc_binary", modules[0].type);
    EXPECT_EQ("t", bpString(modules[0].body, "name"));
    EXPECT_EQ(std::vector<std::string>{"t.rc"}, bpList(modules[0].body, "init_rc"));
    EXPECT_EQ("filegroup", modules[1].type);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), bpList(modules[1].body, "srcs"));
    EXPECT_EQ("", bpString(modules[1].body, "srcs"));
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
