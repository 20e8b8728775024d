#include "common/TestEnv.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace tonvale_test {

namespace {

std::string makeRoot() {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tonvale-test-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    return templ;
}

}  // namespace

const std::string& testRoot() {
    static const std::string root = makeRoot();
    return root;
}

std::string androidData() {
    return testRoot() + "/data";
}

std::string settingsDir() {
    return androidData() + "/misc/tonvale/";
}

std::string binderDir() {
    return testRoot() + "/binder";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    return static_cast<bool>(out);
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

pid_t forkProcess() {
// glibc's fork() crashes the child under qemu-arm; bionic's fork() is fine on a device.
#if defined(__arm__) && defined(__GLIBC__)
    return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
#else
    return fork();
#endif
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::set<std::string> listDir(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
    return names;
}

std::string emptyDir(const std::string& name) {
    const std::string dir = testRoot() + "/" + name + "/";
    mkdir(dir.c_str(), 0755);
    for (const std::string& entry : listDir(dir)) unlink((dir + entry).c_str());
    return dir;
}

void clearSettingsDir() {
    const std::string dir = settingsDir();
    for (const std::string& name : listDir(dir)) unlink((dir + name).c_str());
}

}  // namespace tonvale_test
