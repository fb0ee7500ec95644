#include "transport/TcpSpecialPacket.h"

TcpSpecialPacket::TcpSpecialPacket(QVariantMap settings) : tlsSettings(std::move(settings)) {}
