#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

// One object of the old XML store, read into plain values: the entity under its model name,
// its id within the document, its attributes under their model names (QString, bool, qint64,
// double, QDateTime in UTC, QByteArray) and its relationships as lists of ids.
struct XmlStoreObject {
    QString entity;
    QString id;
    QHash<QString, QVariant> attributes;
    QHash<QString, QStringList> relationships;
};
