/*
 * Translation between a Parcel's in-process object records (HostObjects.h) and their wire
 * form (HostFrame.h) for one connection. Only objects of this process and proxies of objects
 * owned by the peer on the same connection can travel; a proxy of any other process's object
 * gives INVALID_OPERATION.
 */
#pragma once

#include <binder/Parcel.h>
#include <stddef.h>
#include <stdint.h>
#include <utils/RefBase.h>

#include <vector>

#include "platform/HostConnection.h"
#include "platform/HostFrame.h"

namespace android {
namespace hostbinder {

class HostRuntime;

/** Builds a whole frame from `header` (sizes filled in here) and a Parcel's contents. */
status_t encodeFrame(HostRuntime* rt, const sp<HostConnection>& conn, FrameHeader header,
                     const uint8_t* data, size_t dataSize, const binder_size_t* objects,
                     size_t objectCount, std::vector<uint8_t>* frame, std::vector<int>* fds);

/**
 * Turns a validated frame into malloc'd Parcel buffers whose object records hold one strong
 * reference each (taken for `who`) and own their descriptors. BAD_VALUE for a node that the
 * connection never exported; nothing is left held then.
 */
status_t decodeFrame(HostRuntime* rt, const sp<HostConnection>& conn, Frame& frame, const void* who,
                     uint8_t** data, size_t* dataSize, binder_size_t** objects, size_t* objectCount);

/** A RELEASE frame for `count` references to `node`. */
std::vector<uint8_t> releaseFrame(uint32_t node, uint32_t count);

}  // namespace hostbinder
}  // namespace android
