// libtonvaleclient, what a mixer links, defines no symbol of the service, the registry or the
// settings: nothing of a class that service/ or registry/ declares (one header per class), of
// the service's half of the interface, or of the utilities. libtonvalecore, which holds them
// all, shows that the check finds them.
#include <ctype.h>
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "ElfDynamic.h"
#include "common/TestEnv.h"

namespace tonvale_test {
namespace {

std::set<std::string> serviceClasses() {
    std::set<std::string> names = {"BnTonvale", "Access", "Utils"};
    for (const char* dir : {"service", "registry"}) {
        for (const std::string& file : listDir(std::string(TONVALE_SOURCE_DIR) + "/" + dir)) {
            const size_t dot = file.rfind(".h");
            // The block's layout is a plain struct the client library shares.
            if (dot + 2 == file.size() && file != "tnvl_cblk.h") names.insert(file.substr(0, dot));
        }
    }
    return names;
}

/** Whether a demangled name, parameters left out, names android::<name> itself. */
bool names(const std::string& symbol, const std::string& name) {
    const std::string whole = symbol.substr(0, symbol.find('('));
    const std::string qualified = "android::" + name;
    for (size_t at = whole.find(qualified); at != std::string::npos;
         at = whole.find(qualified, at + 1)) {
        const size_t end = at + qualified.size();
        if (end == whole.size() ||
            !(isalnum(static_cast<unsigned char>(whole[end])) || whole[end] == '_')) {
            return true;
        }
    }
    return false;
}

/** The symbols defined in the object at path that belong to one of the classes. */
std::vector<std::string> symbolsOf(const std::string& path, const std::set<std::string>& classes) {
    ElfDynamic elf;
    std::string error;
    EXPECT_TRUE(readElfDynamic(path, &elf, &error)) << error;
    std::vector<std::string> found;
    for (const std::string& symbol : elf.defined) {
        int status = 0;
        char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
        const std::string name = status == 0 ? text : symbol;
        free(text);
        for (const std::string& c : classes) {
            if (names(name, c)) found.push_back(name);
        }
    }
    return found;
}

TEST(ClientLibrary, DefinesNoServiceRegistryOrSettingsSymbol) {
    const std::set<std::string> classes = serviceClasses();
    for (const char* expected : {"Tonvale", "MemManager", "SettingsStore", "SettingsSaver"}) {
        ASSERT_EQ(1u, classes.count(expected)) << expected;
    }
    for (const std::string& symbol : symbolsOf(TONVALE_CLIENT_PATH, classes)) {
        ADD_FAILURE() << "libtonvaleclient defines " << symbol;
    }
    EXPECT_GT(symbolsOf(TONVALE_CLIENT_PATH, {"TrackGain", "TonvaleHolder", "ITonvale"}).size(),
              10u);
    EXPECT_GT(symbolsOf(TONVALE_CORE_PATH, classes).size(), 100u) << "the check finds nothing";
    EXPECT_FALSE(names("android::TonvaleHolder::get(unsigned int*)", "Tonvale"));
    EXPECT_TRUE(names("android::sp<android::Tonvale>::~sp()", "Tonvale"));
}

}  // namespace
}  // namespace tonvale_test
