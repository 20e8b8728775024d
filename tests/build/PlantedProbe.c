/*
 * Planted under the names of the tool's libraries in the directory a test runs the tool in:
 * should the loader ever take it, its constructor leaves a marker there.
 */
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void markLoaded(void) {
    int fd = open("planted-library-was-loaded", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}
