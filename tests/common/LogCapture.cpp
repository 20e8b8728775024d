#include "common/LogCapture.h"

#include <string.h>

#include <atomic>
#include <mutex>

namespace tonvale_test {

namespace {

std::mutex gLock;
std::vector<std::string> gLines;
std::atomic<int> gPriority{ANDROID_LOG_DEBUG};
int gSavedMinimum = ANDROID_LOG_DEFAULT;

void capture(const struct __android_logger_data* data, const char* message) {
    if (data->priority != gPriority || data->tag == nullptr ||
        strcmp(data->tag, "KesService") != 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(gLock);
    gLines.push_back(message);
}

}  // namespace

LogCapture::LogCapture(android_LogPriority priority) {
    clear();
    gPriority = priority;
    gSavedMinimum = __android_log_set_minimum_priority(ANDROID_LOG_DEBUG);
    __android_log_set_logger(capture);
}

LogCapture::~LogCapture() {
    __android_log_set_logger(__android_log_logd_logger);
    __android_log_set_minimum_priority(gSavedMinimum);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(gLock);
    return gLines;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(gLock);
    gLines.clear();
}

size_t LogCapture::count(const std::string& part) const {
    size_t n = 0;
    for (const std::string& line : lines()) n += line.find(part) != std::string::npos;
    return n;
}

}  // namespace tonvale_test
