#include "text_encoding.h"

namespace bassx::text {
namespace {

// The code point at s[i], i moved past it. A byte that starts no valid sequence (a stray
// continuation, a cut or overlong sequence, a surrogate) is one character: its Latin-1 value.
char32_t next(const std::string& s, size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t length = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (length > 1 && i + length <= s.size()) {
        char32_t cp = c & (0x7F >> length);
        size_t k = 1;
        for (; k < length; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) break;
            cp = cp << 6 | (d & 0x3F);
        }
        const bool shortest = length == 2 || (length == 3 && cp >= 0x800) || (length == 4 && cp >= 0x10000);
        if (k == length && shortest && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF)) {
            i += length;
            return cp;
        }
    }
    ++i;
    return c;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A typographic character's ASCII likeness, or null when it has none.
const char* likeness(char32_t cp) {
    if ((cp >= 0x2010 && cp <= 0x2015) || cp == 0x2212) return "-";  // hyphens, dashes, minus
    if ((cp >= 0x2018 && cp <= 0x201B) || cp == 0x2032) return "'";
    if ((cp >= 0x201C && cp <= 0x201F) || cp == 0x2033) return "\"";
    if (cp == 0x2026) return "...";
    return nullptr;
}

// Each character of the text in Latin-1 terms: its code point below 0x100, its likeness, or
// nothing. `emit` gets the code points that remain.
template <typename Emit>
void toLatin1(const std::string& utf8, Emit emit) {
    for (size_t i = 0; i < utf8.size();) {
        const char32_t cp = next(utf8, i);
        if (cp < 0x100) {
            emit(cp);
        } else if (const char* ascii = likeness(cp)) {
            for (; *ascii; ++ascii) emit(static_cast<char32_t>(*ascii));
        }
    }
}

}  // namespace

Charset charsetFor(const std::string& contentType) {
    for (const char* type : {"application/ogg", "application/x-ogg", "audio/ogg", "video/ogg", "audio/webm",
                             "video/webm", "audio/x-matroska", "video/x-matroska", "video/x-matroska-3d"})
        if (contentType == type) return Charset::Utf8;  // the server compares the type exactly
    return Charset::Latin1;
}

std::string repairedUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) appendUtf8(out, next(text, i));
    return out;
}

std::string encode(const std::string& utf8, Charset charset) {
    if (charset == Charset::Utf8) return repairedUtf8(utf8);
    std::string out;
    toLatin1(utf8, [&](char32_t cp) { out += static_cast<char>(cp); });
    return out;
}

std::string restrictTo(const std::string& utf8, Charset charset) {
    if (charset == Charset::Utf8) return repairedUtf8(utf8);
    std::string out;
    toLatin1(utf8, [&](char32_t cp) { appendUtf8(out, cp); });
    return out;
}

}  // namespace bassx::text
