#include "transport/UdpSpecialPacket.h"

UdpSpecialPacket::UdpSpecialPacket() = default;
