#pragma once

#include <binder/IMemory.h>
#include <stddef.h>
#include <utils/Errors.h>
#include <utils/StrongPointer.h>

#include <memory>

#include "registry/tnvl_cblk.h"

namespace android {

/**
 * One control block as this process sees it: mapped from the memory the service handed out,
 * or memory the caller keeps.
 *
 * map() makes a mapping of this object's own and keeps no binder reference, so destroying a
 * BlockMap is one munmap() and never a binder call or a reference dropped towards the service:
 * the last owner may be on any thread, the mixer thread included. map() itself talks to the
 * memory's owner and belongs to the control side.
 */
class BlockMap {
public:
    /**
     * Maps the block that memory names. BAD_VALUE when there is no memory, it is smaller than
     * a block, lies outside its heap or file, or cannot be mapped.
     */
    [[nodiscard]] static status_t map(const sp<IMemory>& memory, std::unique_ptr<BlockMap>* out);

    /** A block in memory the caller keeps mapped for this object's life. */
    explicit BlockMap(tnvl_cblk* block) : mBlock(block), mWritable(true) {}
    ~BlockMap();

    BlockMap(const BlockMap&) = delete;
    BlockMap& operator=(const BlockMap&) = delete;

    tnvl_cblk* block() const { return mBlock; }
    /** False for a heap the service shares read-only: the active flag cannot be written. */
    bool writable() const { return mWritable; }

private:
    BlockMap(void* base, size_t length, tnvl_cblk* block, bool writable)
        : mBase(base), mLength(length), mBlock(block), mWritable(writable) {}

    void* const mBase = nullptr;  // the mapping to undo, if this object made one
    const size_t mLength = 0;
    tnvl_cblk* const mBlock;
    const bool mWritable;
};

}  // namespace android
