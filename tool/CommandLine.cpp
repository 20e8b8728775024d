#include "tool/CommandLine.h"

#include <errno.h>
#include <string.h>

#include <iostream>

#include "interface/TonvaleClient.h"
#include "service/SettingsStore.h"
#include "service/Tonvale.h"
#include "tool/ServiceDaemon.h"
#include "utils/Utf8.h"
#include "utils/Utils.h"

namespace android {

const char CommandLine::kUsage[] =
    "Usage:(All not 'get' type Api will require root permission)\n"
    "    [-h|-?]                           show this information\n"
    "    --status                          dump current server status\n"
    "    --set-profile [profile]           set profile\n"
    "    --unset-profile [process]         unset for profile\n"
    "    --switches                        show default silent state\n"
    "    --def-silent [true|false]         set default silent state\n"
    "    --def-profile                     show default profile(will be override by "
    "default silent option)\n"
    "    --def-profile [profile(nopn)]     set default profile\n"
    "    --weak-key [true|false]           set weak key flag\n"
    "    --mute [process]                  mute specified process\n"
    "    --unmute [process]                unmute specified process\n"
    "    --clear                           clear all settings(CAUTION!)\n"
    "    --elf-info                        show ELF info\n"
    "\n"
    "Options:\n"
    "   profile:   [process_name] [l_volume] [r_volume] [final_vol] "
    "[split_control(true|false)] [isweakkey]' sample as 'process 0.01 0.01 0.01 true "
    "false'\n"
    "   process:   [the accurate process name] [isweakkey]\n";

const char CommandLine::kIncomplete[] = "Incomplete parameter!\n\n";

namespace {

float volume(const char* value) {
    return Utils::Caster::stringToNum<float>(value);
}

// Reasons for a refused setting, by the kind of name it carries.
const char kProfileRefused[] =
    "tonvale: refused: a profile name must have at least 3 bytes and no line break, NUL or '|', "
    "and the volumes must be numbers from 0 to 16";
const char kMuteRefused[] =
    "tonvale: refused: a name to mute must have at least 3 bytes and no line break or NUL, nor "
    "start or end with white space";
const char kValueRefused[] = "tonvale: refused: the volumes must be numbers from 0 to 16";
const char kRefused[] = "tonvale: refused by the service (Invalid argument)";

}  // namespace

bool CommandLine::looseFlag(const char* value) {
    return strcmp(value, "true") == 0;
}

bool CommandLine::strictFlag(const char* value, bool* flag) {
    if (strcmp(value, "true") == 0) {
        *flag = true;
        return true;
    }
    if (strcmp(value, "false") == 0) {
        *flag = false;
        return true;
    }
    return false;
}

int CommandLine::printIncomplete() {
    std::cout << kIncomplete << kUsage;
    return EXIT_INCOMPLETE;
}

int CommandLine::textResult(const std::string& text) {
    const status_t call = lastCallStatus();
    if (call == NAME_NOT_FOUND) {
        std::cout << text << std::endl;  // after the lookup's own messages
        return EXIT_FAILED;
    }
    if (call != NO_ERROR) return callFailed(call);
    std::cout << text << std::endl;
    return EXIT_OK;
}

int CommandLine::callFailed(status_t call) {
    if (call == PERMISSION_DENIED) {
        std::cerr << "Permission denied: this operation needs root" << std::endl;
    } else if (call != NAME_NOT_FOUND) {  // the lookup already said so
        std::cerr << "tonvale: the call to the service failed (" << describe(call) << ")"
                  << std::endl;
    }
    return EXIT_FAILED;
}

std::string CommandLine::describe(status_t status) {
    switch (status) {
        case FAILED_TRANSACTION:
            return "the transaction failed";
        case UNKNOWN_ERROR:
            return "unknown error";
        case FDS_NOT_ALLOWED:
            return "descriptors not allowed";
        case UNEXPECTED_NULL:
            return "unexpected null";
        case -EMSGSIZE:
            return "the report is larger than one transaction carries";
        default:
            break;
    }
    if (status < 0 && status > -4096) return strerror(-status);
    return "status " + std::to_string(status);
}

bool CommandLine::checkName(const char* name) {
    if (isValidUtf8(name)) return true;
    std::cerr << "tonvale: the name is not valid UTF-8" << std::endl;
    return false;
}

int CommandLine::intResult(int result, const char* refused, const std::string& file) {
    const status_t call = lastCallStatus();
    if (call != NO_ERROR) return callFailed(call);
    if (result == BAD_VALUE) {
        std::cerr << refused << std::endl;
        return EXIT_FAILED;
    }
    if (result < 0 && !file.empty()) {
        // The service took the change back: nothing of it holds.
        std::cerr << "Settings not saved: " << file << ": " << describe(result) << std::endl;
        return EXIT_FAILED;
    }
    if (result < 0) {
        std::cerr << "tonvale: refused by the service (" << describe(result) << ")" << std::endl;
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

std::string CommandLine::settingsFile(const char* name) {
    return SettingsStore::defaultDirectory() + name;
}

int CommandLine::run(int argc, char** argv) {
    if (argc < 2) return printIncomplete();
    const std::string option = argv[1];
    // Value k is argv[k + 1]; the vector ends with a null entry.
    auto has = [argc](int values) { return argc >= values + 2; };

    if (option == "-h" || option == "-?") {
        std::cout << kUsage;
        return EXIT_OK;
    }
    if (option == "--status") return textResult(getStatus());
    if (option == "--list-muted") return textResult(listMuted());
    if (option == "--set-profile") {
        if (argc < 8) return printIncomplete();
        if (!checkName(argv[2])) return EXIT_FAILED;
        return intResult(setProfile(argv[2], volume(argv[3]), volume(argv[4]), volume(argv[5]),
                                    looseFlag(argv[6]), looseFlag(argv[7])),
                         kProfileRefused, settingsFile(Tonvale::profileFile(looseFlag(argv[7]))));
    }
    if (option == "--unset-profile") {
        if (!has(2)) return printIncomplete();
        if (!checkName(argv[2])) return EXIT_FAILED;
        return intResult(unsetProfile(argv[2], looseFlag(argv[3])), kProfileRefused,
                         settingsFile(Tonvale::profileFile(looseFlag(argv[3]))));
    }
    if (option == "--list-profile") return textResult(listProfiles());
    if (option == "--switches") return textResult(getSwitches());
    if (option == "--def-silent") {
        if (!has(1)) return EXIT_OK;
        bool silent = false;
        if (!strictFlag(argv[2], &silent)) return printIncomplete();
        return intResult(setDefaultSilent(silent), kRefused, settingsFile(Tonvale::kSwitchFile));
    }
    if (option == "--def-profile") {
        if (!has(1)) return textResult(getDefaultProfile());
        if (argc < 6) return printIncomplete();
        return intResult(setDefaultProfile(volume(argv[2]), volume(argv[3]), volume(argv[4]),
                                           looseFlag(argv[5])),
                         kValueRefused, settingsFile(Tonvale::kSwitchFile));
    }
    if (option == "--weak-key") {
        bool adjust = false;
        if (!has(1) || !strictFlag(argv[2], &adjust)) return printIncomplete();
        return intResult(setWeakKeyAdjust(adjust), kRefused, settingsFile(Tonvale::kSwitchFile));
    }
    if (option == "--mute" || option == "--unmute") {
        if (!has(2)) return printIncomplete();
        if (!checkName(argv[2])) return EXIT_FAILED;
        bool weak = looseFlag(argv[3]);
        return intResult(option == "--mute" ? mute(argv[2], weak) : unmute(argv[2], weak),
                         kMuteRefused, settingsFile(Tonvale::muteFile(weak)));
    }
    // Clear rewrites all five files; a failure names their directory.
    if (option == "--clear") return intResult(clear(), kRefused, settingsFile(""));
    if (option == "--list-buffers") {
        if (!has(1)) return printIncomplete();
        return textResult(listBuffers(strcmp(argv[2], "1") == 0 ? 1 : 0));
    }
    if (option == "--elf-info") return textResult(getVersion());
    if (option == "--service") return ServiceDaemon::run(argc, argv);
    if (option == "--get-profile") {
        if (!has(2)) return printIncomplete();
        if (!checkName(argv[2])) return EXIT_FAILED;
        return textResult(getProfile(argv[2], looseFlag(argv[3])));
    }
    if (option == "--ovr-status") return textResult(getOvrStatus());

    std::cout << kUsage;
    return EXIT_OK;
}

}  // namespace android
