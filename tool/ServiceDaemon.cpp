#include "tool/ServiceDaemon.h"

#include <binder/BinderService.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "service/Tonvale.h"
#include "utils/Utils.h"

namespace android {

#ifdef __ANDROID__
const char ServiceDaemon::kListingCommand[] =
    "ps -A -o PID -o CMDLINE | grep -v \"PID NAME\" | grep \"tonvale --service\" | grep -v "
    "\"grep\"";
#else
// procps' ps rejects these options; toybox's ps is Android's own and prints the same columns.
const char ServiceDaemon::kListingCommand[] =
    "toybox ps -A -o PID -o CMDLINE | grep -v \"PID NAME\" | grep \"tonvale --service\" | "
    "grep -v \"grep\"";
#endif

std::string ServiceDaemon::runcmd(std::string cmd) {
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        puts("popen error!");
        return "Execute error";
    }
    std::string result;
    char buf[256];
    while (fgets(buf, sizeof(buf), pipe) != nullptr) result.append(buf, strlen(buf));
    pclose(pipe);
    return result;
}

bool ServiceDaemon::listingShowsOtherDaemon(const std::string& listing, int ownPid) {
    std::string trimmed = Utils::StringProcess::trimStr(listing);
    std::vector<std::string> pieces = Utils::StringProcess::split(trimmed, " ");
    return pieces[0] != Utils::Caster::numToString<int>(ownPid);
}

bool ServiceDaemon::already_running() {
    const int self = getpid();
    return listingShowsOtherDaemon(runcmd(kListingCommand), self);
}

int ServiceDaemon::run(int argc, char** argv) {
    const bool force = argc > 2 && strcmp(argv[2], "--force") == 0;
    if (!force && already_running()) {
        puts("Tonvale native service is running, do not run multi instance");
        return 0;
    }
    if (daemon(0, 0) < 0) {
        perror("Tonvale Service Daemon creation error...\n");
        exit(1);
    }
    BinderService<Tonvale>::publish(false, IServiceManager::DUMP_FLAG_PRIORITY_DEFAULT);
    ProcessState::self()->startThreadPool();
    IPCThreadState::self()->joinThreadPool(true);
    return 0;
}

}  // namespace android
