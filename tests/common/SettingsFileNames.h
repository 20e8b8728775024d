#pragma once

#include <iterator>
#include <set>
#include <string>

namespace tonvale_test {

// The five settings files, named as devices have them: a rename loses every stored setting.
inline const char kSwitchFile[] = "tonvale_config.prof";
inline const char kProfileFile[] = "tonvale_volume_profile.prof";
inline const char kMutedFile[] = "tonvale_muted_profile.prof";
inline const char kWeakProfileFile[] = "tonvale_weakkeyed_profile.prof";
inline const char kWeakMutedFile[] = "tonvale_weakkeyed_muted.prof";
inline const char* const kSettingsFileNames[] = {kSwitchFile, kProfileFile, kMutedFile,
                                                 kWeakProfileFile, kWeakMutedFile};
inline const std::set<std::string> kSettingsFiles(std::begin(kSettingsFileNames),
                                                  std::end(kSettingsFileNames));

}  // namespace tonvale_test
