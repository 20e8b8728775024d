#include "build/Blueprint.h"

#include <sstream>

#include "common/Process.h"

namespace tonvale_test {

namespace {

const char kBpfmt[] = "/usr/bin/bpfmt";
const char kPython[] = "/usr/bin/python3";  // Debian's, where mini-soong is installed
const char kReader[] = TONVALE_SOURCE_DIR "/tests/build/bp_modules.py";

std::string refusal(const char* tool, const RunResult& run) {
    return std::string(tool) + " refused it (exit " + std::to_string(run.status) + "): " + run.err +
           run.out + " (scripts/install-deps.sh installs blueprint-tools, mini-soong)";
}

}  // namespace

std::vector<std::string> Blueprint::Module::list(const std::string& property) const {
    auto found = properties.find(property);
    return found == properties.end() ? std::vector<std::string>() : found->second;
}

std::string Blueprint::Module::value(const std::string& property) const {
    auto found = properties.find(property);
    return found == properties.end() || found->second.size() != 1 ? "" : found->second[0];
}

Blueprint::Blueprint(const std::string& path) {
    const RunResult format = runProgram({kBpfmt, "-l", path});
    if (format.status != 0) {
        mError = refusal("bpfmt", format);
        return;
    }
    if (!format.out.empty()) {
        mError = path + " is not in bpfmt's format (bpfmt -w " + path + ")";
        return;
    }
    const RunResult parse = runProgram({kPython, kReader, path});
    if (parse.status != 0) {
        mError = refusal("mini-soong's parser", parse);
        return;
    }
    std::istringstream lines(parse.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t')) fields.push_back(field);
        if (fields.size() == 2 && fields[0] == "M") {
            mModules.push_back({fields[1], {}});
        } else if ((fields.size() == 2 || fields.size() == 3) && fields[0] == "P" &&
                   !mModules.empty()) {
            // An empty value leaves no third field.
            mModules.back().properties[fields[1]].push_back(fields.size() == 3 ? fields[2] : "");
        } else {
            mError = "unreadable line from " + std::string(kReader) + ": " + line;
            return;
        }
    }
}

std::vector<std::string> Blueprint::values(const std::string& property) const {
    std::vector<std::string> out;
    for (const Module& m : mModules) {
        for (const std::string& v : m.list(property)) out.push_back(v);
    }
    return out;
}

}  // namespace tonvale_test
