/*
 * IMemoryHeap and IMemory with their Bn and Bp halves, in libbinder's layout:
 *   IMemoryHeap HEAP_ID  -> reply: fd, int32 size, int32 flags, int32 offset
 *   IMemory GET_MEMORY   -> reply: heap binder, int32 offset, int32 size
 * A proxy heap maps the received fd lazily, MAP_SHARED, read/write unless the heap is
 * READ_ONLY, so writes on either side are seen by the other without a call.
 */
#include <binder/IMemory.h>
#include <binder/Parcel.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace android {

namespace {

enum {
    HEAP_ID = IBinder::FIRST_CALL_TRANSACTION,
};

enum {
    GET_MEMORY = IBinder::FIRST_CALL_TRANSACTION,
};

}  // namespace

class BpMemoryHeap : public BpInterface<IMemoryHeap> {
public:
    explicit BpMemoryHeap(const sp<IBinder>& impl);
    ~BpMemoryHeap() override;

    int getHeapID() const override;
    void* getBase() const override;
    size_t getSize() const override;
    uint32_t getFlags() const override;
    off_t getOffset() const override;

private:
    void assertMapped() const;

    mutable std::mutex mLock;
    mutable bool mQueried = false;
    mutable int mHeapId = -1;
    mutable void* mBase = MAP_FAILED;
    mutable size_t mSize = 0;
    mutable uint32_t mFlags = 0;
    mutable off_t mOffset = 0;
};

class BpMemory : public BpInterface<IMemory> {
public:
    explicit BpMemory(const sp<IBinder>& impl);
    ~BpMemory() override;

    sp<IMemoryHeap> getMemory(ssize_t* offset = nullptr, size_t* size = nullptr) const override;

private:
    mutable std::mutex mLock;
    mutable sp<IMemoryHeap> mHeap;
    mutable ssize_t mOffset = 0;
    mutable size_t mSize = 0;
};

// ---------------------------------------------------------------------------------------------

void* IMemory::fastPointer(const sp<IBinder>& binder, ssize_t offset) const {
    sp<IMemoryHeap> heap = interface_cast<IMemoryHeap>(binder);
    void* const base = heap != nullptr ? heap->base() : MAP_FAILED;
    if (base == MAP_FAILED) return nullptr;
    return static_cast<char*>(base) + offset;
}

void* IMemory::unsecurePointer() const {
    ssize_t offset = 0;
    sp<IMemoryHeap> heap = getMemory(&offset);
    void* const base = heap != nullptr ? heap->base() : MAP_FAILED;
    if (base == MAP_FAILED || base == nullptr) return nullptr;
    return static_cast<char*>(base) + offset;
}

void* IMemory::pointer() const {
    return unsecurePointer();
}

size_t IMemory::size() const {
    size_t size = 0;
    getMemory(nullptr, &size);
    return size;
}

ssize_t IMemory::offset() const {
    ssize_t offset = 0;
    getMemory(&offset);
    return offset;
}

// ---------------------------------------------------------------------------------------------

BpMemory::BpMemory(const sp<IBinder>& impl) : BpInterface<IMemory>(impl) {}

BpMemory::~BpMemory() {}

sp<IMemoryHeap> BpMemory::getMemory(ssize_t* offset, size_t* size) const {
    std::lock_guard<std::mutex> lock(mLock);
    if (mHeap == nullptr) {
        Parcel data, reply;
        data.writeInterfaceToken(IMemory::getInterfaceDescriptor());
        if (remote()->transact(GET_MEMORY, data, &reply) == NO_ERROR) {
            sp<IBinder> heap = reply.readStrongBinder();
            const int32_t o = reply.readInt32();
            const int32_t s = reply.readInt32();
            if (heap != nullptr) {
                mHeap = interface_cast<IMemoryHeap>(heap);
                if (mHeap != nullptr) {
                    // A range outside the heap would let pointer() reach past the mapping.
                    const size_t heapSize = mHeap->getSize();
                    if (o >= 0 && s >= 0 && static_cast<size_t>(s) <= heapSize &&
                        static_cast<size_t>(o) <= heapSize - static_cast<size_t>(s)) {
                        mOffset = o;
                        mSize = static_cast<size_t>(s);
                    } else {
                        mOffset = 0;
                        mSize = 0;
                    }
                }
            }
        }
    }
    if (offset) *offset = mOffset;
    if (size) *size = mSize;
    return mHeap;
}

IMPLEMENT_META_INTERFACE(Memory, "android.utils.IMemory");

BnMemory::BnMemory() {}

BnMemory::~BnMemory() {}

status_t BnMemory::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    switch (code) {
        case GET_MEMORY: {
            CHECK_INTERFACE(IMemory, data, reply);
            if (reply == nullptr) return BAD_VALUE;
            ssize_t offset = 0;
            size_t size = 0;
            reply->writeStrongBinder(IInterface::asBinder(getMemory(&offset, &size)));
            reply->writeInt32(static_cast<int32_t>(offset));
            reply->writeInt32(static_cast<int32_t>(size));
            return NO_ERROR;
        }
        default:
            return BBinder::onTransact(code, data, reply, flags);
    }
}

// ---------------------------------------------------------------------------------------------

BpMemoryHeap::BpMemoryHeap(const sp<IBinder>& impl) : BpInterface<IMemoryHeap>(impl) {}

BpMemoryHeap::~BpMemoryHeap() {
    if (mHeapId >= 0) {
        if (mBase != MAP_FAILED) munmap(mBase, mSize);
        close(mHeapId);
    }
}

void BpMemoryHeap::assertMapped() const {
    std::lock_guard<std::mutex> lock(mLock);
    if (mQueried) return;
    mQueried = true;
    Parcel data, reply;
    data.writeInterfaceToken(IMemoryHeap::getInterfaceDescriptor());
    if (remote()->transact(HEAP_ID, data, &reply) != NO_ERROR) return;
    const int parcelFd = reply.readFileDescriptor();
    const int32_t size = reply.readInt32();
    const uint32_t flags = reply.readUint32();
    const int32_t offset = reply.readInt32();
    if (parcelFd < 0 || size <= 0 || offset < 0) return;
    // The fd belongs to the reply; keep a copy of our own.
    const int fd = fcntl(parcelFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return;
    // Never map past the end of the file: touching such pages would raise SIGBUS.
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        (S_ISREG(st.st_mode) && static_cast<off_t>(offset) + size > st.st_size)) {
        close(fd);
        return;
    }
    const int prot = PROT_READ | ((flags & READ_ONLY) ? 0 : PROT_WRITE);
    void* base = mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, fd, offset);
    if (base == MAP_FAILED) {
        close(fd);
        return;
    }
    mHeapId = fd;
    mBase = base;
    mSize = static_cast<size_t>(size);
    mFlags = flags;
    mOffset = offset;
}

int BpMemoryHeap::getHeapID() const {
    assertMapped();
    return mHeapId;
}

void* BpMemoryHeap::getBase() const {
    assertMapped();
    return mBase;
}

size_t BpMemoryHeap::getSize() const {
    assertMapped();
    return mSize;
}

uint32_t BpMemoryHeap::getFlags() const {
    assertMapped();
    return mFlags;
}

off_t BpMemoryHeap::getOffset() const {
    assertMapped();
    return mOffset;
}

IMPLEMENT_META_INTERFACE(MemoryHeap, "android.utils.IMemoryHeap");

BnMemoryHeap::BnMemoryHeap() {}

BnMemoryHeap::~BnMemoryHeap() {}

status_t BnMemoryHeap::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    switch (code) {
        case HEAP_ID: {
            CHECK_INTERFACE(IMemoryHeap, data, reply);
            if (reply == nullptr) return BAD_VALUE;
            const int fd = getHeapID();
            if (fd < 0) return BAD_VALUE;
            reply->writeFileDescriptor(fd);
            reply->writeInt32(static_cast<int32_t>(getSize()));
            reply->writeUint32(getFlags());
            reply->writeInt32(static_cast<int32_t>(getOffset()));
            return NO_ERROR;
        }
        default:
            return BBinder::onTransact(code, data, reply, flags);
    }
}

}  // namespace android
