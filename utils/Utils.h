#pragma once

#include <cutils/compiler.h>

#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "utils/tonvale_process_volume.h"

namespace android {
namespace Utils {

/** Text helpers. White space for trimming is exactly " \r\n\t". */
namespace StringProcess {

/** Strips white space at both ends; a text made only of white space comes back unchanged. */
ANDROID_API std::string trimStr(std::string text);

/** Splits at every delimiter; empty pieces are kept and the result is never empty. */
ANDROID_API std::vector<std::string> split(std::string text, std::string delimiter);

/** True when part occurs in text (byte-exact); true for an empty part. */
ANDROID_API bool contains(std::string text, std::string part);

/** Reads a whole file and splits it at "\n"; a missing file gives one empty piece. */
ANDROID_API std::vector<std::string> getPreset(std::string path);

}  // namespace StringProcess

/** Number and record conversions, in the "C" stream formatting. */
namespace Caster {

/** What an output string stream writes for the value (floats: six significant digits). */
template <typename T>
std::string numToString(T value) {
    std::ostringstream out;
    // The files need "C" number text whatever global locale the host program has set.
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

/** One value read with operator>>; 0 where the text holds no number. */
template <typename T>
T stringToNum(const std::string& text) {
    // One stream per thread: making one, and its locale, costs more than the read itself,
    // and a settings file reads hundreds of thousands of numbers at start.
    thread_local std::istringstream in = [] {
        std::istringstream stream;
        stream.imbue(std::locale::classic());
        return stream;
    }();
    in.clear();
    in.str(text);
    T value = T();
    in >> value;
    return value;
}

/** Upper-case hexadecimal as "%X" prints it. */
ANDROID_API std::string int_16toString(int value);

/** The stream's pointer form, 0x followed by lower-case digits. */
ANDROID_API std::string addressToString(const void* address);

/** The four-field profile line: left,right,general,split (1 or 0). */
ANDROID_API std::string volumeToProfileLineStr(tonvale_process_volume_t volume);

/** Reads a profile line; missing fields keep the record defaults. */
ANDROID_API tonvale_process_volume_t paramToVolumeSingleFile(std::string text);

/** Reads the five-field control-command text; missing fields keep the record defaults. */
ANDROID_API tonvale_process_volume_t paramToVolumeControlCmd(std::string text);

/** "MODE_UNDER_SYSTEM" for 0, "UNKNOWN CTL FLAG!!!" for anything else. */
ANDROID_API std::string controlModeFlagsToString(control_mode_flags_t mode);

}  // namespace Caster

/** Whole-file reading and writing. */
namespace IO {

/** The file's text up to each read piece's first NUL; "" when it cannot be opened. */
ANDROID_API std::string readFromFile(std::string path);

/** Creates or empties the file and writes content up to its first NUL. */
ANDROID_API void writeFile(std::string path, std::string content);

}  // namespace IO

/** Process identity. */
namespace ProcessControl {

/** /proc/<pid>/cmdline up to the first NUL: the name the process gives itself. */
ANDROID_API std::string getCmdLine(int pid);

/** The part of a process name before its first ":". */
ANDROID_API std::string extractPackageName(std::string name);

/** What /proc/<pid>/stat says about a process. */
struct ProcessStat {
    /** Field 3: R, S, D, Z (exited, not yet reaped), X, ... */
    char state = 0;
    /** Field 22: clock ticks after boot. With the pid, it names one process. */
    unsigned long long startTime = 0;
};

/**
 * Reads /proc/<pid>/stat into stat. Returns 0, or the errno of what failed: ENOENT when no
 * such entry exists, EMFILE, EACCES, ... and EINVAL for text that does not parse.
 */
[[nodiscard]] ANDROID_API int readProcessStat(int pid, ProcessStat* stat);

/**
 * True only when the kernel says that no process has this id (kill(pid, 0) fails with
 * ESRCH). A check that fails otherwise, or a pid below 1, gives false.
 */
ANDROID_API bool processGone(int pid);

/**
 * A pidfd for the process: close-on-exec, readable once the process has exited. Returns the
 * descriptor or a negative errno: -ESRCH when no such process exists, -ENOSYS when the
 * kernel has no pidfd_open (remembered after the first try), -EMFILE, ...
 */
[[nodiscard]] ANDROID_API int openPidFd(int pid);

}  // namespace ProcessControl

/** Local time as "[YYYY-MM-DD hh:mm:ss]". */
ANDROID_API std::string getTime();

}  // namespace Utils
}  // namespace android
