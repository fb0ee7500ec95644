#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One element of a packet array: a string (sent in the legacy code page) or raw data (sent as
// its bytes). Element 0 of an array is the packet type word; "*" marks an empty field.
class PacketField {
public:
    PacketField() = default;
    PacketField(const QString &text) : m_text(text) {}
    PacketField(QString &&text) : m_text(std::move(text)) {}
    PacketField(const char *text) : m_text(QString::fromUtf8(text)) {}
    PacketField(const QByteArray &data) : m_data(data), m_isData(true) {}
    PacketField(QByteArray &&data) : m_data(std::move(data)), m_isData(true) {}

    bool isData() const { return m_isData; }
    bool isString() const { return !m_isData; }
    // The string of a string field; for a data field its bytes read as UTF-8.
    QString toString() const { return m_isData ? QString::fromUtf8(m_data) : m_text; }
    // The bytes of a data field; for a string field its UTF-8 bytes.
    QByteArray toData() const { return m_isData ? m_data : m_text.toUtf8(); }
    // Length in the element's own units (bytes or UTF-16 units); 0 means empty.
    qsizetype length() const { return m_isData ? m_data.size() : m_text.size(); }

    bool operator==(const PacketField &other) const = default;

private:
    QString m_text;
    QByteArray m_data;
    bool m_isData = false;
};

using PacketArray = QList<PacketField>;
