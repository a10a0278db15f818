#include "network/protocol/RemoteSystemInfo.h"

#include "network/protocol/Packet.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

void RemoteSystemInfo::read(ByteBuffer& buffer) {
    RemoteSystemInfo info;
    buffer.get(info._identification.data(), 0, 6);
    info._systemType = buffer.get();
    info._videoInNum = buffer.get();
    info._audioInNum = buffer.get();
    info._audioOutNum = buffer.get();
    info._sensorNum = buffer.get();
    info._alarmNum = buffer.get();
    buffer.getString(info._name, sizeof info._name);
    *this = info;
}

void RemoteSystemInfo::write(Packet& packet) const {
    packet.put(_identification.data(), 6);
    packet.put(_systemType);
    packet.put(_videoInNum);
    packet.put(_audioInNum);
    packet.put(_audioOutNum);
    packet.put(_sensorNum);
    packet.put(_alarmNum);
    packet.putString(_name);
}

int RemoteSystemInfo::size() const { return 15 + static_cast<int>(std::strlen(_name)); }

void RemoteSystemInfo::setCounts(uint8_t videoIn, uint8_t audioIn, uint8_t audioOut, uint8_t sensors,
                                 uint8_t alarms) {
    _videoInNum = videoIn;
    _audioInNum = audioIn;
    _audioOutNum = audioOut;
    _sensorNum = sensors;
    _alarmNum = alarms;
}

void RemoteSystemInfo::setName(std::string_view name) {
    const size_t kept = std::min(name.size(), static_cast<size_t>(MaxNameLength));
    std::memcpy(_name, name.data(), kept);
    _name[kept] = '\0';
}

void RemoteSystemInfo::clear() { *this = RemoteSystemInfo(); }

void RemoteSystemInfo::setDefaults(uint32_t modelCode) {
    clear();
    _systemType = 3;
    if (modelCode == 204) {
        setCounts(4, 1, 1, 4, 2);
    } else {
        setCounts(16, 16, 16, 16, 16);
    }
}

} // namespace ostrel
