#pragma once

#include <string>

namespace tonvale_test {

// What the client's lookup prints on standard output: a line before each retry, and a last
// text without a newline when the service cannot be found.
inline const std::string kRetryLine = "Tonvale is not working, retry...\n";
inline const std::string kOfflineText = "Tonvale is offline, check service status and selinux";

}  // namespace tonvale_test
