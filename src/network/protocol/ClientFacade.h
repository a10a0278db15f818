#pragma once

#include "network/protocol/ClientPacketAnalyzer.h"
#include "network/protocol/CommonFacade.h"

namespace ostrel {

// A facade whose sessions are ClientSessions: they connect to sites and log in.
class ClientFacade : public CommonFacade {
public:
    ClientFacade(int channels, Dispatcher& dispatcher);
    ClientFacade(int channels, Dispatcher& dispatcher, const Clock& clock);
    ~ClientFacade() override;

    // The analyzer every session of this facade builds and parses with.
    virtual ClientPacketAnalyzer& clientPacketAnalyzer() { return _analyzer; }
    PacketAnalyzer& packetAnalyzer() override { return clientPacketAnalyzer(); }

protected:
    std::unique_ptr<CommonSession> createSession() override;

private:
    ClientPacketAnalyzer _analyzer;
};

} // namespace ostrel
