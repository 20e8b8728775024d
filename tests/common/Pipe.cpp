#include "common/Pipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tonvale_test {

Pipe::Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        mRead = fds[0];
        mWrite = fds[1];
    }
}

Pipe Pipe::socketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Pipe(-1, -1);
    return Pipe(fds[0], fds[1]);
}

Pipe::Pipe(Pipe&& other) : mRead(other.mRead), mWrite(other.mWrite) {
    other.mRead = other.mWrite = -1;
}

Pipe& Pipe::operator=(Pipe&& other) {
    if (this != &other) {
        closeRead();
        closeWrite();
        mRead = other.mRead;
        mWrite = other.mWrite;
        other.mRead = other.mWrite = -1;
    }
    return *this;
}

Pipe::~Pipe() {
    closeRead();
    closeWrite();
}

void Pipe::closeRead() {
    if (mRead >= 0) close(mRead);
    mRead = -1;
}

void Pipe::closeWrite() {
    if (mWrite >= 0) close(mWrite);
    mWrite = -1;
}

int Pipe::takeRead() {
    const int fd = mRead;
    mRead = -1;
    return fd;
}

void Pipe::fill() {
    const int flags = fcntl(mWrite, F_GETFL);
    fcntl(mWrite, F_SETFL, flags | O_NONBLOCK);
    char chunk[4096] = {};
    while (write(mWrite, chunk, sizeof(chunk)) > 0) {
    }
    fcntl(mWrite, F_SETFL, flags);
}

std::string Pipe::drain() {
    closeWrite();
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(mRead, buf, sizeof(buf))) > 0) all.append(buf, n);
    return all;
}

}  // namespace tonvale_test
