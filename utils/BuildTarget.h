#pragma once

namespace android {

/**
 * Whether this is a build for Android (bionic, the binder driver) or for a Linux host. It is
 * the one place the product asks: what differs between the two is data that both builds
 * compile and test, and the code picks with this constant. It is fixed when the binary is
 * built, as nothing read at run time (environment, files) could tell it safely in a root
 * daemon that its caller's environment reaches.
 */
#ifdef __ANDROID__
constexpr bool kAndroidBuild = true;
#else
constexpr bool kAndroidBuild = false;
#endif

}  // namespace android
