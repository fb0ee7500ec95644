#include "transport/UdpConnectPacket.h"

UdpConnectPacket::UdpConnectPacket() = default;
