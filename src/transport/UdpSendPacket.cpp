#include "transport/UdpSendPacket.h"

#include <utility>

UdpSendPacket::UdpSendPacket(QByteArray data, double timeout_, long tag_)
    : buffer(std::move(data)), timeout(timeout_), tag(tag_) {}
