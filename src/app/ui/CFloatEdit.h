#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

// The decimal entry field for storage sizes in GB (the storage size dialog and
// the schedule wizard's storage page). It keeps at most two decimals while the
// user types, and the server reads its text back with a strict check.
//
// How to use it:
//  - Page: load /js/floatedit.js and call `FloatEdit.attach(inputElement)` on
//    the size <input>. It applies accepts() below to every typed or pasted
//    character (FloatEdit.accepts is the same rule in the page).
//  - Server: never trust the page's text. Read it with `CFloatEdit::parse(text)`:
//    it accepts only [0-9]+(\.[0-9]*)? and converts the GB value to the bytes of
//    a storage file (x 1,000,000,000 truncated, then (bytes / 524288 + 1) x 524288)
//    in integer arithmetic, refusing results that do not fit a file size. Compare
//    the bytes with your limits (0.5 GB, the free space) yourself.
//  - The object form (text, selection, type()) models the field for tests.
class CFloatEdit {
public:
    static constexpr char Backspace = '\b';
    // The block storage sizes are rounded up to.
    static constexpr uint64_t SizeBlock = 524288;
    // The largest byte count parse() hands out: a file size the platform can
    // take (off_t), rounded down to whole blocks.
    static constexpr uint64_t MaximumBytes = (static_cast<uint64_t>(INT64_MAX) / SizeBlock) * SizeBlock;

    enum class Result { Valid, NotDecimal, TooLarge };
    struct Parsed {
        Result result = Result::NotDecimal;
        uint64_t bytes = 0; // valid only for Result::Valid
    };

    explicit CFloatEdit(std::string text = std::string()) : _text(std::move(text)), _start(_text.size()), _end(_text.size()) {}

    // The input filter for one typed character, with the selection [selectionStart,
    // selectionEnd) of `text` (the caret when both are equal):
    //  - the text as it would be with the selection removed is looked at, and the
    //    characters after its first "." are counted;
    //  - "." only when that text holds no ".";
    //  - a digit when that text holds no "." or fewer than two characters follow
    //    the "."; with two or more, only when more than two characters of the whole
    //    text follow the end of the selection (the caret is in the whole-number part);
    //  - Backspace always; anything else never.
    static bool accepts(const std::string& text, std::size_t selectionStart, std::size_t selectionEnd, char typed);

    // Whether the text is [0-9]+(\.[0-9]*)?.
    static bool isDecimal(const std::string& text);
    // The bytes of a storage of `text` GB (see above).
    static Parsed parse(const std::string& text);

    // ---- the field as an object (tests, and any controller that keeps a field) ----
    const std::string& text() const { return _text; }
    void setText(const std::string& text);
    // Selects [start, end) (clamped to the text); start == end puts the caret there.
    void select(std::size_t start, std::size_t end);
    void selectAll() { select(0, _text.size()); }
    std::size_t selectionStart() const { return _start; }
    std::size_t selectionEnd() const { return _end; }
    // Types one character through the filter: false when it was refused
    // (the text is then unchanged). Backspace removes the selection, or the
    // character before the caret.
    bool type(char c);

private:
    std::string _text;
    std::size_t _start;
    std::size_t _end;
};

} // namespace ostrel
