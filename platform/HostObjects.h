/*
 * Objects carried inside a Parcel of the host binder.
 *
 * In memory a Parcel holds each object as a flat_binder_object in its data, with the object's
 * offset in the object table, like libbinder. Here the record holds either a pointer to an
 * IBinder (a local BBinder or a BpBinder proxy, with one strong reference owned by the Parcel)
 * or a file descriptor (closed with the Parcel when it owns it). Pointers never leave the
 * process: the transport rewrites every record into a wire form (see HostFrame.h).
 */
#pragma once

#include <stdint.h>

namespace android {

/** Object kinds inside a Parcel; kept apart from the wire kinds so neither can pass for the other. */
enum : uint32_t {
    HOST_OBJ_BINDER = 0x48424e44,  // 'HBND': binder = IBinder*, 0 for a null binder
    HOST_OBJ_FD = 0x48464421,      // 'HFD!': handle = fd, cookie = 1 when the Parcel owns it
};

/** Packed so that a record may sit at any 4-byte offset of the data. */
struct __attribute__((packed)) flat_binder_object {
    uint32_t hdr_type;
    uint32_t flags;
    uint64_t binder;  // IBinder* or fd
    uint64_t cookie;  // fd ownership
};

static_assert(sizeof(flat_binder_object) == 24, "flat object is 24 bytes on every ABI");

}  // namespace android
