#include "ui/main/Customizer.h"

#include "platform/strings/Strings.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

const QString Customizer::baseProductName = QStringLiteral("Orvelan LAN Messenger");
const QString Customizer::productName = QStringLiteral("Murnavell");
const QString Customizer::baseImageWord = QStringLiteral("orvelan");

QString Customizer::replaced(const QString &text) {
    QString s = text;
    return s.replace(baseProductName, productName, Qt::CaseSensitive);
}

void Customizer::replaceProductName(QObject *object, const char *property) {
    const QVariant value = object->property(property);
    if (value.typeId() != QMetaType::QString) return;
    const QString text = value.toString();
    if (text.contains(baseProductName, Qt::CaseSensitive)) object->setProperty(property, replaced(text));
}

void Customizer::customizeMenu(QMenuBar *mainMenu) {
    if (!mainMenu) return;
    const QList<QAction *> menus = mainMenu->actions();
    if (!menus.isEmpty() && menus.first()->menu()) {
        // The About item of the application menu; a menu without one is left as it is.
        for (QAction *item : menus.first()->menu()->actions()) {
            if (item->menuRole() != QAction::AboutRole && item->objectName() != QLatin1String("actionAbout"))
                continue;
            item->setText(Strings::localized(QStringLiteral("MainMenu"), QStringLiteral("ut2-F9-EU6.label")) +
                          QLatin1Char(' ') + baseProductName);
            break;
        }
    }
    for (QAction *action : menus) {
        replaceProductName(action, "text");
        if (QMenu *menu = action->menu()) {
            replaceProductName(menu, "title");
            customizeMenuItems(menu);
        }
    }
}

void Customizer::customizeMenuItems(QMenu *menu) {
    for (QAction *item : menu->actions()) {
        replaceProductName(item, "text");
        if (QMenu *sub = item->menu()) {
            replaceProductName(sub, "title");
            customizeMenuItems(sub);
        }
    }
}

void Customizer::customizeWindow(QWidget *window) {
    if (!window) return;
    replaceProductName(window, "windowTitle");
    customizeSubviews(window);
}

void Customizer::customizeSubviews(QWidget *view) {
    for (QObject *child : view->children()) {
        auto *widget = qobject_cast<QWidget *>(child);
        if (!widget || widget->isWindow()) continue;
        // An image label: its image is chosen by name.
        const QString imageName = widget->property("imageName").toString();
        if (auto *label = qobject_cast<QLabel *>(widget); label && !imageName.isEmpty()) {
            if (imageName.contains(baseImageWord)) {
                QString name = imageName;
                name.replace(baseImageWord, productName);
                label->setProperty("imageName", name);
                const QIcon image(QStringLiteral(":/images/") + name + QStringLiteral(".svg"));
                const QSize size = label->minimumSize().isEmpty() ? QSize(64, 64) : label->minimumSize();
                label->setPixmap(image.pixmap(size.boundedTo(QSize(512, 512))));
            }
            continue;
        }
        // Controls: their own text; what is inside them is theirs.
        if (qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget) ||
            qobject_cast<QLineEdit *>(widget)) {
            replaceProductName(widget, "text");
            continue;
        }
        if (qobject_cast<QGroupBox *>(widget)) replaceProductName(widget, "title");
        if (qobject_cast<QComboBox *>(widget) || qobject_cast<QTextEdit *>(widget) ||
            qobject_cast<QPlainTextEdit *>(widget))
            continue;
        customizeSubviews(widget);
    }
}

void Customizer::customizeTextView(QWidget *textView) {
    QTextDocument *document = nullptr;
    if (auto *edit = qobject_cast<QTextEdit *>(textView)) document = edit->document();
    if (auto *plain = qobject_cast<QPlainTextEdit *>(textView)) document = plain->document();
    if (!document) return;
    QTextCursor at(document);
    // Each found occurrence is replaced where it stands, so its formats stay.
    while (!(at = document->find(baseProductName, at)).isNull()) at.insertText(productName);
}
