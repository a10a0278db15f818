#pragma once

#include "network/protocol/Packet.h"

namespace ostrel {

// Cuts a connection's byte stream into packets, strictly one at a time, in
// one reused receive packet: first the 8-byte header, then (after the payload
// size passed the check) exactly the payload. The owner hands out packet()
// to be filled up to its limit and calls filled() each time that is done;
// feed() does the same for bytes that are already in memory.
class PacketReader {
public:
    enum class Phase { Idle = 1, Assigned = 0, AwaitingHeader = 2, AwaitingPayload = 4 };
    enum class Result { NeedMore, Complete, InvalidPayloadSize };

    explicit PacketReader(int maxPayloadSize);

    // Starts the next packet: awaiting header, the packet prepared for 8 bytes.
    Packet& startHeader();
    // The packet's bytes from position to limit have arrived. After the header:
    // a payload size that is negative or above the maximum traces
    // "Invalid Payload Size: %d\n" and answers InvalidPayloadSize (the session
    // closes with 303); size 0 completes the packet; otherwise the packet is
    // made ready for the payload (NeedMore). After the payload: Complete.
    Result filled();
    // Copies bytes into the packet up to its limit; `consumed` tells how many
    // were taken. Answers NeedMore until a packet is complete or refused.
    // Starts the next packet by itself when none is being read. After
    // Complete or InvalidPayloadSize the phase is Assigned (not reading).
    Result feed(const void* bytes, int length, int& consumed);

    Packet& packet() { return _packet; }
    Phase phase() const { return _phase; }
    void setPhase(Phase phase) { _phase = phase; }
    int maxPayloadSize() const { return _maxPayloadSize; }
    // The payload size of the header last read (as the signed value it was checked as).
    int lastPayloadSize() const { return _lastPayloadSize; }
    // Back to idle, dropping whatever was partly received.
    void reset();

private:
    int _maxPayloadSize;
    Phase _phase = Phase::Idle;
    int _lastPayloadSize = 0;
    Packet _packet;
};

} // namespace ostrel
