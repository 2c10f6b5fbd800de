#pragma once
// The resolution contract, both sides: the request "/xml.php?url=LINK" carries the link as
// it stands (a magnet link's "?" and "&" included), and the answer holds the playable address
// between "<file>" and "</file>", or a text with "resp" and the reason the link cannot play.
// Every resolution service of the project answers through here and every client reads
// through here.

#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// The link of a resolution request target: the raw rest after the first "url=" of
// "/xml.php?..." ("" when the query has no "url="); nothing for any other target.
std::optional<std::string> ResolutionLinkOf(std::string_view target);

// The answer body for `file` (an address, or "resp: " and a reason), with "&", "<" and ">"
// written as XML entities so that no link can end the element early. `type`, when given,
// follows in a <type> element.
std::string ResolutionAnswer(std::string_view file, std::string_view type = {});

// The text of a <file> element as the answer wrote it, its entities read back: what the
// service meant. A text without entities is returned as it is.
std::string ResolutionFileText(std::string_view written);

}  // namespace morvane
