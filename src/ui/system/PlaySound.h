#pragma once

#include <QString>

// The application's sounds, by name: "Message", "Broadcast", "Online" and "File" are short WAV
// files, and so is the ring "Call", one period of a loop that repeats without a gap. Nothing plays where
// there is no audio output or the sound does not exist.
class PlaySound {
public:
    // The resource of a named sound (empty when there is none).
    static QString resource(const QString &name);
    // Plays a short sound once, unless a call is in progress.
    static void Play(const QString &name);
    // Plays the named sound (the ring), over and over with `loop`, until Stop().
    static void PlayMP3(const QString &name, bool loop);
    static void Stop();
    // Whether the ring is playing.
    static bool isPlayingLoop();
};
