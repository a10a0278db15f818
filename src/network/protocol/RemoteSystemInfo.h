#pragma once

#include "network/protocol/ISyncOption.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace ostrel {

// Sync option 5: what the site's recorder has. Body: 6 identification bytes
// (kept as received), u8 system type, five u8 counts (video inputs, audio
// inputs, audio outputs, sensors, alarms), string name of at most 32 characters.
class RemoteSystemInfo : public ISyncOption {
public:
    static constexpr int MaxNameLength = 32;
    using Identification = std::array<uint8_t, 6>;

    RemoteSystemInfo() = default;

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;
    int size() const override;
    uint8_t id() const override { return RemoteSystemInfoId; }

    const Identification& identification() const { return _identification; }
    // 0 until a site reported it.
    uint8_t systemType() const { return _systemType; }
    uint8_t videoInNum() const { return _videoInNum; }
    uint8_t audioInNum() const { return _audioInNum; }
    uint8_t audioOutNum() const { return _audioOutNum; }
    uint8_t sensorNum() const { return _sensorNum; }
    uint8_t alarmNum() const { return _alarmNum; }
    const char* name() const { return _name; }

    void setIdentification(const Identification& identification) { _identification = identification; }
    void setSystemType(uint8_t systemType) { _systemType = systemType; }
    void setCounts(uint8_t videoIn, uint8_t audioIn, uint8_t audioOut, uint8_t sensors, uint8_t alarms);
    void setName(std::string_view name);

    void clear();
    // What a site that does not report its system is taken to have: system
    // type 3 and 4/1/1/4/2 inputs, outputs, sensors and alarms for model 204,
    // 16 of each for any other model.
    void setDefaults(uint32_t modelCode);

private:
    Identification _identification{};
    uint8_t _systemType = 0;
    uint8_t _videoInNum = 0;
    uint8_t _audioInNum = 0;
    uint8_t _audioOutNum = 0;
    uint8_t _sensorNum = 0;
    uint8_t _alarmNum = 0;
    char _name[MaxNameLength + 1] = {};
};

} // namespace ostrel
