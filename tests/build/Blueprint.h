#pragma once

#include <map>
#include <string>
#include <vector>

namespace tonvale_test {

/**
 * An Android.bp as Debian's Blueprint tools read it: bpfmt must accept it unchanged (its syntax
 * and its format), and mini-soong's parser gives its modules (tests/build/bp_modules.py).
 */
class Blueprint {
public:
    struct Module {
        std::string type;
        /** Every value by property; nested properties as "target.android.cflags". */
        std::map<std::string, std::vector<std::string>> properties;

        /** The values of a list property; empty when absent. */
        std::vector<std::string> list(const std::string& property) const;
        /** A single-valued property; "" when absent. */
        std::string value(const std::string& property) const;
    };

    /** Reads path; ok() is false and error() says which tool refused it and why. */
    explicit Blueprint(const std::string& path);

    bool ok() const { return mError.empty(); }
    const std::string& error() const { return mError; }
    const std::vector<Module>& modules() const { return mModules; }
    /** The values of property in every module, in order. */
    std::vector<std::string> values(const std::string& property) const;

private:
    std::vector<Module> mModules;
    std::string mError;
};

}  // namespace tonvale_test
