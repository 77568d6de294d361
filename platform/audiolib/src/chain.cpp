#include "chain.h"

namespace bassx::chain {

DWORD formatOf(DWORD flags) {
    const DWORD format = flags & (BASS_ENCODE_CHAIN_OPUS | BASS_ENCODE_CHAIN_FLAC);
    return format == (BASS_ENCODE_CHAIN_OPUS | BASS_ENCODE_CHAIN_FLAC) ? 0 : format;
}

Tags splitTitle(const std::string& title) {
    const auto dash = title.find(" - ");
    if (dash == std::string::npos) return {{}, title};
    return {title.substr(0, dash), title.substr(dash + 3)};
}

std::vector<std::string> linkArgs(DWORD format, const std::vector<std::string>& program, std::uint32_t serial,
                                  const std::string& title) {
    if (program.empty() || format == 0) return program;
    // Serial numbers stay below 2^31: both programs read them as signed numbers.
    const std::string number = std::to_string(serial & 0x7FFFFFFFu);
    const Tags tags = splitTitle(title);
    std::vector<std::string> extra;
    if (format == BASS_ENCODE_CHAIN_OPUS) {
        extra = {"--serial", number};
        if (!tags.title.empty()) extra.insert(extra.end(), {"--title", tags.title});
        if (!tags.artist.empty()) extra.insert(extra.end(), {"--artist", tags.artist});
    } else {
        // Titles arrive as UTF-8 already; flac would otherwise convert them from the locale's
        // character set, and fail on them in a C locale.
        extra = {"--serial-number=" + number, "--no-utf8-convert"};
        if (!tags.title.empty()) extra.insert(extra.end(), {"-T", "TITLE=" + tags.title});
        if (!tags.artist.empty()) extra.insert(extra.end(), {"-T", "ARTIST=" + tags.artist});
    }
    std::vector<std::string> args = program;
    args.insert(args.begin() + 1, extra.begin(), extra.end());
    return args;
}

}  // namespace bassx::chain
