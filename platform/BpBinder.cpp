#include <binder/BpBinder.h>

namespace android {

BpBinder::ObjectManager::ObjectManager() {}

BpBinder::ObjectManager::~ObjectManager() {
    kill();
}

void BpBinder::ObjectManager::attach(const void* objectID, void* object, void* cleanupCookie,
                                     IBinder::object_cleanup_func func) {
    entry_t e;
    e.object = object;
    e.cleanupCookie = cleanupCookie;
    e.func = func;
    // An object already attached under this id stays, as in libbinder.
    if (mObjects.indexOfKey(objectID) >= 0) return;
    mObjects.add(objectID, e);
}

void* BpBinder::ObjectManager::find(const void* objectID) const {
    const ssize_t i = mObjects.indexOfKey(objectID);
    if (i < 0) return nullptr;
    return mObjects.valueAt(i).object;
}

void BpBinder::ObjectManager::detach(const void* objectID) {
    mObjects.removeItem(objectID);
}

void BpBinder::ObjectManager::kill() {
    const size_t N = mObjects.size();
    for (size_t i = 0; i < N; i++) {
        const entry_t& e = mObjects.valueAt(i);
        if (e.func != nullptr) e.func(mObjects.keyAt(i), e.object, e.cleanupCookie);
    }
    mObjects.clear();
}

}  // namespace android
