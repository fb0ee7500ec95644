#pragma once

#include <QStringList>
#include <QTextEdit>

#include <functional>

class Chat;
class User;

// The compose field of conversation and mass-message windows. Return sends (or Ctrl+Return, by
// "SendMessageKey"), long texts go out in pieces of at most 10000 UTF-16 units, typing is
// reported to the one user of a one-to-one window, a few emoji are cleaned as they are typed,
// and files dropped on a one-to-one window whose user is online are sent to that user.
class TextViewForSending : public QTextEdit {
    Q_OBJECT
public:
    static constexpr int PieceLength = 10000;

    explicit TextViewForSending(QWidget *parent = nullptr);

    // The recipients, asked at each use so that changes of membership are seen: the window's
    // users (or a mass window's selection), its chat when it is a chat window, and whether it is
    // a mass window.
    void setRecipients(std::function<QList<User *>()> users, std::function<Chat *()> chat, bool mass);
    QList<User *> users() const;
    Chat *chat() const;
    bool mass() const { return m_mass; }

    // The pieces a text goes out in: 10000 units each, the last the rest; a piece never ends
    // between the two halves of a surrogate pair (it is then one unit shorter).
    static QStringList pieces(const QString &text);
    // The text without skin-tone modifiers and with every listed flag as the black flag.
    static QString cleanedText(const QString &text);
    // Whether a text may be sent: anything but nothing.
    void sendMessage();
    // Files dropped here go to the one online user of a one-to-one window.
    bool acceptsFiles(const QMimeData *data) const;

    // The three spelling switches, kept in the settings. There is no spelling checker on this
    // desktop library; the choices are kept for when one is used.
    void setContinuousSpellCheckingEnabled(bool on);
    void setAutomaticSpellingCorrectionEnabled(bool on);
    void setGrammarCheckingEnabled(bool on);
    bool continuousSpellCheckingEnabled() const { return m_spelling; }
    bool automaticSpellingCorrectionEnabled() const { return m_correction; }
    bool grammarCheckingEnabled() const { return m_grammar; }

signals:
    // After a send; a mass window closes on it.
    void messageSent();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    void clean();
    static QStringList filePaths(const QMimeData *data);

    std::function<QList<User *>()> m_users;
    std::function<Chat *()> m_chat;
    bool m_mass = false;
    bool m_cleaning = false;
    bool m_spelling = false;
    bool m_correction = false;
    bool m_grammar = false;
};
