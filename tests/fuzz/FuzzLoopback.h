#pragma once

#include <QByteArray>
#include <QString>

#include "FuzzWorld.h"

#include <chrono>
#include <cstdint>

// What the targets that talk to the program over loopback share: raw peers made with POSIX
// calls, and waits that run the main queue meanwhile.

// A listening TCP socket on 127.0.0.1 with a free port; the port is put in `port`.
int fuzzListen(std::uint16_t *port);
// A connected TCP socket to 127.0.0.1:port (a blocking one).
int fuzzConnect(std::uint16_t port);
// The next connection of the listener; -1 when none is waiting on a non-blocking one.
int fuzzAccept(int listener);
// Sends everything, running the main queue while the socket is full; stops early when the
// other side is gone.
void fuzzSendAll(int fd, const QByteArray &data);
// Reads whatever is there; true once the other side has closed (or the connection failed).
bool fuzzClosedBy(int fd);
// Reads whatever is there; true when anything came.
bool fuzzReadAny(int fd);
// Empties the folder, however deep, without following links; the folder itself stays.
void fuzzEmptyFolder(const QString &path);

// Runs the main queue, then waits (briefly) for a block handed over by a socket, or for the
// descriptor fd (when not -1) to have one of the events.
void fuzzRunMainQueue(int fd = -1, short events = 0);
// The wait that ran out is named by its place in the target.
[[noreturn]] void fuzzHung(const char *file, int line);
// Runs the main queue until the condition holds; every exchange of a target ends well within
// the bound, so reaching it is a hang. A condition that changes in the kernel (a peer's close,
// bytes arriving, a connection to accept) names its descriptor and events, so the wait for it
// ends as soon as the kernel has it.
template <class F>
void fuzzRunUntilReady(int fd, short events, F done, std::chrono::seconds bound = std::chrono::seconds(5),
                       const char *file = __builtin_FILE(), int line = __builtin_LINE()) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) fuzzHung(file, line);
        fuzzRunMainQueue(fd, events);
    }
    // What the last turn handed over; anything later waits for the next run of the queue.
    FuzzWorld::drain();
}
template <class F>
void fuzzRunUntil(F done, std::chrono::seconds bound = std::chrono::seconds(5), const char *file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
    fuzzRunUntilReady(-1, 0, done, bound, file, line);
}
