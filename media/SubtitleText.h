#pragma once
// The character set of a subtitle file. Subtitles of Chinese releases come in UTF-8, in
// GBK and now and then in UTF-16; the player wants UTF-8.

#include <string>
#include <string_view>

namespace morvane::media {

// The text as UTF-8: a byte order mark says UTF-8 or UTF-16 (and is removed); otherwise
// text that is valid UTF-8 stays as it is and anything else is read as GBK (code page 936).
std::string SubtitleTextToUtf8(std::string_view bytes);

bool IsValidUtf8(std::string_view text);

// ASCII letters in lower case, every other byte as it is (file names, tags, section names).
std::string AsciiLower(std::string_view text);

}  // namespace morvane::media
