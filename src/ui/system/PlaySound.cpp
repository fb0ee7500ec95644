#include "ui/system/PlaySound.h"

#include "core/app/AppInterface.h"

#include <QAudioDevice>
#include <QFile>
#include <QHash>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

namespace {

// The speakers. A sound effect loops its samples without the gap a media player leaves, and one
// effect per short sound is kept for the run: loading it again for every message would lag.
class SpeakerOutput : public SoundOutput {
public:
    class EffectLoop : public Loop {
    public:
        explicit EffectLoop(QSoundEffect *effect) : m_effect(effect) {}
        ~EffectLoop() override { stop(); }
        void stop() override {
            if (!m_effect) return;
            m_effect->stop();
            m_effect.release()->deleteLater();
        }

    private:
        std::unique_ptr<QSoundEffect> m_effect;
    };

    void play(const QString &resource) override {
        if (!haveOutput()) return;
        QSoundEffect *&effect = m_effects[resource];
        if (!effect) {
            effect = new QSoundEffect;
            effect->setSource(QUrl(QStringLiteral("qrc") + resource));
        }
        effect->play();
    }
    std::unique_ptr<Loop> start(const QString &resource, bool loop) override {
        if (!haveOutput()) return nullptr;
        auto *effect = new QSoundEffect;
        effect->setSource(QUrl(QStringLiteral("qrc") + resource));
        effect->setLoopCount(loop ? int(QSoundEffect::Infinite) : 1);
        effect->play();
        return std::make_unique<EffectLoop>(effect);
    }

private:
    static bool haveOutput() { return !QMediaDevices::audioOutputs().isEmpty(); }
    QHash<QString, QSoundEffect *> m_effects;
};

SoundOutput *&installedOutput() {
    static SoundOutput *output = nullptr;
    return output;
}

} // namespace

void PlaySound::setOutput(SoundOutput *output) { installedOutput() = output; }

SoundOutput *PlaySound::output() {
    if (SoundOutput *o = installedOutput()) return o;
    static SpeakerOutput speakers;
    return &speakers;
}

QString PlaySound::resource(const QString &name, const QString &extension) {
    if (name.isEmpty() || name.contains(u'/')) return {};
    for (const QString &ext : {extension, QStringLiteral("wav")}) {
        const QString path = QStringLiteral(":/sounds/") + name + u'.' + ext;
        if (QFile::exists(path)) return path;
    }
    return {};
}

void PlaySound::Play(const QString &name) {
    if (AppInterface::current()->isCallLive(nullptr, nullptr)) return;
    const QString path = resource(name);
    if (!path.isEmpty()) output()->play(path);
}

std::unique_ptr<PlaySound> PlaySound::PlayMP3(const QString &name, bool loop) {
    const QString path = resource(name, QStringLiteral("mp3"));
    if (path.isEmpty()) return nullptr;
    std::unique_ptr<PlaySound> sound(new PlaySound);
    sound->m_player = output()->start(path, loop);
    return sound;
}

void PlaySound::Stop() {
    if (!m_player) return;
    m_player->stop();
    m_player.reset();
}

PlaySound::~PlaySound() { Stop(); }
