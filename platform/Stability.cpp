/*
 * Stability levels: the host has one partition, so every object is of the local level and
 * the level travels in parcels only to keep libbinder's layout.
 */
#include <binder/Stability.h>

namespace android {
namespace internal {

void Stability::markCompilationUnit(IBinder* /*binder*/) {}

void Stability::markVintf(IBinder* /*binder*/) {}

void Stability::markVndk(IBinder* /*binder*/) {}

void Stability::tryMarkCompilationUnit(IBinder* /*binder*/) {}

bool Stability::requiresVintfDeclaration(const sp<IBinder>& /*binder*/) {
    return false;
}

status_t Stability::set(IBinder* /*binder*/, int32_t /*stability*/, bool /*log*/) {
    return OK;
}

Stability::Level Stability::get(IBinder* binder) {
    return binder == nullptr ? Level::UNDECLARED : kLocalStability;
}

bool Stability::check(int32_t provided, Level required) {
    return (provided & required) == required;
}

bool Stability::isDeclaredStability(int32_t stability) {
    return stability == VENDOR || stability == SYSTEM || stability == VINTF;
}

}  // namespace internal
}  // namespace android
