#include "app/ui/CFloatEdit.h"

#include <algorithm>

namespace ostrel {

namespace {
constexpr uint64_t BytesPerGB = 1000ULL * 1000ULL * 1000ULL;
constexpr std::size_t FractionDigits = 9; // 10^-9 GB is one byte

bool isDigit(char c) { return c >= '0' && c <= '9'; }
} // namespace

bool CFloatEdit::accepts(const std::string& text, std::size_t selectionStart, std::size_t selectionEnd, char typed) {
    if (typed == Backspace) {
        return true;
    }
    const std::size_t start = std::min({selectionStart, selectionEnd, text.size()});
    const std::size_t end = std::min(std::max(selectionStart, selectionEnd), text.size());
    const std::string remaining = text.substr(0, start) + text.substr(end);
    const std::size_t dot = remaining.find('.');
    if (typed == '.') {
        return dot == std::string::npos;
    }
    if (!isDigit(typed)) {
        return false;
    }
    if (dot == std::string::npos) {
        return true;
    }
    const std::size_t decimals = remaining.size() - dot - 1;
    if (decimals < 2) {
        return true;
    }
    // Two decimals already: only a digit typed into the whole-number part.
    return text.size() - end > 2;
}

bool CFloatEdit::isDecimal(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
    }
    if (i == 0) {
        return false;
    }
    if (i == text.size()) {
        return true;
    }
    if (text[i] != '.') {
        return false;
    }
    for (++i; i < text.size(); ++i) {
        if (!isDigit(text[i])) {
            return false;
        }
    }
    return true;
}

CFloatEdit::Parsed CFloatEdit::parse(const std::string& text) {
    Parsed parsed;
    if (!isDecimal(text)) {
        return parsed;
    }
    const std::size_t dot = std::min(text.find('.'), text.size());
    // Whole gigabytes, exactly, refusing anything that would not fit.
    uint64_t whole = 0;
    for (std::size_t i = 0; i < dot; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (whole > (MaximumBytes / BytesPerGB - digit) / 10) {
            parsed.result = Result::TooLarge;
            return parsed;
        }
        whole = whole * 10 + digit;
    }
    // The first nine decimals are bytes; the rest is truncated away.
    uint64_t fraction = 0;
    for (std::size_t i = 0; i < FractionDigits; ++i) {
        const std::size_t at = dot + 1 + i;
        fraction = fraction * 10 + (at < text.size() ? static_cast<uint64_t>(text[at] - '0') : 0);
    }
    const uint64_t bytes = whole * BytesPerGB + fraction; // at most MaximumBytes + 10^9 - 1: no overflow
    const uint64_t blocks = bytes / SizeBlock + 1;
    if (blocks > MaximumBytes / SizeBlock) {
        parsed.result = Result::TooLarge;
        return parsed;
    }
    parsed.result = Result::Valid;
    parsed.bytes = blocks * SizeBlock;
    return parsed;
}

void CFloatEdit::setText(const std::string& text) {
    _text = text;
    _start = _end = _text.size();
}

void CFloatEdit::select(std::size_t start, std::size_t end) {
    _start = std::min(std::min(start, end), _text.size());
    _end = std::min(std::max(start, end), _text.size());
}

bool CFloatEdit::type(char c) {
    if (!accepts(_text, _start, _end, c)) {
        return false;
    }
    if (c == Backspace) {
        if (_start == _end) {
            if (_start == 0) {
                return true;
            }
            --_start;
        }
        _text.erase(_start, _end - _start);
        _end = _start;
        return true;
    }
    _text.replace(_start, _end - _start, 1, c);
    _end = ++_start;
    return true;
}

} // namespace ostrel
