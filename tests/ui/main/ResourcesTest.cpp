// The application's own images, sounds and strings: each one the interface names is there,
// status images differ by shape and not only by colour, and the ring loops without a click.
#include "platform/strings/Strings.h"
#include "support/Screenshots.h"
#include "ui/main/MainInterface.h"
#include "ui/system/PlaySound.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QtEndian>
#include <gtest/gtest.h>

#include <cmath>

namespace {

const char *const kImages[] = {"Offline", "Normal", "Away", "Dnd", "Group", "AppIcon", "Murnavell"};

// The image drawn at a size in pixels on transparency.
QImage render(const char *name, int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    MainInterface::image(QString::fromLatin1(name)).paint(&painter, image.rect());
    return image;
}

TEST(Resources, EveryImageDrawsAtOneAndTwoTimesSixteenPixels) {
    for (const char *name : kImages)
        for (int pixels : {16, 32}) {
            const QImage image = render(name, pixels);
            int opaque = 0;
            for (int y = 0; y < pixels; ++y)
                for (int x = 0; x < pixels; ++x) opaque += qAlpha(image.pixel(x, y)) > 200;
            EXPECT_GT(opaque, pixels * pixels / 8) << name << " at " << pixels;
        }
}

// Seen in grey (as by someone who cannot tell red from green) every status still looks different.
TEST(Resources, StatusImagesDifferInShapeNotOnlyInColour) {
    const char *statuses[] = {"Offline", "Normal", "Away", "Dnd"};
    auto grey = [](const char *name) { return render(name, 16).convertToFormat(QImage::Format_Grayscale8); };
    for (const char *a : statuses)
        for (const char *b : statuses) {
            if (a >= b) continue;
            const QImage ga = grey(a), gb = grey(b);
            int different = 0;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x)
                    different += std::abs(qGray(ga.pixel(x, y)) - qGray(gb.pixel(x, y))) > 60 ||
                                 std::abs(qAlpha(ga.pixel(x, y)) - qAlpha(gb.pixel(x, y))) > 100;
            EXPECT_GE(different, 8) << a << " and " << b;
        }
}

struct Wave {
    int channels = 0, bits = 0, rate = 0;
    QByteArray samples;
    double seconds() const {
        return rate && channels && bits ? double(samples.size()) / (rate * channels * bits / 8) : 0;
    }
    int sample(qsizetype i) const { return qFromLittleEndian<qint16>(samples.constData() + 2 * i); }
    qsizetype count() const { return samples.size() / 2; }
};

Wave readWave(const QString &path) {
    Wave wave;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return wave;
    const QByteArray data = file.readAll();
    if (data.size() < 12 || !data.startsWith("RIFF") || data.mid(8, 4) != "WAVE") return wave;
    for (qsizetype at = 12; at + 8 <= data.size();) {
        const QByteArray id = data.mid(at, 4);
        const quint32 size = qFromLittleEndian<quint32>(data.constData() + at + 4);
        if (at + 8 + qsizetype(size) > data.size()) break;
        if (id == "fmt " && size >= 16) {
            wave.channels = qFromLittleEndian<quint16>(data.constData() + at + 10);
            wave.rate = int(qFromLittleEndian<quint32>(data.constData() + at + 12));
            wave.bits = qFromLittleEndian<quint16>(data.constData() + at + 22);
        } else if (id == "data") {
            wave.samples = data.mid(at + 8, size);
        }
        at += 8 + size + (size & 1);
    }
    return wave;
}

TEST(Resources, SoundsAreShortWavesAndTheRingLoopsCleanly) {
    const struct {
        const char *name;
        double maxSeconds;
    } sounds[] = {{"Message", 1.0}, {"Broadcast", 1.0}, {"Online", 1.0}, {"File", 1.0}, {"Call", 4.0}};
    for (const auto &s : sounds) {
        const QString path = PlaySound::resource(QString::fromLatin1(s.name));
        ASSERT_FALSE(path.isEmpty()) << s.name;
        const Wave wave = readWave(path);
        EXPECT_EQ(wave.channels, 1) << s.name;
        EXPECT_EQ(wave.bits, 16) << s.name;
        EXPECT_GT(wave.seconds(), 0.1) << s.name;
        EXPECT_LE(wave.seconds(), s.maxSeconds) << s.name;
        // Every sound starts and ends at rest (no click) and fades in.
        ASSERT_GT(wave.count(), 0) << s.name;
        EXPECT_LT(std::abs(wave.sample(0)), 330) << s.name;
        EXPECT_LT(std::abs(wave.sample(wave.count() - 1)), 330) << s.name;
        int peak = 0, opening = 0;
        for (qsizetype i = 0; i < wave.count(); ++i) peak = std::max(peak, std::abs(wave.sample(i)));
        for (qsizetype i = 0; i < wave.rate / 1000; ++i)
            opening = std::max(opening, std::abs(wave.sample(i)));
        EXPECT_LT(opening, peak / 4) << s.name << ": the first millisecond fades in";
    }
    // The ring's period ends in silence, which is where the next one joins.
    const Wave ring = readWave(PlaySound::resource("Call"));
    for (qsizetype i = ring.count() - ring.rate / 2; i < ring.count(); ++i)
        ASSERT_LT(std::abs(ring.sample(i)), 50) << "ring sample " << i;
    EXPECT_TRUE(PlaySound::resource("NoSuchSound").isEmpty());
}

TEST(Resources, MainMenuTableHasItsEnglishTexts) {
    EXPECT_EQ(Strings::localized("MainMenu", "ut2-F9-EU6.label"), "About");
    EXPECT_EQ(Strings::localized("MainMenu", "no-such-id"), "no-such-id");
}

// A sheet of every image at 1× and 2× on a light and a dark ground, to look at.
TEST(Resources, ImageSheetScreenshot) {
    QImage sheet(40 * int(std::size(kImages)) + 8, 120, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.fillRect(0, 60, sheet.width(), 60, QColor(0x30, 0x30, 0x30));
    int x = 8;
    for (const char *name : kImages) {
        for (int row = 0; row < 2; ++row) {
            painter.drawImage(x, 8 + 60 * row, render(name, 16));
            painter.drawImage(x, 28 + 60 * row, render(name, 32));
        }
        x += 40;
    }
    painter.end();
    QLabel view;
    view.setPixmap(QPixmap::fromImage(sheet));
    view.resize(sheet.size());
    EXPECT_FALSE(Screenshots::save(&view, "images", "sheet").isEmpty());
}

} // namespace
