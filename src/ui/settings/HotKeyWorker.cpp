#include "ui/settings/HotKeyWorker.h"

HotKeyWorker::HotKeyWorker(QObject *parent) : QObject(parent) {}

void HotKeyWorker::trigger() {
    if (m_action) m_action();
}
