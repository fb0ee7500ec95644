#include "ui/system/PlaySound.h"

#include "core/app/AppInterface.h"

#include <QAudioDevice>
#include <QFile>
#include <QHash>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

namespace {

bool haveOutput() { return !QMediaDevices::audioOutputs().isEmpty(); }

// The ring: a sound effect loops its samples without the gap a media player leaves.
QSoundEffect *&loopEffect() {
    static QSoundEffect *effect = nullptr;
    return effect;
}

} // namespace

QString PlaySound::resource(const QString &name) {
    const QString path = QStringLiteral(":/sounds/") + name + QStringLiteral(".wav");
    return QFile::exists(path) ? path : QString();
}

void PlaySound::Play(const QString &name) {
    if (AppInterface::current()->isCallLive(nullptr, nullptr)) return;
    const QString path = resource(name);
    if (path.isEmpty() || !haveOutput()) return;
    // One effect per sound, kept for the run: loading it again for every message would lag.
    static QHash<QString, QSoundEffect *> effects;
    QSoundEffect *&effect = effects[name];
    if (!effect) {
        effect = new QSoundEffect;
        effect->setSource(QUrl(QStringLiteral("qrc") + path));
    }
    effect->play();
}

void PlaySound::PlayMP3(const QString &name, bool loop) {
    const QString path = resource(name);
    if (path.isEmpty() || !haveOutput()) return;
    QSoundEffect *&effect = loopEffect();
    if (!effect) effect = new QSoundEffect;
    effect->stop();
    effect->setSource(QUrl(QStringLiteral("qrc") + path));
    effect->setLoopCount(loop ? int(QSoundEffect::Infinite) : 1);
    effect->play();
}

void PlaySound::Stop() {
    if (QSoundEffect *effect = loopEffect()) effect->stop();
}

bool PlaySound::isPlayingLoop() {
    QSoundEffect *effect = loopEffect();
    return effect && effect->isPlaying();
}
