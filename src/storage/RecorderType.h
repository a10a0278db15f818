#pragma once

#include "base/FourCharacterCode.h"

namespace ostrel {

// The kind of recorder that writes a storage, kept in its superblock. The
// default is the unset code (four zero bytes).
class RecorderType : public FourCharacterCode<RecorderType> {
public:
    RecorderType() = default;
    RecorderType(char a, char b, char c, char d) : FourCharacterCode(a, b, c, d) {}
    explicit RecorderType(const char (&text)[5]) : FourCharacterCode(text) {}

    static RecorderType fromBytes(const void* bytes) {
        RecorderType type;
        type.decode(static_cast<const uint8_t*>(bytes), BigEndian);
        return type;
    }


    static const RecorderType Unset;
    static const RecorderType Recorder;
    static const RecorderType Backup;
    // Orders items by (recording section, item ID) when the correction decides
    // which items lie before or after a cut.
    static const RecorderType Archive;
    static const RecorderType Mirroring;
    // The type the application formats its storage files with.
    static const RecorderType Flac;
};

inline const RecorderType RecorderType::Unset{'\0', '\0', '\0', '\0'};
inline const RecorderType RecorderType::Recorder{'R', 'E', 'C', '.'};
inline const RecorderType RecorderType::Backup{'B', 'K', 'U', 'P'};
inline const RecorderType RecorderType::Archive{'A', 'R', 'C', 'H'};
inline const RecorderType RecorderType::Mirroring{'M', 'R', 'N', 'G'};
inline const RecorderType RecorderType::Flac{'F', 'L', 'A', 'C'};

} // namespace ostrel
