// Shared-memory heaps and memory handles inside one process.
#include <binder/IMemory.h>
#include <binder/MemoryBase.h>
#include <binder/MemoryHeapBase.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace android {
namespace {

TEST(MemoryHeapBase, SizeRoundsUpToPagesAndMappingIsShared) {
    const size_t page = static_cast<size_t>(getpagesize());
    sp<MemoryHeapBase> heap = new MemoryHeapBase(28, 0, "TNV Track Heap Base");
    ASSERT_GE(heap->getHeapID(), 0);
    EXPECT_EQ(heap->getSize(), page);
    ASSERT_NE(heap->getBase(), MAP_FAILED);
    ASSERT_NE(heap->getBase(), nullptr);
    // A second mapping of the same fd sees the first one's writes.
    void* other = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, heap->getHeapID(), 0);
    ASSERT_NE(other, MAP_FAILED);
    static_cast<char*>(heap->getBase())[27] = 'z';
    EXPECT_EQ(static_cast<char*>(other)[27], 'z');
    munmap(other, page);

    sp<MemoryHeapBase> big = new MemoryHeapBase(page + 1);
    EXPECT_EQ(big->getSize(), 2 * page);
}

TEST(MemoryHeapBase, ImpossibleSizesGiveNegativeHeapId) {
    sp<MemoryHeapBase> none = new MemoryHeapBase(0, 0, "empty");
    EXPECT_LT(none->getHeapID(), 0);
    sp<MemoryHeapBase> huge = new MemoryHeapBase(SIZE_MAX - 10, 0, "huge");
    EXPECT_LT(huge->getHeapID(), 0);
}

TEST(MemoryHeapBase, DescriptorClosesWithTheHeap) {
    int fd;
    {
        sp<MemoryHeapBase> heap = new MemoryHeapBase(100);
        fd = heap->getHeapID();
        ASSERT_GE(fd, 0);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(MemoryBase, PointerIsBasePlusOffset) {
    sp<MemoryHeapBase> heap = new MemoryHeapBase(4096);
    ASSERT_GE(heap->getHeapID(), 0);
    sp<IMemory> mem = new MemoryBase(heap, 64, 28);
    EXPECT_EQ(mem->pointer(), static_cast<char*>(heap->getBase()) + 64);
    EXPECT_EQ(mem->size(), 28u);
    EXPECT_EQ(mem->offset(), 64);
    ssize_t off = -1;
    size_t size = 0;
    EXPECT_EQ(mem->getMemory(&off, &size), heap);
    EXPECT_EQ(off, 64);
    EXPECT_EQ(size, 28u);
}

TEST(MemoryBase, LocalBinderCastsBackToTheSameObjects) {
    sp<MemoryHeapBase> heap = new MemoryHeapBase(28);
    sp<IMemory> mem = new MemoryBase(heap, 0, 28);
    Parcel p;
    p.writeStrongBinder(IInterface::asBinder(mem));
    p.setDataPosition(0);
    sp<IMemory> back = interface_cast<IMemory>(p.readStrongBinder());
    EXPECT_EQ(back, mem);
    EXPECT_EQ(back->pointer(), heap->getBase());
    EXPECT_EQ(interface_cast<IMemoryHeap>(IInterface::asBinder(heap)), heap);
    EXPECT_EQ(IInterface::asBinder(mem)->getInterfaceDescriptor(),
              String16("android.utils.IMemory"));
}

TEST(MemoryBase, NullHeapGivesNullPointer) {
    sp<IMemory> mem = new MemoryBase(nullptr, 0, 28);
    EXPECT_EQ(mem->pointer(), nullptr);
}

}  // namespace
}  // namespace android
