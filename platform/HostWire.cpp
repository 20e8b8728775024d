#include "platform/HostWire.h"

#include <binder/BpBinder.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "platform/HostObjects.h"
#include "platform/HostRuntime.h"

namespace android {
namespace hostbinder {

namespace {

constexpr size_t kObjectSize = sizeof(flat_binder_object);

// Received records are not tied to the Parcel that adopts them later; references taken and
// dropped for them carry this id (it matters only to libutils' reference debugging).
const void* const kWireRef = &kObjectSize;

}  // namespace

void releaseWireRecord(const flat_binder_object& obj) {
    if (obj.hdr_type == HOST_OBJ_BINDER && obj.binder != 0) {
        reinterpret_cast<IBinder*>(static_cast<uintptr_t>(obj.binder))->decStrong(kWireRef);
    } else if (obj.hdr_type == HOST_OBJ_FD && obj.cookie != 0) {
        close(static_cast<int>(obj.binder));
    }
}

status_t encodeFrame(HostRuntime* rt, const sp<HostConnection>& conn, FrameHeader header,
                     const uint8_t* data, size_t dataSize, const binder_size_t* objects,
                     size_t objectCount, std::vector<uint8_t>* frame, std::vector<int>* fds) {
    if (dataSize > kMaxFrameSize || objectCount > kMaxFrameSize / kObjectSize) {
        return FAILED_TRANSACTION;
    }
    header.dataSize = static_cast<uint32_t>(dataSize);
    header.objectCount = static_cast<uint32_t>(objectCount);
    if (sizeof(FrameHeader) + framePayloadSize(header) > kMaxFrameSize) return FAILED_TRANSACTION;

    // First pass: check every object, so that nothing is exported for a frame never sent.
    std::vector<uint32_t> offsets(objectCount);
    for (size_t i = 0; i < objectCount; ++i) {
        if (objects[i] > dataSize || dataSize - objects[i] < kObjectSize) return BAD_VALUE;
        offsets[i] = static_cast<uint32_t>(objects[i]);
    }
    std::sort(offsets.begin(), offsets.end());
    size_t fdCount = 0;
    for (size_t i = 0; i < objectCount; ++i) {
        if (i > 0 && offsets[i] < offsets[i - 1] + kObjectSize) return BAD_VALUE;
        flat_binder_object obj;
        memcpy(&obj, data + offsets[i], kObjectSize);
        if (obj.hdr_type == HOST_OBJ_FD) {
            if (++fdCount > kMaxFrameFds) return BAD_VALUE;
        } else if (obj.hdr_type == HOST_OBJ_BINDER && obj.binder != 0) {
            IBinder* b = reinterpret_cast<IBinder*>(static_cast<uintptr_t>(obj.binder));
            if (b->localBinder() == nullptr) {
                BpBinder* proxy = b->remoteBinder();
                sp<HostConnection> owner;
                uint32_t node;
                if (proxy == nullptr || !rt->lookupHandle(proxy->handle(), &owner, &node) ||
                    owner != conn) {
                    return INVALID_OPERATION;
                }
            }
        } else if (obj.hdr_type != HOST_OBJ_BINDER) {
            return BAD_VALUE;
        }
    }
    header.fdCount = static_cast<uint32_t>(fdCount);

    frame->assign(sizeof(FrameHeader) + framePayloadSize(header), 0);
    memcpy(frame->data(), &header, sizeof(header));
    uint8_t* out = frame->data() + sizeof(FrameHeader);
    if (dataSize > 0) memcpy(out, data, dataSize);
    uint8_t* outOffsets = out + paddedDataSize(header.dataSize);
    fds->clear();
    for (size_t i = 0; i < objectCount; ++i) {
        flat_binder_object obj;
        memcpy(&obj, data + offsets[i], kObjectSize);
        flat_binder_object wire{};
        if (obj.hdr_type == HOST_OBJ_FD) {
            wire.hdr_type = WIRE_FD;
            wire.binder = fds->size();
            fds->push_back(static_cast<int>(obj.binder));
        } else if (obj.binder == 0) {
            wire.hdr_type = WIRE_NULL;
        } else {
            sp<IBinder> b = reinterpret_cast<IBinder*>(static_cast<uintptr_t>(obj.binder));
            if (b->localBinder() != nullptr) {
                wire.hdr_type = WIRE_BINDER;
                wire.binder = conn->exportNode(b);
            } else {
                sp<HostConnection> owner;
                uint32_t node = 0;
                rt->lookupHandle(b->remoteBinder()->handle(), &owner, &node);
                wire.hdr_type = WIRE_HANDLE;
                wire.binder = node;
            }
        }
        memcpy(out + offsets[i], &wire, kObjectSize);
        memcpy(outOffsets + i * sizeof(uint32_t), &offsets[i], sizeof(uint32_t));
    }
    return NO_ERROR;
}

status_t decodeFrame(HostRuntime* rt, const sp<HostConnection>& conn, const uint8_t* frame,
                     int* fds, Received* out) {
    FrameHeader h;
    memcpy(&h, frame, sizeof(h));
    uint8_t* data = static_cast<uint8_t*>(malloc(h.dataSize > 0 ? h.dataSize : 1));
    binder_size_t* objects = static_cast<binder_size_t*>(
        malloc((h.objectCount > 0 ? h.objectCount : 1) * sizeof(binder_size_t)));
    if (data == nullptr || objects == nullptr) {
        free(data);
        free(objects);
        return NO_MEMORY;
    }
    const uint8_t* in = frame + sizeof(FrameHeader);
    if (h.dataSize > 0) memcpy(data, in, h.dataSize);
    const uint8_t* inOffsets = in + paddedDataSize(h.dataSize);
    size_t built = 0;
    status_t err = NO_ERROR;
    for (; built < h.objectCount; ++built) {
        uint32_t off;
        memcpy(&off, inOffsets + built * sizeof(uint32_t), sizeof(off));
        flat_binder_object wire;
        memcpy(&wire, in + off, kObjectSize);
        flat_binder_object rec{};
        rec.hdr_type = HOST_OBJ_BINDER;
        if (wire.hdr_type == WIRE_BINDER) {
            sp<IBinder> proxy = rt->proxyFor(conn, static_cast<uint32_t>(wire.binder));
            proxy->incStrong(kWireRef);
            rec.binder = reinterpret_cast<uintptr_t>(proxy.get());
        } else if (wire.hdr_type == WIRE_HANDLE) {
            sp<IBinder> local = conn->findNode(static_cast<uint32_t>(wire.binder));
            if (local == nullptr) {
                err = BAD_VALUE;
                break;
            }
            local->incStrong(kWireRef);
            rec.binder = reinterpret_cast<uintptr_t>(local.get());
        } else if (wire.hdr_type == WIRE_FD) {
            rec.hdr_type = HOST_OBJ_FD;
            rec.binder = static_cast<uint64_t>(fds[wire.binder]);
            rec.cookie = 1;
            fds[wire.binder] = -1;
        }
        memcpy(data + off, &rec, kObjectSize);
        objects[built] = off;
    }
    if (err != NO_ERROR) {
        for (size_t i = 0; i < built; ++i) {
            flat_binder_object rec;
            memcpy(&rec, data + objects[i], kObjectSize);
            releaseWireRecord(rec);
        }
        free(data);
        free(objects);
        return err;
    }
    out->data = data;
    out->dataSize = h.dataSize;
    out->objects = objects;
    out->objectCount = h.objectCount;
    return NO_ERROR;
}

std::vector<uint8_t> releaseFrame(uint32_t node, uint32_t count) {
    FrameHeader h{};
    h.magic = kFrameMagic;
    h.type = FRAME_RELEASE;
    h.dataSize = 8;
    std::vector<uint8_t> frame(sizeof(h) + 8);
    memcpy(frame.data(), &h, sizeof(h));
    memcpy(frame.data() + sizeof(h), &node, 4);
    memcpy(frame.data() + sizeof(h) + 4, &count, 4);
    return frame;
}

}  // namespace hostbinder
}  // namespace android
