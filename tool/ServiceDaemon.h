#pragma once

#include <string>

namespace android {

/** `tonvale --service`: the single-instance check, detaching, publishing and serving. */
class ServiceDaemon {
public:
    /** The process listing of the single-instance check, one line per matching process. */
    static const char kListingCommand[];

    /** Runs the --service branch; returns only when no daemon was started. */
    static int run(int argc, char** argv);

    /** True when another daemon is taken to be running. */
    static bool already_running();

    /** Everything cmd wrote to standard output, or "Execute error" when it cannot start. */
    static std::string runcmd(std::string cmd);

    /**
     * The decision on a listing: true (running) unless its first listed process id is ownPid.
     * An empty listing counts as running.
     */
    static bool listingShowsOtherDaemon(const std::string& listing, int ownPid);
};

}  // namespace android
