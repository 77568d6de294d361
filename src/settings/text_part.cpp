#include "settings/text_part.h"

#include <charconv>
#include <cstdint>
#include <type_traits>

#include "broadcast/formats.h"

namespace {

#if defined(_WIN32)
constexpr std::string_view lineEnd = "\r\n";  // Notepad of older systems shows bare LFs as one line
#else
constexpr std::string_view lineEnd = "\n";
#endif

constexpr std::string_view blanks = " \t";

// Pointers into a TextSettings, const or not, so one list of keys serves reading and writing.
template <typename B>
struct FlagRef {
    B* value;
};
template <typename I>
struct NumberRef {
    I* value;
    std::int32_t lowest, highest;
};
template <typename S>
struct TextRef {
    S* value;
    bool isFormat;
};

template <typename Settings, typename Visit>
void forEachKey(Settings& s, Visit&& visit) {
    constexpr bool readOnly = std::is_const_v<Settings>;
    using Flag = FlagRef<std::conditional_t<readOnly, const bool, bool>>;
    using Number = NumberRef<std::conditional_t<readOnly, const std::int32_t, std::int32_t>>;
    using Text = TextRef<std::conditional_t<readOnly, const std::string, std::string>>;
    for (int n = firstExtraOutput; n <= lastOutput; ++n) {
        auto& o = s.output(n);
        const std::string prefix = "output." + std::to_string(n) + ".";
        visit(prefix + "enabled", Flag{&o.enabled});
        visit(prefix + "server", Text{&o.server, false});
        visit(prefix + "port", Number{&o.port, 0, 65535});
        visit(prefix + "password", Text{&o.password, false});
        visit(prefix + "format", Text{&o.format, true});
        visit(prefix + "bitrate", Number{&o.bitrate, 1, 1000});
    }
    visit("record.enabled", Flag{&s.recording.enabled});
    visit("record.folder", Text{&s.recording.folder, false});
    visit("record.format", Text{&s.recording.format, true});
    visit("record.bitrate", Number{&s.recording.bitrate, 1, 1000});
    visit("record.split", Number{&s.recording.split, 0, 24 * 60});
    visit("deadair.threshold", Number{&s.deadAirThreshold, -120, 0});
    visit("deadair.seconds", Number{&s.deadAirSeconds, 0, 3600});
    visit("capture.device", Text{&s.captureDevice, false});
}

bool isFormat(std::string_view v) { return formats::byKey(v) != nullptr; }

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// A value goes on one line: line breaks and NULs would end it or start another key.
std::string oneLine(std::string_view value) {
    std::string out;
    for (char c : value)
        if (c != '\r' && c != '\n' && c != '\0') out += c;
    return std::string(trimmed(out));
}

bool readNumber(std::string_view text, std::int32_t lowest, std::int32_t highest, std::int32_t& out) {
    if (text.starts_with("+-")) return false;
    if (text.starts_with('+')) text.remove_prefix(1);
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
    if (value < lowest || value > highest) return false;
    out = value;
    return true;
}

// Sets the key's value from the text; false when the text is no value of that key.
template <typename Ref>
bool assign(Ref ref, std::string_view value) {
    if constexpr (std::is_same_v<Ref, FlagRef<bool>>) {
        if (value != "0" && value != "1") return false;
        *ref.value = value == "1";
        return true;
    } else if constexpr (std::is_same_v<Ref, NumberRef<std::int32_t>>) {
        return readNumber(value, ref.lowest, ref.highest, *ref.value);
    } else {
        if (ref.isFormat && !isFormat(value)) return false;
        *ref.value = std::string(value);
        return true;
    }
}

template <typename Ref>
std::string written(Ref ref) {
    if constexpr (std::is_same_v<Ref, FlagRef<const bool>>)
        return *ref.value ? "1" : "0";
    else if constexpr (std::is_same_v<Ref, NumberRef<const std::int32_t>>)
        return std::to_string(*ref.value);
    else
        return oneLine(*ref.value);
}

}  // namespace

std::string encodeTextPart(const TextSettings& settings) {
    if (settings == TextSettings{}) return {};
    std::string text;
    forEachKey(settings, [&](const std::string& key, auto ref) {
        text += key;
        text += '=';
        text += written(ref);
        text += lineEnd;
    });
    for (const std::string& line : settings.keptLines) {
        text += oneLine(line);
        text += lineEnd;
    }
    return text;
}

int decodeTextPart(TextSettings& settings, std::string_view text) {
    settings = TextSettings{};
    int damaged = 0;
    while (!text.empty()) {
        // LF, CR LF and a lone CR all end a line: no value can hold a line break.
        const auto end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (trimmed(line).empty()) continue;
        if (trimmed(line).front() == '#' && line.find('\0') == std::string_view::npos) {
            settings.keptLines.emplace_back(trimmed(line));  // a note someone wrote by hand
            continue;
        }
        const auto equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals));
        if (line.find('\0') != std::string_view::npos || equals == std::string_view::npos || key.empty()) {
            ++damaged;
            continue;
        }
        const std::string_view value = trimmed(line.substr(equals + 1));
        bool known = false, read = false;
        forEachKey(settings, [&](const std::string& name, auto ref) {
            if (known || name != key) return;
            known = true;
            read = assign(ref, value);
        });
        if (!known)
            settings.keptLines.emplace_back(trimmed(line));
        else if (!read)
            ++damaged;
    }
    return damaged;
}
