#include "transport/TcpStartTlsPacket.h"

TcpStartTlsPacket::TcpStartTlsPacket(QVariantMap settings) : tlsSettings(std::move(settings)) {}
