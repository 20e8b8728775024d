// A volume panel as it would follow the service: it reads the settings once, then keeps its
// rows current from the changes the service announces, with no polling, and reads everything
// again when told it missed some (RESYNC) or when a new daemon comes. It prints its rows after
// each change. Runs until SIGINT or SIGTERM.
//
//   tonvale_panel
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>
#include <utils/String16.h>

#include <map>
#include <mutex>
#include <string>

#include "interface/BnTonvaleListener.h"
#include "interface/ITonvale.h"
#include "utils/Utils.h"

using namespace android;

namespace {

/** One row: a process's or package's profile and mute mark. */
struct Row {
    std::string profile = "default";
    bool muted = false;
};

class Panel : public BnTonvaleListener {
public:
    explicit Panel(const sp<ITonvale>& service) : mService(service) {}

    /** Every row from the service's lists; the listener may already be hearing changes. */
    void load() {
        std::lock_guard<std::mutex> l(mLock);
        mRows.clear();
        for (bool weak : {false, true}) {
            const char* table = weak ? "w_profiles" : "p_profiles";
            for (const std::string& key : keys(mService->listProfiles().string(), table)) {
                mRows[label(key, weak)].profile = mService->getProfile(key, weak).string();
            }
            for (const std::string& key :
                 keys(mService->listMuted().string(), weak ? "w_muted" : "p_muted")) {
                mRows[label(key, weak)].muted = true;
            }
        }
        mDefault = mService->getDefaultProfile().string();
        printRows("loaded");
    }

    status_t onChange(const TonvaleChange& change) override {
        if (change.kind == TonvaleChange::RESYNC) {
            load();
            return NO_ERROR;
        }
        std::lock_guard<std::mutex> l(mLock);
        Row& row = mRows[label(change.key, change.isweakkey)];
        switch (change.kind) {
            case TonvaleChange::PROFILE_SET:
                row.profile = Utils::Caster::volumeToProfileLineStr(change.profile);
                break;
            case TonvaleChange::PROFILE_UNSET:
                row.profile = "default";
                break;
            case TonvaleChange::MUTED:
            case TonvaleChange::UNMUTED:
                row.muted = change.kind == TonvaleChange::MUTED;
                break;
            case TonvaleChange::DEFAULT_PROFILE:
                mDefault = Utils::Caster::volumeToProfileLineStr(change.profile);
                break;
            case TonvaleChange::CLEARED:
                mRows.clear();
                break;
            default:
                break;
        }
        mRows.erase("");  // changes that name no key
        printRows(TonvaleChange::kindName(change.kind));
        return NO_ERROR;
    }

private:
    // The keys of one list in a report: "<table>":"a;b;c".
    static std::vector<std::string> keys(const std::string& report, const std::string& table) {
        const std::string head = "\"" + table + "\":\"";
        const size_t at = report.find(head);
        if (at == std::string::npos) return {};
        const size_t start = at + head.size();
        const std::string list = report.substr(start, report.find('"', start) - start);
        if (list.empty()) return {};
        return Utils::StringProcess::split(list, ";");
    }
    static std::string label(const std::string& key, bool weak) {
        return key.empty() ? "" : (weak ? "package " : "process ") + key;
    }

    void printRows(const char* why) {
        printf("-- %s (default %s)\n", why, mDefault.c_str());
        for (const auto& [name, row] : mRows) {
            printf("   %-40s %-16s%s\n", name.c_str(), row.profile.c_str(),
                   row.muted ? " muted" : "");
        }
        fflush(stdout);
    }

    const sp<ITonvale> mService;
    std::mutex mLock;
    std::map<std::string, Row> mRows;
    std::string mDefault;
};

}  // namespace

int main() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    // The service's calls arrive on the pool's threads.
    ProcessState::self()->startThreadPool();

    sp<ITonvale> service =
        interface_cast<ITonvale>(defaultServiceManager()->checkService(String16("tonvale")));
    if (service == nullptr) {
        fprintf(stderr, "tonvale_panel: no service\n");
        return 1;
    }
    sp<Panel> panel = new Panel(service);
    // Listening first, so that no change falls between the read and the registration.
    const int registered = service->registerListener(panel);
    if (registered != NO_ERROR) {
        fprintf(stderr, "tonvale_panel: the service refused to register the panel (%d)\n",
                registered);
        return 1;
    }
    panel->load();
    int sig = 0;
    sigwait(&stop, &sig);
    service->unregisterListener(panel);
    return 0;
}
