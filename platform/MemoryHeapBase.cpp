/*
 * Shared-memory heap: an ashmem region from libcutils (on the host a deleted file), or a
 * memfd when that fails, mapped MAP_SHARED. Sizes are rounded up to whole pages; a heap that
 * could not be created has getHeapID() < 0 and no mapping.
 */
#include <binder/MemoryHeapBase.h>
#include <cutils/ashmem.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace android {

namespace {

/** Rounds *size up to whole pages; false when that would overflow. */
bool roundToPages(size_t* size) {
    const size_t pagesize = static_cast<size_t>(getpagesize());
    if (*size > SIZE_MAX - pagesize) return false;
    *size = (*size + pagesize - 1) & ~(pagesize - 1);
    return true;
}

int createRegion(const char* name, size_t size) {
    int fd = ashmem_create_region(name, size);
    if (fd >= 0) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    fd = static_cast<int>(syscall(SYS_memfd_create, name, 1u /* MFD_CLOEXEC */));
    if (fd < 0) return -1;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

MemoryHeapBase::MemoryHeapBase()
    : mFD(-1),
      mSize(0),
      mBase(MAP_FAILED),
      mFlags(0),
      mDevice(nullptr),
      mNeedUnmap(false),
      mOffset(0) {}

MemoryHeapBase::MemoryHeapBase(size_t size, uint32_t flags, char const* name)
    : mFD(-1),
      mSize(0),
      mBase(MAP_FAILED),
      mFlags(flags),
      mDevice(nullptr),
      mNeedUnmap(false),
      mOffset(0) {
    if (size == 0 || size > static_cast<size_t>(INT32_MAX) || !roundToPages(&size)) return;
    const int fd = createRegion(name == nullptr ? "MemoryHeapBase" : name, size);
    if (fd < 0) return;
    if (mapfd(fd, size) == NO_ERROR && (flags & READ_ONLY)) {
        ashmem_set_prot_region(fd, PROT_READ);
    }
}

MemoryHeapBase::MemoryHeapBase(const char* device, size_t size, uint32_t flags)
    : mFD(-1),
      mSize(0),
      mBase(MAP_FAILED),
      mFlags(flags),
      mDevice(nullptr),
      mNeedUnmap(false),
      mOffset(0) {
    int open_flags = O_RDWR | O_CLOEXEC;
    if (flags & NO_CACHING) open_flags |= O_SYNC;
    const int fd = open(device, open_flags);
    if (fd < 0) return;
    if (!roundToPages(&size)) {
        close(fd);
        return;
    }
    if (mapfd(fd, size) == NO_ERROR) mDevice = device;
}

MemoryHeapBase::MemoryHeapBase(int fd, size_t size, uint32_t flags, off_t offset)
    : mFD(-1),
      mSize(0),
      mBase(MAP_FAILED),
      mFlags(flags),
      mDevice(nullptr),
      mNeedUnmap(false),
      mOffset(0) {
    if (!roundToPages(&size)) return;
    const int dupFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) return;
    mapfd(dupFd, size, offset);
}

status_t MemoryHeapBase::init(int fd, void* base, size_t size, int flags, const char* device) {
    if (mFD != -1) return INVALID_OPERATION;
    mFD = fd;
    mBase = base;
    mSize = size;
    mFlags = static_cast<uint32_t>(flags);
    mDevice = device;
    return NO_ERROR;
}

status_t MemoryHeapBase::mapfd(int fd, size_t size, off_t offset) {
    if (size == 0) {
        struct stat sb;
        if (fstat(fd, &sb) == 0 && sb.st_size > 0) size = static_cast<size_t>(sb.st_size);
        if (size == 0) {
            close(fd);
            return BAD_VALUE;
        }
    }
    if ((mFlags & DONT_MAP_LOCALLY) == 0) {
        void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (base == MAP_FAILED) {
            const status_t err = -errno;
            close(fd);
            return err;
        }
        mBase = base;
        mNeedUnmap = true;
    } else {
        mBase = nullptr;
        mNeedUnmap = false;
    }
    mFD = fd;
    mSize = size;
    mOffset = offset;
    return NO_ERROR;
}

MemoryHeapBase::~MemoryHeapBase() {
    dispose();
}

void MemoryHeapBase::dispose() {
    const int fd = mFD;
    mFD = -1;
    if (fd >= 0) {
        if (mNeedUnmap) munmap(mBase, mSize);
        mBase = nullptr;
        mSize = 0;
        close(fd);
    }
}

int MemoryHeapBase::getHeapID() const {
    return mFD;
}

void* MemoryHeapBase::getBase() const {
    return mBase;
}

size_t MemoryHeapBase::getSize() const {
    return mSize;
}

uint32_t MemoryHeapBase::getFlags() const {
    return mFlags;
}

const char* MemoryHeapBase::getDevice() const {
    return mDevice;
}

off_t MemoryHeapBase::getOffset() const {
    return mOffset;
}

}  // namespace android
