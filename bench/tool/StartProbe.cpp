// An empty program for timing a process start: the C++ runtime alone, or with PROBE_LIBUTILS
// also libutils, so the loader brings in what libutils brings in (libbacktrace, libbase and
// p7zip's 7z.so on Debian).
#include <string>
#ifdef PROBE_LIBUTILS
#include <utils/String8.h>
#endif

int main(int argc, char** argv) {
#ifdef PROBE_LIBUTILS
    android::String8 name(argv[0]);
    return name.size() == 0 && argc > 99;
#else
    std::string name(argv[0]);
    return name.empty() && argc > 99;
#endif
}
