#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace android {

/**
 * `tonvale --service`: makes sure this is the device's only daemon, publishes the service and
 * serves. One daemon per device: it holds an exclusive lock on the device's lock file
 * (DeviceLayout::lockPath(); on the host a device is its rendezvous directory) for its whole
 * life.
 *
 * `tonvale --service`, as started from a shell, refuses when the process listing shows another
 * detached daemon or the lock is taken (kRunningMessage, status 0); the listing also counts
 * detached daemons that do not hold the lock (started with `--service --force`, which runs
 * beside the lock holder). Otherwise it detaches and returns 0 once the daemon is registered
 * and serving; on failure it prints the reason on stderr and returns 1.
 *
 * `tonvale --service --foreground`, init's command, makes the invoking process the daemon, so
 * that init sees it end, restarts it after a crash and stops it: no listing (init runs one
 * instance; the lock decides against one started by hand), no fork, no readiness report. When
 * the lock is taken it says so once and waits, taking over as soon as the holder ends; exiting
 * instead would have init start it again every few seconds for as long as the holder runs.
 *
 * In both modes SIGTERM or SIGINT stops the daemon cleanly: changes under way are saved or
 * refused, then it exits 0, which releases the lock. Before it makes the service, the daemon
 * raises its descriptor limit as far as it may and, holding the lock, removes every temporary
 * file that a cut-short rewrite left in the settings directory.
 */
class ServiceDaemon {
public:
    /** Printed (on stdout, exit status 0) when another daemon serves this device. */
    static const char kRunningMessage[];

    /** Runs the --service branch; returns the tool's exit status. */
    static int run(int argc, char** argv);

    /**
     * Reads a process listing (the output of DeviceLayout::listingCommand). On success fills
     * daemons with the ids of the detached (session leader) processes other than self whose
     * own program is tonvale run with --service; wrappers that merely carry those words on their
     * command line do not count. A listing without its header or without a line for self is
     * refused (false, with the reason in error): it cannot tell whether a daemon runs.
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
