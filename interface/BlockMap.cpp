#include "interface/BlockMap.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace android {

status_t BlockMap::map(const sp<IMemory>& memory, std::unique_ptr<BlockMap>* out) {
    out->reset();
    if (memory == nullptr) return BAD_VALUE;
    ssize_t offset = 0;
    size_t size = 0;
    const sp<IMemoryHeap> heap = memory->getMemory(&offset, &size);
    if (heap == nullptr || offset < 0 || size < sizeof(tnvl_cblk)) return BAD_VALUE;
    const size_t heapSize = heap->getSize();
    if (static_cast<size_t>(offset) > heapSize || heapSize - offset < sizeof(tnvl_cblk)) {
        return BAD_VALUE;
    }
    // The heap's descriptor stays the heap proxy's; a mapping outlives the descriptor it came
    // from, so nothing is kept open.
    const int fd = heap->getHeapID();
    if (fd < 0 || heap->getOffset() < 0) return BAD_VALUE;
    const uint64_t start = static_cast<uint64_t>(heap->getOffset()) + offset;
    struct stat st;
    if (fstat(fd, &st) != 0) return BAD_VALUE;
    // Touching a page past the end of a file raises SIGBUS; an ashmem region is no file.
    if (S_ISREG(st.st_mode) && start + sizeof(tnvl_cblk) > static_cast<uint64_t>(st.st_size)) {
        return BAD_VALUE;
    }
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t first = start - start % page;
    const size_t length = static_cast<size_t>(start - first) + sizeof(tnvl_cblk);
    const bool writable = (heap->getFlags() & IMemoryHeap::READ_ONLY) == 0;
    void* base = mmap(nullptr, length, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd,
                      static_cast<off_t>(first));
    if (base == MAP_FAILED) return BAD_VALUE;
    char* const at = static_cast<char*>(base) + (start - first);
    if (reinterpret_cast<uintptr_t>(at) % alignof(tnvl_cblk) != 0) {
        munmap(base, length);
        return BAD_VALUE;
    }
    out->reset(new BlockMap(base, length, reinterpret_cast<tnvl_cblk*>(at), writable));
    return NO_ERROR;
}

BlockMap::~BlockMap() {
    if (mBase != nullptr) munmap(mBase, mLength);
}

}  // namespace android
