#pragma once

#include "base/FourCharacterCode.h"

namespace ostrel {

// The four-character code in the first bytes of every page header, naming the
// track a page belongs to. A default PageType is "NULL" (the four letters).
class PageType : public FourCharacterCode<PageType> {
public:
    PageType() : FourCharacterCode('N', 'U', 'L', 'L') {}
    PageType(char a, char b, char c, char d) : FourCharacterCode(a, b, c, d) {}
    explicit PageType(const char (&text)[5]) : FourCharacterCode(text) {}

    // The code stored in four raw bytes.
    static PageType fromBytes(const void* bytes) {
        PageType type;
        type.decode(static_cast<const uint8_t*>(bytes), BigEndian);
        return type;
    }


    static const PageType Null;
    static const PageType FreePageList;
    static const PageType Timeline;
    static const PageType RecordingTable;
    static const PageType Media;
    static const PageType Event;
    static const PageType PreEvent;
    static const PageType Video;
    static const PageType Audio;
    static const PageType TextIn;
    static const PageType Log;
    static const PageType Journal;
    static const PageType Info;
    static const PageType Bad;
};

inline const PageType PageType::Null{'N', 'U', 'L', 'L'};
inline const PageType PageType::FreePageList{'F', 'R', 'E', 'E'};
inline const PageType PageType::Timeline{'T', 'I', 'M', 'L'};
inline const PageType PageType::RecordingTable{'R', 'T', 'B', 'L'};
inline const PageType PageType::Media{'M', 'D', 'E', 'A'};
inline const PageType PageType::Event{'E', 'V', 'N', 'T'};
inline const PageType PageType::PreEvent{'P', 'E', 'V', 'T'};
inline const PageType PageType::Video{'V', 'I', 'D', 'E'};
inline const PageType PageType::Audio{'A', 'U', 'D', 'I'};
inline const PageType PageType::TextIn{'T', 'E', 'X', 'T'};
// The three letters and a blank.
inline const PageType PageType::Log{'L', 'O', 'G', ' '};
inline const PageType PageType::Journal{'J', 'N', 'A', 'L'};
inline const PageType PageType::Info{'I', 'N', 'F', 'O'};
// The three letters and a zero byte.
inline const PageType PageType::Bad{'B', 'A', 'D', '\0'};

} // namespace ostrel
