#pragma once

#include <cutils/compiler.h>
#include <sys/types.h>

namespace android {

/**
 * Who is calling the service, and whether that caller is privileged. The stub and the service
 * ask this object rather than the platform, so tests can stand in for any caller.
 */
class ANDROID_API Access {
public:
    struct CallingContext {
        pid_t pid;
        uid_t uid;
    };

    Access();
    virtual ~Access();

    /** The sender of the transaction this thread runs; this process itself outside one. */
    virtual CallingContext getCallingContext();

    /** Whether a uid may do everything: root, the service's own uid, system and audioserver. */
    virtual bool isPrivilegedUid(uid_t uid);

    bool isPrivileged(const CallingContext& context) { return isPrivilegedUid(context.uid); }
};

}  // namespace android
