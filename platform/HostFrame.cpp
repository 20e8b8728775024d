#include "platform/HostFrame.h"

#include <string.h>

#include <vector>

#include "platform/HostObjects.h"

namespace android {
namespace hostbinder {

status_t validateFrameHeader(const FrameHeader& h) {
    if (h.magic != kFrameMagic || h.reserved != 0) return BAD_VALUE;
    if (h.type != FRAME_TRANSACTION && h.type != FRAME_REPLY && h.type != FRAME_RELEASE) {
        return BAD_VALUE;
    }
    if (h.dataSize > kMaxFrameSize || h.objectCount > kMaxFrameSize / sizeof(flat_binder_object) ||
        h.fdCount > kMaxFrameFds) {
        return BAD_VALUE;
    }
    if (sizeof(FrameHeader) + framePayloadSize(h) > kMaxFrameSize) return BAD_VALUE;
    if (h.type == FRAME_RELEASE && (h.dataSize % 8 != 0 || h.objectCount != 0 || h.fdCount != 0)) {
        return BAD_VALUE;
    }
    if (h.type == FRAME_REPLY && h.code != 0 && (h.dataSize != 0 || h.fdCount != 0)) {
        return BAD_VALUE;
    }
    return NO_ERROR;
}

status_t validateFrame(const uint8_t* frame, size_t len, size_t fdCount) {
    if (len < sizeof(FrameHeader)) return BAD_VALUE;
    FrameHeader h;
    memcpy(&h, frame, sizeof(h));
    status_t err = validateFrameHeader(h);
    if (err != NO_ERROR) return err;
    if (len != sizeof(FrameHeader) + framePayloadSize(h) || fdCount != h.fdCount) {
        return BAD_VALUE;
    }
    const uint8_t* data = frame + sizeof(FrameHeader);
    const uint8_t* offsets = data + paddedDataSize(h.dataSize);
    std::vector<bool> fdUsed(fdCount, false);
    size_t nextFree = 0;
    for (uint32_t i = 0; i < h.objectCount; ++i) {
        uint32_t off;
        memcpy(&off, offsets + i * sizeof(uint32_t), sizeof(off));
        if (off % 4 != 0 || off < nextFree || off > h.dataSize ||
            h.dataSize - off < sizeof(flat_binder_object)) {
            return BAD_VALUE;
        }
        nextFree = off + sizeof(flat_binder_object);
        flat_binder_object obj;
        memcpy(&obj, data + off, sizeof(obj));
        switch (obj.hdr_type) {
            case WIRE_NULL:
                break;
            case WIRE_BINDER:
            case WIRE_HANDLE:
                if (obj.binder > UINT32_MAX) return BAD_VALUE;
                break;
            case WIRE_FD:
                if (obj.binder >= fdCount || fdUsed[obj.binder]) return BAD_VALUE;
                fdUsed[obj.binder] = true;
                break;
            default:
                return BAD_VALUE;
        }
    }
    for (bool used : fdUsed) {
        if (!used) return BAD_VALUE;
    }
    return NO_ERROR;
}

}  // namespace hostbinder
}  // namespace android
