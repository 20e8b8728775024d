#pragma once

#include <string>

namespace tonvale_test {

/** Both ends of a pipe or a socket pair (close-on-exec), closed on every path. */
class Pipe {
public:
    /** A pipe; both ends are -1 when it could not be made. */
    Pipe();
    /** A connected pair of Unix stream sockets instead of a pipe. */
    static Pipe socketPair();
    Pipe(Pipe&& other);
    Pipe& operator=(Pipe&& other);
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe();

    bool ok() const { return mRead >= 0 && mWrite >= 0; }
    int readEnd() const { return mRead; }
    int writeEnd() const { return mWrite; }
    void closeRead();
    void closeWrite();
    /** Hands the reading end over to the caller, who closes it. */
    int takeRead();

    /** Fills the writing end until a write would block; the end stays blocking. */
    void fill();
    /** Closes the writing end and returns everything left to read. */
    std::string drain();

private:
    Pipe(int read, int write) : mRead(read), mWrite(write) {}

    int mRead = -1;
    int mWrite = -1;
};

}  // namespace tonvale_test
