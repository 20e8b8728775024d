// The client gain helper against a real service in a child process: opening before the
// service exists, reporting the active flag, following a setting, giving the block back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ServiceHarness.h"
#include "common/Child.h"
#include "common/Wait.h"
#include "interface/TonvaleClient.h"
#include "interface/TrackGain.h"

namespace android {
namespace {

constexpr uint32_t kRate = 48000;

/** Stereo DC of 1.0 through the helper: each output sample is the gain it got. */
std::vector<float> gainsOver(const sp<TrackGain>& gain, size_t frames) {
    std::vector<float> out(2 * frames, 1.0f);
    gain->process(out.data(), frames, 2);
    return out;
}

/** Calls fn on every object of the JSON buffer listing, depth first. */
void forEachObject(const std::function<void(const nlohmann::json&)>& fn) {
    std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& node) {
        if (node.is_object()) fn(node);
        if (node.is_structured()) {
            for (const auto& child : node) walk(child);
        }
    };
    walk(nlohmann::json::parse(listBuffers(1), nullptr, false));
}

/** A JSON number or numeric string as text. */
std::string text(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

/** The track with this session in the buffer listing: its "isactive", or -1 when absent. */
int trackActive(int session) {
    int found = -1;
    forEachObject([&](const nlohmann::json& node) {
        if (node.contains("session") && text(node["session"]) == std::to_string(session)) {
            found = node.value("isactive", false) ? 1 : 0;
        }
    });
    return found;
}

/**
 * The name the service filed this process under. Read from the service, not from
 * /proc/self: under qemu-user another process sees the emulator's command line.
 */
std::string ownProcessName() {
    std::string name;
    forEachObject([&](const nlohmann::json& node) {
        if (node.contains("process") && node.contains("pid") &&
            text(node["pid"]) == std::to_string(getpid())) {
            name = node["process"].get<std::string>();
        }
    });
    return name;
}

TEST(TrackGainService, OpensSilentlyWithoutServiceAndAttachesWhenOneAppears) {
    const sp<TonvaleHolder> holder = new TonvaleHolder();
    const sp<TrackGain> gain = new TrackGain(kRate);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NO_INIT, gain->open(holder, getpid(), 3));
    EXPECT_EQ("", testing::internal::GetCapturedStdout()) << "no retry lines, no offline line";
    EXPECT_FALSE(gain->hasBlock());
    for (float v : gainsOver(gain, 10)) ASSERT_EQ(1.0f, v);

    tonvale_test::ChildGuard service = tonvale_test::startTonvale();
    ASSERT_TRUE(service.running());
    ASSERT_TRUE(tonvale_test::waitUntil([&] { return gain->hasBlock(); }));
    gain->setActive(true);
    EXPECT_EQ(1, trackActive(3)) << listBuffers(1);
    const std::string self = ownProcessName();
    ASSERT_FALSE(self.empty()) << listBuffers(1);
    ASSERT_EQ(0, setProfile(self, 0.5f, 0.25f, 2.0f, false, false));
    std::vector<float> out = gainsOver(gain, 1000);
    EXPECT_EQ(1.0f, out[out.size() - 2]);
    EXPECT_EQ(0.5f, out.back());

    EXPECT_EQ(NO_ERROR, gain->release());
    EXPECT_EQ(-1, trackActive(3)) << listBuffers(1);
    EXPECT_EQ(0.5f, gain->gains().right) << "still readable until the helper goes";
}

}  // namespace
}  // namespace android
