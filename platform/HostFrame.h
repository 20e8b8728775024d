/*
 * Wire format of the host binder transport (one Unix stream socket per connection).
 *
 * Every message is one frame: a 40-byte header in native byte order, then `dataSize` bytes of
 * parcel data padded to 4, then `objectCount` 32-bit offsets of the object records inside the
 * data. File descriptors travel as SCM_RIGHTS with the first bytes of the frame; `fdCount`
 * says how many. A frame is at most kMaxFrameSize bytes (like the driver's 1 MiB buffer) and
 * carries at most kMaxFrameFds descriptors.
 *
 *   TRANSACTION  txId = sender's id, target = receiver's node, code, flags, parcel
 *   REPLY        txId = the transaction's id, code = status_t; parcel empty when status != OK
 *   RELEASE      data = pairs {uint32 node, uint32 count}: the sender drops `count` references
 *                it had received to each node of the receiver
 *
 * Object records are the 24-byte flat_binder_object of HostObjects.h with a wire type:
 *   WIRE_NULL    a null binder
 *   WIRE_BINDER  binder = node id of an object of the sender (the receiver makes a proxy)
 *   WIRE_HANDLE  binder = node id of an object of the receiver (it gets its own object back)
 *   WIRE_FD      binder = index into the frame's descriptors, each used exactly once
 * Node 0 of a connection accepted by a service socket is the registered service object.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <utils/Errors.h>

namespace android {
namespace hostbinder {

constexpr uint32_t kFrameMagic = 0x31464248;  // "HBF1"
constexpr size_t kMaxFrameSize = 1024 * 1024;
constexpr size_t kMaxFrameFds = 64;

enum FrameType : uint32_t {
    FRAME_TRANSACTION = 1,
    FRAME_REPLY = 2,
    FRAME_RELEASE = 3,
};

enum WireObject : uint32_t {
    WIRE_NULL = 0x574e554c,    // 'WNUL'
    WIRE_BINDER = 0x57424e44,  // 'WBND'
    WIRE_HANDLE = 0x57484e44,  // 'WHND'
    WIRE_FD = 0x57464421,      // 'WFD!'
};

struct FrameHeader {
    uint32_t magic;
    uint32_t type;
    uint32_t txId;
    uint32_t target;
    uint32_t code;  // transaction code, or the reply's status
    uint32_t flags;
    uint32_t dataSize;
    uint32_t objectCount;
    uint32_t fdCount;
    uint32_t reserved;  // 0
};

static_assert(sizeof(FrameHeader) == 40, "frame header is 40 bytes");

inline size_t paddedDataSize(uint32_t dataSize) {
    return (static_cast<size_t>(dataSize) + 3) & ~static_cast<size_t>(3);
}

/** Bytes after the header that the header announces. */
inline size_t framePayloadSize(const FrameHeader& h) {
    return paddedDataSize(h.dataSize) + static_cast<size_t>(h.objectCount) * sizeof(uint32_t);
}

/** Checks a header alone: magic, type, sizes and counts within the caps. */
status_t validateFrameHeader(const FrameHeader& h);

/**
 * Checks a whole frame (header + payload of `len` bytes) that came with `fdCount`
 * descriptors: object offsets aligned, ascending, non-overlapping and inside the data,
 * known wire types, every descriptor index used exactly once, RELEASE payloads well formed.
 */
status_t validateFrame(const uint8_t* frame, size_t len, size_t fdCount);

}  // namespace hostbinder
}  // namespace android
