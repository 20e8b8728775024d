#pragma once

#include <android/log.h>

#include <string>
#include <vector>

namespace tonvale_test {

/**
 * Collects the service's log lines (its tag, at one priority) while it lives; the default
 * logger comes back at its end. One at a time.
 */
class LogCapture {
public:
    explicit LogCapture(android_LogPriority priority = ANDROID_LOG_DEBUG);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    /** How many lines hold part. */
    size_t count(const std::string& part) const;
    void clear();
};

}  // namespace tonvale_test
