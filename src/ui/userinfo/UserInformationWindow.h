#pragma once

#include "core/model/User.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QWidget>

#include <memory>

class ManagedObject;
class QColor;
class QTabWidget;
class QTextBrowser;
class QToolButton;

namespace Ui {
class UserInformation;
} // namespace Ui

// One peer's details: a personal text (name, department, job title, further information, status,
// idle time, id) and a system text (computer, logon name, address, system, messenger version,
// terminal-server connection), each a list of "label: value" lines rebuilt whenever the user's
// record changes. Making one asks the peer for fresh details ("TRI"), whose answer updates the
// record and so the window.
//
// Two modes: a full window with two tabs, at most one per user (the user's userInfoWindow), and
// the card: a borderless tool-tip window with the personal text only, shown while the pointer
// rests on a user in the tree and closing itself once the pointer has left it; its pin button
// turns it into the user's full window. At most one card exists in the process (the current card).
//
// Ownership: the controller owns its window and deletes itself (deleteLater) when the window
// closes; a window whose user is deleted from the store closes.
class UserInformationWindow : public QObject {
    Q_OBJECT
public:
    // How long the card waits before it checks whether the pointer has left it.
    static constexpr int CloseDelayMs = 500;

    // Asks the peer for fresh details and watches the user's record.
    explicit UserInformationWindow(User *user);
    ~UserInformationWindow() override;

    // The user's full window, made (and stored in the user) when missing, filled and brought
    // forward. Null for a missing or deleted user.
    static UserInformationWindow *showForUser(User *user);
    // The card of the user at a point of the screen (the pointer's place over the user's row):
    // any other card closes, the new one becomes the current card and shows just below the point.
    static UserInformationWindow *showCardForUser(User *user, const QPoint &screenPoint);
    // The current card, or null.
    static UserInformationWindow *currentCard();
    // Closes the current card, whichever it is; nothing when there is none.
    static void closeToolTip();

    User *user() const { return m_user; }
    QWidget *window() const { return m_window; }
    QTabWidget *tabView() const;
    QTextBrowser *personalTextView() const;
    QTextBrowser *systemTextView() const;
    QToolButton *pinButton() const;
    bool isCard() const { return m_card; }

    // Fills both texts, fits the height, keeps the window on its screen and shows it.
    void showWindow();
    // Turns this freshly made, placed controller into the card and shows it; its window's
    // top-left corner is the point it hangs from.
    void showAsToolTip();
    // The pin button: the card becomes the user's full window.
    void showFull();
    // In half a second, the current card closes unless the pointer is inside it then.
    void shouldCloseToolTip();

    // The lines of the personal (true) or system (false) text, as shown.
    QString text(bool personal) const;
    // Seconds written as a duration for people ("less than 1 minute", "2 hours, 5 minutes").
    static QString ParceInterval(double seconds);
    // The tool-tip colour of the platform, for the card.
    static QColor toolTipColor();

    static const QStringList &personalKeys();
    static const QStringList &systemKeys();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void _updateTitle();
    void UpdateInfo(bool personal);
    void UpdateWindowHeight();
    void keepOnScreen();
    void userChanged(const QString &key);
    void objectDeleted(ManagedObject *object);
    void personalSelectionChanged();
    // The value shown for a key, or a null string when the key gives no line.
    QString shownValue(const QString &key) const;

    std::unique_ptr<Ui::UserInformation> m_ui;
    QPointer<QWidget> m_window;
    QPointer<User> m_user;
    QToolButton *m_pinButton = nullptr;
    bool m_card = false;
    bool m_tracking = false;  // the card watches the pointer leaving it
    QSize m_diffSizeFrame;    // full size minus card size, for pinning
    QPoint m_startMousePos;   // the pointer when the card was shown
    QTextCharFormat m_labelAttributes;
    QTextCharFormat m_valueAttributes;
};
