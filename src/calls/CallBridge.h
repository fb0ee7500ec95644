#pragma once

#include <QObject>
#include <QVariant>
#include <QVariantList>

#include <functional>

// The object the call page reaches as window.webkit.messageHandlers.OrvelanRTC: offered to the
// page through QWebChannel, it hands every message the page posts, as a list of texts, to its
// receiver.
class CallBridge : public QObject {
    Q_OBJECT
public:
    // The name the page knows the object by.
    static QString handlerName() { return QStringLiteral("OrvelanRTC"); }
    // A post of more elements, or with a longer element, is not the page's own and is dropped.
    static constexpr int MaxElements = 8;
    static constexpr qsizetype MaxElementLength = 1024 * 1024;

    using Receiver = std::function<void(const QVariantList &body)>;
    explicit CallBridge(Receiver receiver, QObject *parent = nullptr);

    // The script that gives the page its handler once the channel is up (with the channel's
    // own client script in front); it runs before the page's own script.
    static QString pageScript();

    // From the page: [name, data], texts.
    Q_INVOKABLE void postMessage(const QVariant &body);

private:
    Receiver m_receiver;
};
