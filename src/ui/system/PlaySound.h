#pragma once

#include "ui/system/SoundOutput.h"

#include <QString>

#include <memory>

// The application's sounds, by name: "Message", "Broadcast", "Online" and "File" are short
// sounds, "Call" is the ring, one period of a loop that repeats without a gap. The callers test
// the sound settings; this class does not. Nothing plays where there is no audio output or the
// sound does not exist.
class PlaySound {
public:
    // The resource of a named sound with the extension, or with ".wav" when the bundle has no
    // file of that type (the sounds are all made as WAV); empty when there is none.
    static QString resource(const QString &name, const QString &extension = QStringLiteral("wav"));
    // Plays a short sound once, unless a call is in progress.
    static void Play(const QString &name);
    // Plays the named sound (the ring), also during calls, over and over with `loop`, until the
    // returned object is stopped or dropped. Null when there is nothing to play.
    static std::unique_ptr<PlaySound> PlayMP3(const QString &name, bool loop);
    void Stop();
    bool isPlaying() const { return m_player != nullptr; }

    // Where sounds go; null restores the speakers (Qt Multimedia). Not owned.
    static void setOutput(SoundOutput *output);
    static SoundOutput *output();

    ~PlaySound();

private:
    PlaySound() = default;
    std::unique_ptr<SoundOutput::Loop> m_player;
};
