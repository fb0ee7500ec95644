#pragma once

#include <QString>

#include <memory>

// Where PlaySound's sounds go: Qt Multimedia in the application, a recorder in tests.
class SoundOutput {
public:
    // A sound that keeps playing (the ring) until stopped or dropped.
    class Loop {
    public:
        virtual ~Loop() = default;
        virtual void stop() = 0;
    };

    virtual ~SoundOutput() = default;
    // Plays a resource (":/sounds/Message.wav") once.
    virtual void play(const QString &resource) = 0;
    // Starts a resource, repeated without end when `loop` is set.
    virtual std::unique_ptr<Loop> start(const QString &resource, bool loop) = 0;
};
