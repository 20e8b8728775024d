#include "registry/HolderBean.h"

namespace android {

HolderBean::HolderBean(int32_t pid, uid_t uid) : WatchedProcess(pid), uid(uid), holdCount(0) {}

HolderBean::~HolderBean() {}

}  // namespace android
