/*
 * Parcel of the host binder: libbinder's encoding of plain values (native byte order, every
 * item padded to 4 bytes, bool as int32, String16 as a length, the UTF-16 text and a NUL),
 * and the object table of HostObjects.h for binders and file descriptors.
 *
 * Every read checks its bounds: past the end it yields 0, false or empty data and an error
 * status. Plain reads refuse to overlap an object record, so object contents can only be read
 * through readObject(), and only at an offset listed in the object table. Vector readers never
 * size a vector beyond what the remaining data could hold.
 */
#include <binder/IBinder.h>
#include <binder/IPCThreadState.h>
#include <binder/Parcel.h>
#include <binder/Stability.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <utils/String8.h>

#include "platform/HostObjects.h"
#include "platform/HostRuntime.h"

namespace android {

namespace {

// Set in the strict-mode word of every interface token, as libbinder does.
constexpr int32_t kStrictModePenaltyGather = static_cast<int32_t>(1u << 31);
constexpr size_t kObjectSize = sizeof(flat_binder_object);

inline size_t padSize(size_t len) {
    return (len + 3) & ~static_cast<size_t>(3);
}

// UTF-8 -> UTF-16 for one code point; returns its byte length or 0 when the input is invalid
// (overlong forms, surrogates, values past U+10FFFF and truncated sequences are refused).
size_t decodeUtf8(const uint8_t* s, size_t avail, uint32_t* cp) {
    const uint8_t c = s[0];
    size_t len;
    uint32_t v;
    uint32_t min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xe0) == 0xc0) {
        len = 2, v = c & 0x1f, min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        len = 3, v = c & 0x0f, min = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        len = 4, v = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (len > avail) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3f);
    }
    if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
    *cp = v;
    return len;
}

// Length in UTF-16 units of valid UTF-8, or -1.
ssize_t utf16LengthOf(const uint8_t* s, size_t n) {
    size_t units = 0;
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        const size_t len = decodeUtf8(s + i, n - i, &cp);
        if (len == 0) return -1;
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return units > static_cast<size_t>(INT32_MAX) ? -1 : static_cast<ssize_t>(units);
}

void utf8ToUtf16(const uint8_t* s, size_t n, char16_t* out) {
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        i += decodeUtf8(s + i, n - i, &cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *out++ = static_cast<char16_t>(0xd800 + (cp >> 10));
            *out++ = static_cast<char16_t>(0xdc00 + (cp & 0x3ff));
        } else {
            *out++ = static_cast<char16_t>(cp);
        }
    }
}

// UTF-16 -> UTF-8; false on an unpaired surrogate.
bool utf16ToUtf8(const char16_t* s, size_t n, std::string* out) {
    std::string r;
    r.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xd800 && cp <= 0xdbff) {
            if (i + 1 >= n || s[i + 1] < 0xdc00 || s[i + 1] > 0xdfff) return false;
            cp = 0x10000 + ((cp - 0xd800) << 10) + (s[i + 1] - 0xdc00);
            ++i;
        } else if (cp >= 0xdc00 && cp <= 0xdfff) {
            return false;
        }
        if (cp < 0x80) {
            r += static_cast<char>(cp);
        } else if (cp < 0x800) {
            r += static_cast<char>(0xc0 | (cp >> 6));
            r += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            r += static_cast<char>(0xe0 | (cp >> 12));
            r += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            r += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            r += static_cast<char>(0xf0 | (cp >> 18));
            r += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            r += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            r += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    out->swap(r);
    return true;
}

flat_binder_object objectAt(const uint8_t* data, size_t off) {
    flat_binder_object obj;
    memcpy(&obj, data + off, sizeof(obj));
    return obj;
}

void acquireObject(const flat_binder_object& obj, const void* who) {
    if (obj.hdr_type == HOST_OBJ_BINDER && obj.binder != 0) {
        reinterpret_cast<IBinder*>(static_cast<uintptr_t>(obj.binder))->incStrong(who);
    }
}

void releaseObject(const flat_binder_object& obj, const void* who) {
    if (obj.hdr_type == HOST_OBJ_BINDER && obj.binder != 0) {
        reinterpret_cast<IBinder*>(static_cast<uintptr_t>(obj.binder))->decStrong(who);
    } else if (obj.hdr_type == HOST_OBJ_FD && obj.cookie != 0) {
        close(static_cast<int>(obj.binder));
    }
}

}  // namespace

Parcel::Parcel() {
    initState();
}

Parcel::~Parcel() {
    freeDataNoInit();
}

const uint8_t* Parcel::data() const {
    return mData;
}

size_t Parcel::dataSize() const {
    return mDataSize > mDataPos ? mDataSize : mDataPos;
}

size_t Parcel::dataAvail() const {
    return mDataSize > mDataPos ? mDataSize - mDataPos : 0;
}

size_t Parcel::dataPosition() const {
    return mDataPos;
}

size_t Parcel::dataCapacity() const {
    return mDataCapacity;
}

status_t Parcel::setDataSize(size_t size) {
    if (size > INT32_MAX) return BAD_VALUE;
    status_t err = continueWrite(size);
    if (err == NO_ERROR) {
        mDataSize = size;
        if (mDataPos > size) mDataPos = size;
    }
    return err;
}

void Parcel::setDataPosition(size_t pos) const {
    // Positions past INT32_MAX cannot be reached by any write; keep the sums below in range.
    mDataPos = pos > INT32_MAX ? static_cast<size_t>(INT32_MAX) : pos;
    mNextObjectHint = 0;
}

status_t Parcel::setDataCapacity(size_t size) {
    if (size > INT32_MAX) return BAD_VALUE;
    if (size > mDataCapacity) return continueWrite(size);
    return NO_ERROR;
}

status_t Parcel::setData(const uint8_t* buffer, size_t len) {
    if (len > INT32_MAX) return BAD_VALUE;
    status_t err = restartWrite(len);
    if (err == NO_ERROR && len > 0) {
        memcpy(mData, buffer, len);
        mDataSize = len;
        mFdsKnown = false;
    }
    return err;
}

bool Parcel::allowFds() const {
    return mAllowFds;
}

bool Parcel::pushAllowFds(bool allowFds) {
    const bool origValue = mAllowFds;
    if (!allowFds) mAllowFds = false;
    return origValue;
}

void Parcel::restoreAllowFds(bool lastValue) {
    mAllowFds = lastValue;
}

bool Parcel::hasFileDescriptors() const {
    if (!mFdsKnown) scanForFds();
    return mHasFds;
}

void Parcel::scanForFds() const {
    bool hasFds = false;
    for (size_t i = 0; i < mObjectsSize; i++) {
        if (objectAt(mData, mObjects[i]).hdr_type == HOST_OBJ_FD) {
            hasFds = true;
            break;
        }
    }
    mHasFds = hasFds;
    mFdsKnown = true;
}

status_t Parcel::writeInterfaceToken(const String16& interface) {
    const IPCThreadState* threadState = hostbinder::policyState();
    writeInt32(threadState->getStrictModePolicy() | kStrictModePenaltyGather);
    updateWorkSourceRequestHeaderPosition();
    writeInt32(threadState->shouldPropagateWorkSource()
                   ? static_cast<int32_t>(threadState->getCallingWorkSourceUid())
                   : IPCThreadState::kUnsetWorkSource);
    return writeString16(interface);
}

void Parcel::updateWorkSourceRequestHeaderPosition() const {
    if (!mRequestHeaderPresent) {
        mWorkSourceRequestHeaderPosition = dataPosition();
        mRequestHeaderPresent = true;
    }
}

bool Parcel::checkInterface(IBinder* binder) const {
    if (binder == nullptr) return false;
    return enforceInterface(binder->getInterfaceDescriptor());
}

bool Parcel::enforceInterface(const String16& interface, IPCThreadState* threadState) const {
    const int32_t strictPolicy = readInt32();
    if (threadState == nullptr) {
        threadState = const_cast<IPCThreadState*>(hostbinder::policyState());
    }
    threadState->setStrictModePolicy(strictPolicy);
    updateWorkSourceRequestHeaderPosition();
    readInt32();  // work source uid; not propagated on the host
    size_t len = 0;
    const char16_t* str = readString16Inplace(&len);
    if (str == nullptr) return false;
    return len == interface.size() && memcmp(str, interface.string(), len * sizeof(char16_t)) == 0;
}

void Parcel::freeData() {
    freeDataNoInit();
    initState();
}

size_t Parcel::objectsCount() const {
    return mObjectsSize;
}

status_t Parcel::errorCheck() const {
    return mError;
}

void Parcel::setError(status_t err) {
    mError = err;
}

status_t Parcel::finishWrite(size_t len) {
    if (len > INT32_MAX) return BAD_VALUE;
    mDataPos += len;
    if (mDataPos > mDataSize) mDataSize = mDataPos;
    return NO_ERROR;
}

status_t Parcel::growData(size_t len) {
    if (len > INT32_MAX) return BAD_VALUE;
    const size_t need = (mDataPos > mDataSize ? mDataPos : mDataSize) + len;
    if (need > INT32_MAX) return BAD_VALUE;
    size_t newSize = need + need / 2;
    if (newSize > INT32_MAX) newSize = INT32_MAX;
    return continueWrite(newSize < 64 ? 64 : newSize);
}

status_t Parcel::restartWrite(size_t desired) {
    if (desired > INT32_MAX) return BAD_VALUE;
    if (mOwner != nullptr) {
        freeData();
        return continueWrite(desired);
    }
    releaseObjects();
    uint8_t* data = static_cast<uint8_t*>(realloc(mData, desired > 0 ? desired : 1));
    if (data == nullptr && desired > mDataCapacity) {
        mError = NO_MEMORY;
        return NO_MEMORY;
    }
    if (data != nullptr) {
        mData = data;
        mDataCapacity = desired;
    }
    mDataSize = mDataPos = 0;
    free(mObjects);
    mObjects = nullptr;
    mObjectsSize = mObjectsCapacity = 0;
    mNextObjectHint = 0;
    mObjectsSorted = false;
    mHasFds = false;
    mFdsKnown = true;
    mAllowFds = true;
    return NO_ERROR;
}

status_t Parcel::continueWrite(size_t desired) {
    if (desired > INT32_MAX) return BAD_VALUE;
    if (mOwner != nullptr) {
        // Received buffers are adopted on the host (mOwner stays null); an owner would mean a
        // foreign buffer that this Parcel may not resize.
        return INVALID_OPERATION;
    }
    // Shrinking drops the objects that no longer fit.
    size_t keep = mObjectsSize;
    if (desired < mDataSize) {
        keep = 0;
        for (size_t i = 0; i < mObjectsSize; ++i) {
            if (mObjects[i] + kObjectSize <= desired) {
                mObjects[keep++] = mObjects[i];
            } else {
                releaseObject(objectAt(mData, mObjects[i]), this);
            }
        }
        mObjectsSize = keep;
        mFdsKnown = false;
    }
    if (desired != mDataCapacity) {
        uint8_t* data = static_cast<uint8_t*>(realloc(mData, desired > 0 ? desired : 1));
        if (data == nullptr) {
            if (desired > mDataCapacity) {
                mError = NO_MEMORY;
                return NO_MEMORY;
            }
        } else {
            mData = data;
            mDataCapacity = desired;
        }
    }
    if (mDataSize > desired) mDataSize = desired;
    if (mDataPos > desired) mDataPos = desired;
    return NO_ERROR;
}

status_t Parcel::write(const void* data, size_t len) {
    if (len > INT32_MAX) return BAD_VALUE;
    void* const d = writeInplace(len);
    if (d == nullptr) return mError != NO_ERROR ? mError : NO_MEMORY;
    if (len > 0) memcpy(d, data, len);
    return NO_ERROR;
}

void* Parcel::writeInplace(size_t len) {
    if (len > INT32_MAX) return nullptr;
    const size_t padded = padSize(len);
    if (mDataPos + padded > INT32_MAX) return nullptr;
    if (mDataPos + padded > mDataCapacity && growData(padded) != NO_ERROR) return nullptr;
    uint8_t* const data = mData + mDataPos;
    if (padded != len) memset(data + len, 0, padded - len);
    finishWrite(padded);
    return data;
}

status_t Parcel::writeUnpadded(const void* data, size_t len) {
    if (len > INT32_MAX) return BAD_VALUE;
    if (mDataPos + len > mDataCapacity) {
        status_t err = growData(len);
        if (err != NO_ERROR) return err;
    }
    if (len > 0) memcpy(mData + mDataPos, data, len);
    return finishWrite(len);
}

template <class T>
status_t Parcel::writeAligned(T val) {
    static_assert(sizeof(T) % 4 == 0, "aligned items are multiples of 4 bytes");
    if (mDataPos + sizeof(val) > mDataCapacity) {
        status_t err = growData(sizeof(val));
        if (err != NO_ERROR) return err;
    }
    memcpy(mData + mDataPos, &val, sizeof(val));
    return finishWrite(sizeof(val));
}

status_t Parcel::writeInt32(int32_t val) {
    return writeAligned(val);
}

status_t Parcel::writeUint32(uint32_t val) {
    return writeAligned(val);
}

status_t Parcel::writeInt64(int64_t val) {
    return writeAligned(val);
}

status_t Parcel::writeUint64(uint64_t val) {
    return writeAligned(val);
}

status_t Parcel::writeFloat(float val) {
    return writeAligned(val);
}

status_t Parcel::writeDouble(double val) {
    return writeAligned(val);
}

status_t Parcel::writeBool(bool val) {
    return writeInt32(int32_t(val));
}

status_t Parcel::writeChar(char16_t val) {
    return writeInt32(int32_t(val));
}

status_t Parcel::writeByte(int8_t val) {
    return writeInt32(int32_t(val));
}

status_t Parcel::writeCString(const char* str) {
    return write(str, strlen(str) + 1);
}

status_t Parcel::writeString8(const String8& str) {
    status_t err = writeInt32(static_cast<int32_t>(str.bytes()));
    // Nothing follows the length of an empty text, unlike String16.
    if (str.bytes() > 0 && err == NO_ERROR) err = write(str.string(), str.bytes() + 1);
    return err;
}

status_t Parcel::writeString16(const String16& str) {
    return writeString16(str.string(), str.size());
}

status_t Parcel::writeString16(const std::unique_ptr<String16>& str) {
    if (!str) return writeInt32(-1);
    return writeString16(*str);
}

status_t Parcel::writeString16(const char16_t* str, size_t len) {
    if (str == nullptr) return writeInt32(-1);
    if (len >= INT32_MAX / sizeof(char16_t)) return BAD_VALUE;
    status_t err = writeInt32(static_cast<int32_t>(len));
    if (err != NO_ERROR) return err;
    const size_t bytes = len * sizeof(char16_t);
    uint8_t* data = static_cast<uint8_t*>(writeInplace(bytes + sizeof(char16_t)));
    if (data == nullptr) return NO_MEMORY;
    if (bytes > 0) memcpy(data, str, bytes);
    memset(data + bytes, 0, sizeof(char16_t));
    return NO_ERROR;
}

status_t Parcel::writeUtf8AsUtf16(const std::string& str) {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(str.data());
    const ssize_t units = utf16LengthOf(s, str.size());
    if (units < 0 || static_cast<size_t>(units) >= INT32_MAX / sizeof(char16_t)) {
        return BAD_VALUE;
    }
    status_t err = writeInt32(static_cast<int32_t>(units));
    if (err != NO_ERROR) return err;
    char16_t* dst = static_cast<char16_t*>(writeInplace((units + 1) * sizeof(char16_t)));
    if (dst == nullptr) return NO_MEMORY;
    utf8ToUtf16(s, str.size(), dst);
    dst[units] = 0;
    return NO_ERROR;
}

status_t Parcel::writeUtf8AsUtf16(const std::unique_ptr<std::string>& str) {
    if (!str) return writeInt32(-1);
    return writeUtf8AsUtf16(*str);
}

status_t Parcel::writeInt32Array(size_t len, const int32_t* val) {
    if (!val) return writeInt32(-1);
    if (len > INT32_MAX / sizeof(int32_t)) return BAD_VALUE;
    status_t ret = writeInt32(static_cast<int32_t>(len));
    if (ret == NO_ERROR) ret = write(val, len * sizeof(*val));
    return ret;
}

status_t Parcel::writeByteArray(size_t len, const uint8_t* val) {
    if (!val) return writeInt32(-1);
    if (len > INT32_MAX) return BAD_VALUE;
    status_t ret = writeInt32(static_cast<int32_t>(len));
    if (ret == NO_ERROR) ret = write(val, len);
    return ret;
}

status_t Parcel::writeStrongBinder(const sp<IBinder>& val) {
    return flattenBinder(val);
}

status_t Parcel::flattenBinder(const sp<IBinder>& binder) {
    flat_binder_object obj{};
    obj.hdr_type = HOST_OBJ_BINDER;
    obj.binder = reinterpret_cast<uintptr_t>(binder.get());
    return finishFlattenBinder(binder, obj);
}

status_t Parcel::finishFlattenBinder(const sp<IBinder>& binder, const flat_binder_object& flat) {
    status_t status = writeObject(flat, false);
    if (status != OK) return status;
    internal::Stability::tryMarkCompilationUnit(binder.get());
    return writeInt32(internal::Stability::get(binder.get()));
}

status_t Parcel::writeStrongBinderVector(const std::vector<sp<IBinder>>& val) {
    if (val.size() > INT32_MAX) return BAD_VALUE;
    status_t err = writeInt32(static_cast<int32_t>(val.size()));
    for (size_t i = 0; err == NO_ERROR && i < val.size(); ++i) err = writeStrongBinder(val[i]);
    return err;
}

status_t Parcel::writeStrongBinderVector(const std::unique_ptr<std::vector<sp<IBinder>>>& val) {
    if (!val) return writeInt32(-1);
    return writeStrongBinderVector(*val);
}

status_t Parcel::writeFileDescriptor(int fd, bool takeOwnership) {
    if (fd < 0) return BAD_VALUE;
    flat_binder_object obj{};
    obj.hdr_type = HOST_OBJ_FD;
    obj.binder = static_cast<uint64_t>(fd);
    obj.cookie = takeOwnership ? 1 : 0;
    return writeObject(obj, true);
}

status_t Parcel::writeDupFileDescriptor(int fd) {
    int dupFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) return -errno;
    status_t err = writeFileDescriptor(dupFd, true);
    if (err != OK) close(dupFd);
    return err;
}

status_t Parcel::writeUniqueFileDescriptor(const base::unique_fd& fd) {
    return writeDupFileDescriptor(fd.get());
}

status_t Parcel::writeObject(const flat_binder_object& val, bool /*nullMetaData*/) {
    if (val.hdr_type == HOST_OBJ_FD && !mAllowFds) return FDS_NOT_ALLOWED;
    if (mDataPos + kObjectSize > mDataCapacity) {
        status_t err = growData(kObjectSize);
        if (err != NO_ERROR) return err;
    }
    if (mObjectsSize >= mObjectsCapacity) {
        const size_t newSize = mObjectsSize * 3 / 2 + 4;
        if (newSize > INT32_MAX / sizeof(binder_size_t)) return NO_MEMORY;
        binder_size_t* objects =
            static_cast<binder_size_t*>(realloc(mObjects, newSize * sizeof(binder_size_t)));
        if (objects == nullptr) return NO_MEMORY;
        mObjects = objects;
        mObjectsCapacity = newSize;
    }
    // Every object is listed, null binders included, so readObject() never trusts plain data.
    memcpy(mData + mDataPos, &val, kObjectSize);
    if (mObjectsSize > 0 && mObjects[mObjectsSize - 1] >= mDataPos) mObjectsSorted = false;
    mObjects[mObjectsSize++] = mDataPos;
    acquireObject(val, this);
    if (val.hdr_type == HOST_OBJ_FD) mHasFds = mFdsKnown = true;
    return finishWrite(kObjectSize);
}

status_t Parcel::writeNoException() {
    return writeInt32(0);
}

status_t Parcel::validateReadData(size_t upperBound) const {
    for (size_t i = 0; i < mObjectsSize; ++i) {
        const size_t off = mObjects[i];
        if (off < upperBound && off + kObjectSize > mDataPos) return BAD_VALUE;
    }
    return NO_ERROR;
}

status_t Parcel::read(void* outData, size_t len) const {
    if (len > INT32_MAX) return BAD_VALUE;
    const size_t padded = padSize(len);
    if (mDataPos + padded > mDataSize) return NOT_ENOUGH_DATA;
    if (mObjectsSize > 0) {
        status_t err = validateReadData(mDataPos + padded);
        if (err != NO_ERROR) {
            mDataPos += padded;
            return err;
        }
    }
    if (len > 0) memcpy(outData, mData + mDataPos, len);
    mDataPos += padded;
    return NO_ERROR;
}

const void* Parcel::readInplace(size_t len) const {
    if (len > INT32_MAX) return nullptr;
    const size_t padded = padSize(len);
    if (mDataPos + padded > mDataSize) return nullptr;
    if (mObjectsSize > 0 && validateReadData(mDataPos + padded) != NO_ERROR) {
        mDataPos += padded;
        return nullptr;
    }
    const void* data = mData + mDataPos;
    mDataPos += padded;
    return data;
}

template <class T>
status_t Parcel::readAligned(T* pArg) const {
    static_assert(sizeof(T) % 4 == 0, "aligned items are multiples of 4 bytes");
    if (mDataPos + sizeof(T) > mDataSize) return NOT_ENOUGH_DATA;
    if (mObjectsSize > 0) {
        status_t err = validateReadData(mDataPos + sizeof(T));
        if (err != NO_ERROR) {
            mDataPos += sizeof(T);
            return err;
        }
    }
    memcpy(pArg, mData + mDataPos, sizeof(T));
    mDataPos += sizeof(T);
    return NO_ERROR;
}

template <class T>
T Parcel::readAligned() const {
    T result;
    if (readAligned(&result) != NO_ERROR) result = 0;
    return result;
}

status_t Parcel::readInt32(int32_t* pArg) const {
    return readAligned(pArg);
}

int32_t Parcel::readInt32() const {
    return readAligned<int32_t>();
}

status_t Parcel::readUint32(uint32_t* pArg) const {
    return readAligned(pArg);
}

uint32_t Parcel::readUint32() const {
    return readAligned<uint32_t>();
}

status_t Parcel::readInt64(int64_t* pArg) const {
    return readAligned(pArg);
}

int64_t Parcel::readInt64() const {
    return readAligned<int64_t>();
}

status_t Parcel::readUint64(uint64_t* pArg) const {
    return readAligned(pArg);
}

uint64_t Parcel::readUint64() const {
    return readAligned<uint64_t>();
}

status_t Parcel::readFloat(float* pArg) const {
    return readAligned(pArg);
}

float Parcel::readFloat() const {
    return readAligned<float>();
}

status_t Parcel::readDouble(double* pArg) const {
    return readAligned(pArg);
}

double Parcel::readDouble() const {
    return readAligned<double>();
}

status_t Parcel::readBool(bool* pArg) const {
    int32_t tmp = 0;
    status_t ret = readInt32(&tmp);
    *pArg = (tmp != 0);
    return ret;
}

bool Parcel::readBool() const {
    return readInt32() != 0;
}

status_t Parcel::readChar(char16_t* pArg) const {
    int32_t tmp = 0;
    status_t ret = readInt32(&tmp);
    *pArg = char16_t(tmp);
    return ret;
}

char16_t Parcel::readChar() const {
    return char16_t(readInt32());
}

status_t Parcel::readByte(int8_t* pArg) const {
    int32_t tmp = 0;
    status_t ret = readInt32(&tmp);
    *pArg = int8_t(tmp);
    return ret;
}

int8_t Parcel::readByte() const {
    return int8_t(readInt32());
}

const char* Parcel::readCString() const {
    if (mDataPos >= mDataSize) return nullptr;
    const size_t avail = mDataSize - mDataPos;
    const char* str = reinterpret_cast<const char*>(mData + mDataPos);
    const char* eos = static_cast<const char*>(memchr(str, 0, avail));
    if (eos == nullptr) return nullptr;
    return static_cast<const char*>(readInplace(eos - str + 1));
}

String8 Parcel::readString8() const {
    String8 retString;
    if (readString8(&retString) != OK) return String8();
    return retString;
}

status_t Parcel::readString8(String8* pArg) const {
    int32_t size;
    status_t status = readInt32(&size);
    if (status != OK) return status;
    if (size < 0 || size >= INT32_MAX) return BAD_VALUE;
    if (size == 0) {
        *pArg = String8();
        return OK;
    }
    const char* str = static_cast<const char*>(readInplace(size + 1));
    if (str == nullptr) return BAD_VALUE;
    pArg->setTo(str, size);
    return OK;
}

String16 Parcel::readString16() const {
    size_t len;
    const char16_t* str = readString16Inplace(&len);
    if (str) return String16(str, len);
    return String16();
}

status_t Parcel::readString16(String16* pArg) const {
    size_t len;
    const char16_t* str = readString16Inplace(&len);
    if (str) {
        pArg->setTo(str, len);
        return OK;
    }
    *pArg = String16();
    return UNEXPECTED_NULL;
}

status_t Parcel::readString16(std::unique_ptr<String16>* pArg) const {
    const size_t start = dataPosition();
    if (readInt32() == -1) {
        pArg->reset();
        return OK;
    }
    setDataPosition(start);
    pArg->reset(new String16());
    status_t status = readString16(pArg->get());
    if (status != OK) pArg->reset();
    return status;
}

const char16_t* Parcel::readString16Inplace(size_t* outLen) const {
    int32_t size = readInt32();
    if (size >= 0 && size < INT32_MAX) {
        const size_t bytes = (static_cast<size_t>(size) + 1) * sizeof(char16_t);
        const char16_t* str = static_cast<const char16_t*>(readInplace(bytes));
        if (str != nullptr && str[size] == u'\0') {
            *outLen = static_cast<size_t>(size);
            return str;
        }
    }
    *outLen = 0;
    return nullptr;
}

status_t Parcel::readUtf8FromUtf16(std::string* str) const {
    size_t utf16Size = 0;
    const char16_t* src = readString16Inplace(&utf16Size);
    if (!src) return UNEXPECTED_NULL;
    if (utf16Size == 0u) {
        str->clear();
        return NO_ERROR;
    }
    return utf16ToUtf8(src, utf16Size, str) ? NO_ERROR : BAD_VALUE;
}

status_t Parcel::readUtf8FromUtf16(std::unique_ptr<std::string>* str) const {
    const size_t start = dataPosition();
    if (readInt32() == -1) {
        str->reset();
        return OK;
    }
    setDataPosition(start);
    str->reset(new std::string());
    status_t status = readUtf8FromUtf16(str->get());
    if (status != OK) str->reset();
    return status;
}

const flat_binder_object* Parcel::readObject(bool /*nullMetaData*/) const {
    const size_t pos = mDataPos;
    if (pos + kObjectSize > mDataSize || mObjectsSize == 0) return nullptr;
    // Objects are usually read in the order they were written; start at the hint.
    const size_t n = mObjectsSize;
    size_t i = mNextObjectHint < n ? mNextObjectHint : 0;
    for (size_t k = 0; k < n; ++k, i = (i + 1) % n) {
        if (mObjects[i] == pos) {
            mNextObjectHint = i + 1;
            mDataPos = pos + kObjectSize;
            return reinterpret_cast<const flat_binder_object*>(mData + pos);
        }
    }
    return nullptr;
}

status_t Parcel::unflattenBinder(sp<IBinder>* out) const {
    const flat_binder_object* flat = readObject(false);
    if (flat == nullptr) return BAD_TYPE;
    const flat_binder_object obj = *flat;
    if (obj.hdr_type != HOST_OBJ_BINDER) return BAD_TYPE;
    sp<IBinder> binder = reinterpret_cast<IBinder*>(static_cast<uintptr_t>(obj.binder));
    return finishUnflattenBinder(binder, out);
}

status_t Parcel::finishUnflattenBinder(const sp<IBinder>& binder, sp<IBinder>* out) const {
    int32_t stability;
    status_t status = readInt32(&stability);
    if (status != OK) return status;
    *out = binder;
    return OK;
}

sp<IBinder> Parcel::readStrongBinder() const {
    sp<IBinder> val;
    readNullableStrongBinder(&val);
    return val;
}

status_t Parcel::readStrongBinder(sp<IBinder>* val) const {
    status_t status = readNullableStrongBinder(val);
    if (status == OK && !val->get()) status = UNEXPECTED_NULL;
    return status;
}

status_t Parcel::readNullableStrongBinder(sp<IBinder>* val) const {
    return unflattenBinder(val);
}

status_t Parcel::readStrongBinderVector(std::vector<sp<IBinder>>* val) const {
    int32_t size;
    status_t err = readInt32(&size);
    if (err != NO_ERROR) return err;
    if (size < 0) return UNEXPECTED_NULL;
    // Each element takes an object record and its stability word.
    if (static_cast<size_t>(size) > dataAvail() / (kObjectSize + sizeof(int32_t))) {
        return BAD_VALUE;
    }
    std::vector<sp<IBinder>> result(static_cast<size_t>(size));
    for (auto& b : result) {
        err = readStrongBinder(&b);
        if (err != NO_ERROR) return err;
    }
    val->swap(result);
    return NO_ERROR;
}

status_t Parcel::readStrongBinderVector(std::unique_ptr<std::vector<sp<IBinder>>>* val) const {
    const size_t start = dataPosition();
    int32_t size;
    status_t err = readInt32(&size);
    if (err != NO_ERROR) return err;
    if (size < 0) {
        val->reset();
        return OK;
    }
    setDataPosition(start);
    val->reset(new std::vector<sp<IBinder>>());
    err = readStrongBinderVector(val->get());
    if (err != OK) val->reset();
    return err;
}

int Parcel::readFileDescriptor() const {
    const flat_binder_object* flat = readObject(true);
    if (flat == nullptr) return BAD_TYPE;
    const flat_binder_object obj = *flat;
    if (obj.hdr_type != HOST_OBJ_FD) return BAD_TYPE;
    return static_cast<int>(obj.binder);
}

status_t Parcel::readUniqueFileDescriptor(base::unique_fd* val) const {
    int got = readFileDescriptor();
    if (got == BAD_TYPE) return BAD_TYPE;
    val->reset(fcntl(got, F_DUPFD_CLOEXEC, 0));
    if (val->get() < 0) return BAD_VALUE;
    return OK;
}

uintptr_t Parcel::ipcData() const {
    return reinterpret_cast<uintptr_t>(mData);
}

size_t Parcel::ipcDataSize() const {
    return dataSize();
}

uintptr_t Parcel::ipcObjects() const {
    return reinterpret_cast<uintptr_t>(mObjects);
}

size_t Parcel::ipcObjectsCount() const {
    return mObjectsSize;
}

// On the host a received Parcel adopts the buffers: data and objects come from malloc and the
// object records already hold their references, exactly as if written here. relFunc, when
// given, is called instead of freeing them.
void Parcel::ipcSetDataReference(const uint8_t* data, size_t dataSize, const binder_size_t* objects,
                                 size_t objectsCount, release_func relFunc, void* relCookie) {
    freeDataNoInit();
    initState();
    mData = const_cast<uint8_t*>(data);
    mDataSize = mDataCapacity = dataSize;
    mObjects = const_cast<binder_size_t*>(objects);
    mObjectsSize = mObjectsCapacity = objectsCount;
    mOwner = relFunc;
    mOwnerCookie = relCookie;
    mFdsKnown = false;
}

void Parcel::releaseObjects() {
    for (size_t i = 0; i < mObjectsSize; ++i) releaseObject(objectAt(mData, mObjects[i]), this);
}

void Parcel::acquireObjects() {
    for (size_t i = 0; i < mObjectsSize; ++i) acquireObject(objectAt(mData, mObjects[i]), this);
}

void Parcel::freeDataNoInit() {
    if (mOwner != nullptr) {
        mOwner(this, mData, mDataSize, mObjects, mObjectsSize, mOwnerCookie);
    } else {
        releaseObjects();
        free(mData);
        free(mObjects);
    }
}

void Parcel::initState() {
    mError = NO_ERROR;
    mData = nullptr;
    mDataSize = 0;
    mDataCapacity = 0;
    mDataPos = 0;
    mObjects = nullptr;
    mObjectsSize = 0;
    mObjectsCapacity = 0;
    mNextObjectHint = 0;
    mObjectsSorted = false;
    mRequestHeaderPresent = false;
    mWorkSourceRequestHeaderPosition = 0;
    mFdsKnown = true;
    mHasFds = false;
    mAllowFds = true;
    mOwner = nullptr;
    mOwnerCookie = nullptr;
    mOpenAshmemSize = 0;
}

}  // namespace android
