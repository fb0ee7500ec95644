// The compose field: which key sends, the pieces a long text goes out in, typing notices, and
// the emoji it cleans as they are typed.
#include "ConversationFixture.h"

#include "ui/conversation/TextViewForSending.h"

#include <QSignalSpy>

namespace {

class ComposeTest : public ConversationFixture {
protected:
    // The texts the local user sent to the user, oldest first.
    QStringList sentTo(User *u) {
        QStringList out;
        const QList<LogEntry *> entries = LogQuery::newest(u, 1000);
        for (auto it = entries.crbegin(); it != entries.crend(); ++it)
            if (auto *m = dynamic_cast<Message *>(*it); m && !m->incoming()) out << m->message();
        return out;
    }
};

QString repeated(int n) { return QString(n, u'x'); }

TEST_F(ComposeTest, ReturnOrControlReturnSendsBySetting) {
    const struct {
        int sendKey;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool sends;
    } cases[] = {
        {1, Qt::Key_Return, Qt::NoModifier, true},      {1, Qt::Key_Return, Qt::ControlModifier, false},
        {1, Qt::Key_Enter, Qt::KeypadModifier, true},   {0, Qt::Key_Return, Qt::NoModifier, false},
        {0, Qt::Key_Return, Qt::ControlModifier, true}, {2, Qt::Key_Enter, Qt::ControlModifier, true},
        {1, Qt::Key_Return, Qt::ShiftModifier, true}};
    User *u = peer("Olga");
    Conversation *window = open(u);
    TextViewForSending *field = window->messageTextView();
    int sent = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "SendMessageKey " << c.sendKey << " key " << c.key << " mods " << int(c.modifiers));
        Defaults::standard().setValue("SendMessageKey", c.sendKey);
        field->clear();
        QTest::keyClicks(field, "hello");
        QTest::keyClick(field, c.key, c.modifiers);
        if (c.sends) {
            ++sent;
            EXPECT_TRUE(field->toPlainText().isEmpty());
        } else {
            EXPECT_EQ(field->toPlainText(), "hello\n");
        }
        EXPECT_EQ(sentTo(u).size(), sent);
    }
    // Nothing to send sends nothing.
    field->clear();
    QTest::keyClick(field, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(sentTo(u).size(), sent);
    // The window shows what was sent.
    EXPECT_GE(window->logText().count("Me Myself:"), sent);
}

TEST_F(ComposeTest, LongTextsGoOutInPiecesThatNeverSplitACharacter) {
    const QString pair = QString::fromUcs4(U"\U0001F600");
    const struct {
        QString text;
        QList<int> lengths;
    } cases[] = {{repeated(10000), {10000}},
                 {repeated(25000), {10000, 10000, 5000}},
                 {repeated(9999) + pair + repeated(5), {9999, 7}},
                 {repeated(9998) + pair + repeated(5), {10000, 5}},
                 {repeated(19999) + pair, {10000, 9999, 2}},
                 {QString(), {}}};
    for (const auto &c : cases) {
        const QStringList pieces = TextViewForSending::pieces(c.text);
        QList<int> lengths;
        for (const QString &p : pieces) {
            lengths << int(p.size());
            EXPECT_FALSE(p.back().isHighSurrogate());
            EXPECT_FALSE(p.front().isLowSurrogate());
        }
        EXPECT_EQ(lengths, c.lengths) << c.text.size();
        EXPECT_EQ(pieces.join(QString()), c.text);
    }
    // Sent in order, and the field is empty afterwards.
    User *u = peer("Olga");
    Conversation *window = open(u);
    window->messageTextView()->setPlainText(repeated(10000) + repeated(10000).replace(u'x', u'y') +
                                            repeated(5000).replace(u'x', u'z'));
    window->messageTextView()->sendMessage();
    const QStringList sent = sentTo(u);
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(sent[0], repeated(10000));
    EXPECT_EQ(sent[1], QString(10000, u'y'));
    EXPECT_EQ(sent[2], QString(5000, u'z'));
    EXPECT_TRUE(window->messageTextView()->toPlainText().isEmpty());
}

TEST_F(ComposeTest, CleaningRemovesSkinTonesAndTurnsFlagsBlack) {
    const QString black = QString::fromUcs4(U"\U0001F3F4");
    const struct {
        std::u32string in;
        std::u32string out;
    } cases[] = {
        {U"\U0001F44D\U0001F3FD", U"\U0001F44D"},                               // thumbs-up loses its tone
        {U"a\U0001F3FB\U0001F3FC\U0001F3FD\U0001F3FE\U0001F3FFb", U"ab"},       // every tone
        {U"\U0001F1FA\U0001F1E6", U"\U0001F3F4"},                               // UA
        {U"\U0001F3F3\uFE0F\u200D\U0001F308", U"\U0001F3F4"},                   // rainbow flag
        {U"\U0001F1E8\U0001F1E6\U0001F1E9\U0001F1EA", U"\U0001F3F4\U0001F3F4"}, // CA DE, not the AD between
        {U"\U0001F1FA\U0001F1F8\U0001F1EA\U0001F1F8", U"\U0001F3F4\U0001F3F4"}, // US ES
        {U"\U0001F1E6\U0001F1E6", U"\U0001F1E6\U0001F1E6"},                     // AA is no region
        {U"\U0001F1E6", U"\U0001F1E6"},                                         // a lone letter
        {U"\U0001F1E6\U0001F1EB\U0001F1F7", U"\U0001F3F4\U0001F1F7"},           // AF, then a lone R
        {U"\U0001F1FA\U0001F3FD\U0001F1E6", U"\U0001F3F4"}, // a tone between letters goes first
        {U"Привет 🙂", U"Привет 🙂"},
    };
    for (const auto &c : cases) {
        const QString in = QString::fromStdU32String(c.in);
        EXPECT_EQ(TextViewForSending::cleanedText(in), QString::fromStdU32String(c.out)) << qPrintable(in);
    }
    // Typed or pasted into the field, at once, with the cursor kept after it.
    User *u = peer("Olga");
    Conversation *window = open(u);
    TextViewForSending *field = window->messageTextView();
    QTest::keyClicks(field, "go ");
    field->insertPlainText(QString::fromStdU32String(U"\U0001F1EB\U0001F1F7"));
    QTest::keyClicks(field, "!");
    EXPECT_EQ(field->toPlainText(), "go " + black + "!");
}

TEST_F(ComposeTest, TypingNoticesOnlyInOneToOneWindowsAndNotForTheFirstKey) {
    User *u = peer("Olga");
    Conversation *window = open(u);
    TextViewForSending *field = window->messageTextView();
    QTest::keyClick(field, Qt::Key_H);
    EXPECT_TRUE(typingNotices.isEmpty());
    QTest::keyClick(field, Qt::Key_I);
    EXPECT_EQ(typingNotices, QList<User *>{u});
    tick(2100);
    QTest::keyClick(field, Qt::Key_Return, Qt::ControlModifier); // a line break is typing too
    EXPECT_EQ(typingNotices.size(), 2);

    typingNotices.clear();
    Conversation *room = ConversationWindows::startGroupConversation({peer("A"), peer("B")});
    QTest::keyClicks(room->messageTextView(), "hello");
    TextViewForSending mass;
    mass.setRecipients([u] { return QList<User *>{u}; }, [] { return nullptr; }, true);
    QTest::keyClicks(&mass, "hello");
    EXPECT_TRUE(typingNotices.isEmpty());
}

TEST_F(ComposeTest, SpellingSwitchesAreKept) {
    TextViewForSending field;
    field.setContinuousSpellCheckingEnabled(true);
    field.setAutomaticSpellingCorrectionEnabled(false);
    field.setGrammarCheckingEnabled(true);
    EXPECT_TRUE(Defaults::standard().boolForKey("continuousSpellCheckingEnabled"));
    EXPECT_FALSE(Defaults::standard().boolForKey("automaticSpellingCorrectionEnabled"));
    EXPECT_TRUE(Defaults::standard().boolForKey("grammarCheckingEnabled"));
    TextViewForSending next;
    EXPECT_TRUE(next.continuousSpellCheckingEnabled());
    EXPECT_TRUE(next.grammarCheckingEnabled());
}

TEST_F(ComposeTest, AMassWindowSendsToTheWholeSelectionAndSaysSo) {
    User *a = peer("A");
    User *b = peer("B");
    TextViewForSending field;
    field.setRecipients([a, b] { return QList<User *>{a, b}; }, [] { return nullptr; }, true);
    QSignalSpy sent(&field, &TextViewForSending::messageSent);
    field.setPlainText("to all");
    field.sendMessage();
    EXPECT_EQ(sent.count(), 1);
    auto *m = dynamic_cast<Message *>(LogQuery::newest(b, 1).value(0));
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->mass());
    EXPECT_EQ(m->user().size(), 2);
}

} // namespace
