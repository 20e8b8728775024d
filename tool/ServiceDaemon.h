#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace android {

/**
 * `tonvale --service`: makes sure this is the device's only daemon, detaches, publishes the
 * service and serves. On the host a device is its rendezvous directory ($HOSTBINDER_DIR).
 *
 * One daemon per device: the daemon holds an exclusive lock on DeviceLayout::lockPath() for
 * its whole life (taken before detaching, inherited across daemon()). The process listing also
 * counts detached `tonvale --service` processes that do not hold the lock (started with --force).
 *
 * The invoking process waits until the daemon reports that it is registered and serving, and
 * returns 0 only then; otherwise it prints the reason on stderr and returns 1.
 */
class ServiceDaemon {
public:
    /** Printed (on stdout, exit status 0) when another daemon serves this device. */
    static const char kRunningMessage[];

    /** Runs the --service branch; returns only in the invoking process (or when serving ends). */
    static int run(int argc, char** argv);

    /**
     * Reads a process listing (DeviceLayout::listingCommand's output). On success fills daemons
     * with the ids of the detached (session leader) processes other than self whose own program is
     * tonvale run with --service; wrappers that merely carry those words on their command line do
     * not count. A listing without its header or without a line for self is refused (false, with the
     * reason in error): it cannot tell whether a daemon runs.
     */
    static bool parseListing(const std::string& listing, pid_t self, std::vector<pid_t>* daemons,
                             std::string* error);

    /**
     * Runs cmd with the shell and collects its standard output. False, with the reason in error,
     * when it cannot be started or does not exit with status 0.
     */
    static bool runcmd(const std::string& cmd, std::string* out, std::string* error);
};

}  // namespace android
