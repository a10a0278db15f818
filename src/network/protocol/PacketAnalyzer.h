#pragma once

namespace ostrel {

class CommonFacade;
class Packet;
class SyncOptionList;

// Builds and parses the packets of one kind of session. The base knows the
// messages every session shares (sync and alive check).
class PacketAnalyzer {
public:
    virtual ~PacketAnalyzer() = default;

    // Dispatches a received packet of an established session; true when the
    // session should go on reading. Here: everything is unknown to the facade.
    virtual bool analyze(int handle, Packet& packet, CommonFacade& facade);

    // COMMON_MESSAGE_SYNC: the local Protocol, then the options.
    void makeSync(Packet& packet, const SyncOptionList& options) const;
    // COMMON_MESSAGE_ALIVE_CHECK: one boolean, false for a request, true for a reply.
    void makeAliveCheck(Packet& packet, bool isReply) const;
};

} // namespace ostrel
