#pragma once

#include <utils/Errors.h>

#include <string>

namespace android {

/**
 * The tonvale command line: one operation per invocation, chosen by argv[1].
 * Results go to standard output; exit status 0, 10 for incomplete parameters, 1 on failure.
 */
class CommandLine {
public:
    static constexpr int EXIT_OK = 0;
    static constexpr int EXIT_FAILED = 1;
    static constexpr int EXIT_INCOMPLETE = 10;

    /** The usage text: 1091 bytes, then the --watch line. */
    static const char kUsage[];
    /** Printed before the usage text when values are missing or malformed. */
    static const char kIncomplete[];

    /** Runs the invocation and returns its exit status. */
    static int run(int argc, char** argv);

    /** Loose flag: true exactly for "true". */
    static bool looseFlag(const char* value);
    /** Strict flag: "true" or "false"; false when it is neither. */
    static bool strictFlag(const char* value, bool* flag);

private:
    static int printIncomplete();
    /** Prints a result line, or the reason the call failed on stderr; the exit status. */
    static int textResult(const std::string& text);
    /**
     * Maps a setting's result to the exit status, with one line on stderr for a failure:
     * refused for BAD_VALUE, and for a save that failed, the settings file it rewrites.
     */
    static int intResult(int result, const char* refused, const std::string& file = "");
    /** Says why a call did not reach its result; EXIT_FAILED. */
    static int callFailed(status_t call);
    /** A status in words. */
    static std::string describe(status_t status);
    /** Whether a name can be sent; says why not on stderr. */
    static bool checkName(const char* name);
    /** Path of a settings file as the service writes it. */
    static std::string settingsFile(const char* name);
};

}  // namespace android
