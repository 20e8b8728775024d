#pragma once

#include <cutils/compiler.h>
#include <sys/types.h>

#include <vector>

namespace android {

/**
 * Who is calling the service, and what that caller may do. The stub and the service ask this
 * object rather than the platform, so tests can stand in for any caller.
 */
class ANDROID_API Access {
public:
    struct CallingContext {
        pid_t pid;
        uid_t uid;
    };

    /** What a uid may do. */
    enum class Role {
        /** Everything: the mixer's blocks of any process, every setting and report. */
        SYSTEM,
        /** Every setting, report and dump, as the platform's shell may; blocks as an app. */
        SHELL,
        /** Blocks of its own pid within the caps, and the reports that name no process. */
        APP,
    };

    /** The uids of each role beside APP, which takes every other uid. */
    struct UidRoles {
        std::vector<uid_t> system;
        std::vector<uid_t> shell;

        /**
         * Android's: root, system (1000), audioserver (1041) and the service's own uid are
         * SYSTEM; shell (2000) is SHELL.
         */
        static UidRoles android(uid_t self);
        /** A Linux host's: root and the service's own uid are SYSTEM; there is no shell uid. */
        static UidRoles host(uid_t self);
        /** The table of the platform this build runs on, for a service running as self. */
        static UidRoles forThisBuild(uid_t self);

        Role roleOf(uid_t uid) const;
    };

    /** The platform's table for this process's uid. */
    Access();
    explicit Access(UidRoles roles);
    virtual ~Access();

    /** The sender of the transaction this thread runs; this process itself outside one. */
    virtual CallingContext getCallingContext();

    Role roleOf(uid_t uid) const { return mRoles.roleOf(uid); }

    /** SYSTEM: gets the mixer's blocks and is not counted against the apps' caps. */
    bool isPrivileged(const CallingContext& context) const {
        return roleOf(context.uid) == Role::SYSTEM;
    }
    /** SYSTEM or SHELL: may change settings and read every report. */
    bool mayOperate(const CallingContext& context) const {
        return roleOf(context.uid) != Role::APP;
    }

private:
    const UidRoles mRoles;
};

}  // namespace android
