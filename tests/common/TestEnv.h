#pragma once

#include <sys/types.h>

#include <set>
#include <string>

namespace tonvale_test {

/** Private root of this test process, removed when the process ends. */
const std::string& testRoot();

/** $ANDROID_DATA of this test process (testRoot()/data). */
std::string androidData();

/** The settings directory under androidData(), with a trailing slash; it exists. */
std::string settingsDir();

/** $HOSTBINDER_DIR of this test process; it exists. */
std::string binderDir();

/** Reads a whole file; "" when it cannot be read. */
std::string readFile(const std::string& path);

/** Writes a whole file, replacing it. Returns false on failure. */
bool writeFile(const std::string& path, const std::string& content);

/** Names of the entries of a directory ("." and ".." left out); empty when it cannot be read. */
std::set<std::string> listDir(const std::string& dir);

/** True when the path exists. */
bool fileExists(const std::string& path);

/**
 * fork() for tests. Under qemu-arm glibc's fork() crashes a dynamically linked child, so
 * 32-bit ARM builds use a raw clone instead; pthread_atfork handlers do not run there.
 */
pid_t forkProcess();

/** Waits for a child and returns its exit status, or -1 when it did not exit normally. */
int waitExit(pid_t pid);

/** testRoot()/name, made and emptied of files, with a trailing slash. */
std::string emptyDir(const std::string& name);

/** Removes every file in the settings directory. */
void clearSettingsDir();

}  // namespace tonvale_test
