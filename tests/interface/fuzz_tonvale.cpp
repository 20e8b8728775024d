// Feeds arbitrary codes and parcels to a real Tonvale through BnTonvale::onTransact, as a
// privileged and as an unprivileged caller, on a private data directory. Besides crashes it
// checks what every caller may rely on: a refused call has an empty reply, and an app never
// gets past the permission check of a privileged code.
#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utils/String16.h>

#include <string>
#include <vector>

#include "interface/BnTonvale.h"
#include "interface/ITonvale.h"
#include "service/SettingsStore.h"
#include "service/Tonvale.h"
// From the top of the tree: fuzz targets do not get the tests' include folder.
#include "common/FakeAccess.h"

namespace {

using namespace android;

std::string gRoot;
std::string gDir;
FakeAccess* gAccess = nullptr;  // the caller of the current input's transaction
sp<Tonvale> gService;
int gNull = -1;

void removeDataDir() {
    gService.clear();
    std::string command = "rm -rf '" + gRoot + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", gRoot.c_str());
}

// A UTF-16 string of arbitrary code units: lone surrogates, NULs and all.
void writeName(FuzzedDataProvider& in, Parcel* p) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            p->writeUtf8AsUtf16(in.ConsumeRandomLengthString(40));
            return;
        case 1: {
            std::vector<char16_t> units;
            const size_t n = in.ConsumeIntegralInRange<size_t>(0, 20);
            for (size_t i = 0; i < n; ++i) units.push_back(in.ConsumeIntegral<char16_t>());
            p->writeString16(String16(units.data(), units.size()));
            return;
        }
        case 2:
            p->writeInt32(-1);  // a null string
            return;
        default:
            p->writeInt32(in.ConsumeIntegral<int32_t>());  // a length with nothing behind it
    }
}

void writeFloat(FuzzedDataProvider& in, Parcel* p) {
    const uint32_t bits = in.ConsumeIntegral<uint32_t>();
    float value;
    memcpy(&value, &bits, sizeof(value));
    p->writeFloat(value);
}

void writeFlag(FuzzedDataProvider& in, Parcel* p) {
    p->writeInt32(in.ConsumeIntegralInRange<int32_t>(-1, 2));
}

// The fields of code, each drawn from the input, so most requests get past the reader.
void writeFields(FuzzedDataProvider& in, uint32_t code, Parcel* p) {
    switch (code) {
        case ITonvale::GET_TRACK_CTL_BLK:
        case ITonvale::RELEASE_BUFFER_FOR:
            p->writeInt32(in.ConsumeBool() ? getpid() : in.ConsumeIntegral<int32_t>());
            p->writeInt32(in.ConsumeIntegralInRange<int32_t>(0, 15));
            break;
        case ITonvale::SET_CONTROL_MODE:
        case ITonvale::LIST_BUFFERS:
            p->writeInt32(in.ConsumeIntegralInRange<int32_t>(-1, 2));
            break;
        case ITonvale::SET_DEFAULT_SILENT:
        case ITonvale::SET_WEAK_KEY_ADJUST:
            writeFlag(in, p);
            break;
        case ITonvale::SET_PROFILE:
            writeName(in, p);
            for (int i = 0; i < 3; ++i) writeFloat(in, p);
            writeFlag(in, p);
            writeFlag(in, p);
            break;
        case ITonvale::UNSET_PROFILE:
        case ITonvale::MUTE:
        case ITonvale::UNMUTE:
        case ITonvale::GET_PROFILE:
            writeName(in, p);
            writeFlag(in, p);
            break;
        case ITonvale::SET_DEFAULT_PROFILE:
            for (int i = 0; i < 3; ++i) writeFloat(in, p);
            writeFlag(in, p);
            break;
        default:
            break;
    }
}

uint32_t pickCode(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return in.ConsumeIntegral<uint32_t>();
        case 1:
            return IBinder::DUMP_TRANSACTION;
        case 2:
            return IBinder::PING_TRANSACTION;
        default:
            return in.ConsumeIntegralInRange<uint32_t>(0, ITonvale::LAST_TRANSACTION + 1);
    }
}

void transactOnce(FuzzedDataProvider& in) {
    const bool privileged = in.ConsumeBool();
    const pid_t pid = in.ConsumeBool() ? getpid() : in.ConsumeIntegral<int32_t>();
    gAccess->setCaller(pid, privileged ? FakeAccess::kRoot : FakeAccess::kApp);
    const uint32_t code = pickCode(in);

    Parcel data;
    const bool token = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    if (token) {
        data.writeInterfaceToken(ITonvale::descriptor);
    } else {
        data.writeInterfaceToken(String16(in.ConsumeRandomLengthString(24).c_str()));
    }
    if (code == IBinder::DUMP_TRANSACTION) {
        data.writeFileDescriptor(gNull);
        data.writeInt32(0);
    } else if (in.ConsumeBool()) {
        writeFields(in, code, &data);
        // Sometimes cut short, sometimes with bytes to spare.
        if (in.ConsumeBool())
            data.setDataSize(in.ConsumeIntegralInRange<size_t>(0, data.dataSize()));
    } else {
        std::vector<uint8_t> raw =
            in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 96));
        data.write(raw.data(), raw.size());
    }
    data.setDataPosition(0);

    Parcel reply;
    const status_t status = gService->onTransact(code, data, &reply, 0);
    if (status != NO_ERROR && reply.dataSize() != 0) abort();
    const bool ours = code >= IBinder::FIRST_CALL_TRANSACTION && code <= ITonvale::LAST_TRANSACTION;
    const BnTonvale::Permission permission = BnTonvale::permissionFor(code);
    // An app is refused everything but the reports that name no process and its own blocks.
    if (ours && !privileged && token && permission != BnTonvale::Permission::ANYONE &&
        permission != BnTonvale::Permission::OWN_PID && status != PERMISSION_DENIED) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // tmpfs when there is one: every change syncs its file.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    gRoot = std::string(base) + "/tonvale-fuzz-service-XXXXXX";
    if (mkdtemp(&gRoot[0]) == nullptr) abort();
    gDir = gRoot + "/tonvale/";
    if (mkdir(gDir.c_str(), 0700) != 0) abort();
    gNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (gNull < 0) abort();
    gService = makeTonvale(&gAccess, std::make_shared<SettingsStore>(gDir));
    atexit(removeDataDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i) transactOnce(in);
    // Keep what one input leaves behind small, so inputs stay independent enough.
    if (gService->exportAllMem().size() > 32) gService->releaseAllBuffer();
    if (gService->profiles(false).size() + gService->profiles(true).size() +
            gService->muted(false).size() + gService->muted(true).size() >
        64) {
        gService->clear();
    }
    return 0;
}
