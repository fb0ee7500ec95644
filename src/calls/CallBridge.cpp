#include "calls/CallBridge.h"

#include <QFile>

CallBridge::CallBridge(Receiver receiver, QObject *parent)
    : QObject(parent), m_receiver(std::move(receiver)) {}

QString CallBridge::pageScript() {
    QFile client(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    QString script;
    if (client.open(QIODevice::ReadOnly)) script = QString::fromUtf8(client.readAll());
    // The page keeps its posts until the handler is there, so it may come late. Frozen, so
    // nothing in the page can put another handler in its place.
    script += QStringLiteral(R"js(
;(function () {
  'use strict';
  if (!window.qt || !window.qt.webChannelTransport) return;
  new QWebChannel(window.qt.webChannelTransport, function (channel) {
    var bridge = channel.objects.%1;
    var handler = Object.freeze({ postMessage: function (body) { bridge.postMessage(body); } });
    Object.defineProperty(window, 'webkit', {
      value: Object.freeze({ messageHandlers: Object.freeze({ %1: handler }) }),
      writable: false, configurable: false });
  });
})();
)js")
                  .arg(handlerName());
    return script;
}

void CallBridge::postMessage(const QVariant &body) {
    if (body.typeId() != QMetaType::QVariantList) return;
    const QVariantList list = body.toList();
    if (list.isEmpty() || list.size() > MaxElements) return;
    QVariantList texts;
    for (const QVariant &element : list) {
        const QString text = element.toString();
        if (text.size() > MaxElementLength) return;
        texts.append(text);
    }
    if (m_receiver) m_receiver(texts);
}
