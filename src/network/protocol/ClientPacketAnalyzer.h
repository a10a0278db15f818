#pragma once

#include "network/protocol/PacketAnalyzer.h"

#include <string_view>

namespace ostrel {

class EncryptionKey;
class ProductInfo;
class ProfileList;
class RemoteOemInfo;
class RemoteSystemInfo;
struct LoginResult;

// Packets of a client session: the site's sync, the login request and response.
class ClientPacketAnalyzer : public PacketAnalyzer {
public:
    static constexpr int DigestLength = 16;

    // COMMON_MESSAGE_FIN goes to the facade's finReceived; the rest to the base.
    bool analyze(int handle, Packet& packet, CommonFacade& facade) override;

    // COMMON_MESSAGE_REQUEST_LOGIN: user name; u8 16; MD5 of the password's
    // characters followed by the 4 key bytes; "md5". The password never travels.
    virtual void makeLoginRequest(Packet& packet, std::string_view user, std::string_view password,
                                  const EncryptionKey& key) const;
    // COMMON_MESSAGE_RESPONSE_LOGIN: u8 result code, u32 first value, u32
    // second value when at least 4 bytes remain (else LoginResult::Absent).
    virtual void parseLoginResponse(Packet& packet, LoginResult& result) const;

    // Reads a site's COMMON_MESSAGE_SYNC. Returns false (with a trace line)
    // when its protocol is not ours or is a newer, incompatible version. Each
    // option present overwrites its out-parameter; newAliveCheck is set to
    // false first and to true by option 13. Options of unknown ids are
    // skipped by their length. A truncated or malformed payload raises
    // ByteBufferException.
    bool parseSync(Packet& packet, ProfileList& profiles, ProductInfo& product, RemoteOemInfo& oem,
                   RemoteSystemInfo& system, EncryptionKey& key, bool& newAliveCheck) const;
};

} // namespace ostrel
