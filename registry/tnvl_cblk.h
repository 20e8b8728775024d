#pragma once

#include <stddef.h>
#include <stdint.h>

namespace android {

/**
 * Per-track control block in shared memory; the one format shared with audio clients.
 * The service writes the volumes and muted, the track's process writes active.
 */
struct tnvl_cblk {
    uint8_t valid;
    uint8_t reserved0[3];
    int32_t pid;
    int32_t session;
    float left;
    float right;
    float general;
    uint8_t muted;
    uint8_t active;
    uint8_t reserved1[2];
};

static_assert(sizeof(tnvl_cblk) == 28, "tnvl_cblk is a 28-byte wire format");
static_assert(offsetof(tnvl_cblk, valid) == 0, "valid at 0");
static_assert(offsetof(tnvl_cblk, pid) == 4, "pid at 4");
static_assert(offsetof(tnvl_cblk, session) == 8, "session at 8");
static_assert(offsetof(tnvl_cblk, left) == 12, "left at 12");
static_assert(offsetof(tnvl_cblk, right) == 16, "right at 16");
static_assert(offsetof(tnvl_cblk, general) == 20, "general at 20");
static_assert(offsetof(tnvl_cblk, muted) == 24, "muted at 24");
static_assert(offsetof(tnvl_cblk, active) == 25, "active at 25");

}  // namespace android
