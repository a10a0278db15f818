#include "network/protocol/ClientPacketAnalyzer.h"

#include "base/Trace.h"
#include "network/protocol/CommonFacade.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/ISyncOption.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/Md5.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"

namespace ostrel {

bool ClientPacketAnalyzer::analyze(int handle, Packet& packet, CommonFacade& facade) {
    if (packet.type() == COMMON_MESSAGE_FIN) {
        packet.payload();
        FinOption option;
        option.read(packet);
        facade.finReceived(handle, option);
        return true;
    }
    return PacketAnalyzer::analyze(handle, packet, facade);
}

void ClientPacketAnalyzer::makeLoginRequest(Packet& packet, std::string_view user, std::string_view password,
                                            const EncryptionKey& key) const {
    const Md5::Digest digest = Md5::compute({
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(password.data()), password.size()),
        std::span<const uint8_t>(key.bytes()),
    });
    packet.begin(COMMON_MESSAGE_REQUEST_LOGIN);
    packet.putString(user);
    packet.put(static_cast<uint8_t>(DigestLength));
    packet.put(digest.data(), DigestLength);
    packet.putString("md5");
    packet.finish(true);
}

void ClientPacketAnalyzer::parseLoginResponse(Packet& packet, LoginResult& result) const {
    packet.payload();
    LoginResult parsed;
    parsed.code = LoginResult::codeOf(packet.get());
    parsed.first = packet.getInt();
    parsed.second = packet.remaining() >= 4 ? packet.getInt() : LoginResult::Absent;
    result = parsed;
}

bool ClientPacketAnalyzer::parseSync(Packet& packet, ProfileList& profiles, ProductInfo& product,
                                     RemoteOemInfo& oem, RemoteSystemInfo& system, EncryptionKey& key,
                                     bool& newAliveCheck) const {
    newAliveCheck = false;
    packet.payload();
    Protocol received;
    received.read(packet);
    const Protocol& local = Protocol::local();
    if (!local.sameName(received)) {
        const char* name = received.name();
        trace("unknown protocol name = %c%c%c%c\n", name[0], name[1], name[2], name[3]);
        return false;
    }
    if (!local.accepts(received)) {
        trace("uncompatible protocol current = %d, received = %d\n", local.version(), received.version());
        return false;
    }
    while (packet.remaining() > 0) {
        const uint8_t raw = packet.get();
        const uint8_t id = ISyncOption::recognizedId(raw);
        if (id == 0 && packet.remaining() < 2) {
            break; // the zero padding of the payload
        }
        const int length = packet.getShort();
        const int start = packet.position();
        switch (id) {
        case ISyncOption::ProfileListId:
            profiles.read(packet);
            break;
        case ISyncOption::ProductInfoId:
            product.read(packet);
            break;
        case ISyncOption::RemoteOemInfoId:
            oem.read(packet);
            break;
        case ISyncOption::EncryptionKeyId:
            key.read(packet);
            break;
        case ISyncOption::RemoteSystemInfoId:
            system.read(packet);
            break;
        case ISyncOption::NewAliveCheckId:
            newAliveCheck = true;
            break;
        default:
            trace("unknown sync option id = %d, length = %d\n", raw, length);
            break;
        }
        const int consumed = packet.position() - start;
        if (consumed < length) {
            packet.skip(length - consumed);
        }
    }
    return true;
}

} // namespace ostrel
