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
#include "platform/HostObjects.h"

namespace android {
namespace hostbinder {

class HostRuntime;

/** Builds a whole frame from `header` (sizes filled in here) and a Parcel's contents. */
status_t encodeFrame(HostRuntime* rt, const sp<HostConnection>& conn, FrameHeader header,
                     const uint8_t* data, size_t dataSize, const binder_size_t* objects,
                     size_t objectCount, std::vector<uint8_t>* frame, std::vector<int>* fds);

/**
 * Decodes a validated TRANSACTION or REPLY frame (header and payload) into `out`'s malloc'd
 * Parcel buffers, whose object records then hold one strong reference each or own their
 * descriptor; each descriptor taken from `fds` (the frame's, fdCount of them) is set to -1
 * there. BAD_VALUE for a node that the connection never exported; nothing is left held then.
 */
status_t decodeFrame(HostRuntime* rt, const sp<HostConnection>& conn, const uint8_t* frame,
                     int* fds, Received* out);

/** Drops what a decoded record holds: its reference, or its descriptor. */
void releaseWireRecord(const flat_binder_object& record);

/** A RELEASE frame for `count` references to `node`. */
std::vector<uint8_t> releaseFrame(uint32_t node, uint32_t count);

}  // namespace hostbinder
}  // namespace android
