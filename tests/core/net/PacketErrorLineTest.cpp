// The line left when a packet from a peer cannot be read names that peer's address.
#include "TCPserverTestSupport.h"
#include "core/net/TCPserver.h"

#include <QLoggingCategory>

namespace {

QStringList &captured() {
    static QStringList lines;
    return lines;
}

void capture(QtMsgType, const QMessageLogContext &context, const QString &message) {
    if (QLatin1String(context.category) == QLatin1String("murnavell.net.tcp")) captured().append(message);
}

class PacketErrorLineTest : public MessagingFixture {};

TEST_F(PacketErrorLineTest, TheLineNamesTheSendersAddressAndItsUserWhenKnown) {
    peer(QStringLiteral("A000000002"), QStringLiteral("Bob"), QStringLiteral("198.18.0.12"));
    TCPserver server(0, 0, false);
    QLoggingCategory::setFilterRules(QStringLiteral("murnavell.net.tcp.debug=true"));
    const QtMessageHandler before = qInstallMessageHandler(capture);
    const std::vector<std::pair<QString, QString>> cases = {
        {"198.18.0.77", "received TCP data cannot be extracted, ip: 198.18.0.77"},
        {"198.18.0.12", "received TCP data cannot be extracted, ip: 198.18.0.12 (user A000000002)"},
        {"", "received TCP data cannot be extracted, ip: unavailable"},
    };
    for (const auto &[address, line] : cases) {
        captured().clear();
        server.debugPaketError(address);
        EXPECT_EQ(captured(), QStringList{line});
    }
    qInstallMessageHandler(before);
    QLoggingCategory::setFilterRules(QString());
}

} // namespace
