#include "network/protocol/PacketAnalyzer.h"

#include "network/protocol/CommonFacade.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/Packet.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/SyncOptionList.h"

namespace ostrel {

bool PacketAnalyzer::analyze(int handle, Packet& packet, CommonFacade& facade) {
    facade.unknownPacketReceived(handle, packet);
    return true;
}

void PacketAnalyzer::makeSync(Packet& packet, const SyncOptionList& options) const {
    packet.begin(COMMON_MESSAGE_SYNC);
    Protocol::local().write(packet);
    options.write(packet);
    packet.finish(true);
}

void PacketAnalyzer::makeAliveCheck(Packet& packet, bool isReply) const {
    packet.begin(COMMON_MESSAGE_ALIVE_CHECK);
    packet.putBool(isReply);
    packet.finish(true);
}

} // namespace ostrel
