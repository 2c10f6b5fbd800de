// The search, trim, split and cut-out rules over GBK texts.
//
// Every search here is the one of FindText: a match may only start where a character
// starts, counting characters from the scan's start position (a byte with the high bit set
// takes the byte after it along). Checking that for every byte would cost a branch a byte,
// so candidates are found a block at a time (memmem, or a vector test when ignoring case) and
// only a full match is checked: the byte in front of a byte below 0x80 always ends a
// character, so a candidate is a character start exactly when the run of high-bit bytes in
// front of it has even length. The run is never read back past the last position known to
// start a character, which keeps a search linear.

#include "web/Text.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvane {

namespace {

using Byte = unsigned char;

constexpr Byte Fold(Byte c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Byte>(c | 0x20) : c;
}
constexpr bool IsLetter(Byte c) {
  return Fold(c) >= 'a' && Fold(c) <= 'z';
}

// Whether `candidate` starts a character, given that `known` (<= candidate) does.
bool StartsCharacter(const Byte* bytes, std::size_t known, std::size_t candidate) {
  std::size_t runStart = candidate;
  while (runStart > known && bytes[runStart - 1] >= 0x80) --runStart;
  return (candidate - runStart) % 2 == 0;
}

bool EqualIgnoringCase(const Byte* a, const Byte* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// Zero-based search from `from` (< size, needle not empty and fitting); npos when missing.
std::size_t FindCaseSensitive(const Byte* bytes, std::size_t size, std::size_t from,
                              std::string_view needle) {
  std::size_t known = from;
  while (size - from >= needle.size()) {
    const void* hit = memmem(bytes + from, size - from, needle.data(), needle.size());
    if (!hit) break;
    const std::size_t candidate = static_cast<const Byte*>(hit) - bytes;
    if (StartsCharacter(bytes, known, candidate)) return candidate;
    // The candidate is the second byte of a character, so the next one starts after it.
    known = from = candidate + 1;
  }
  return std::string_view::npos;
}

// Candidates are the positions where the needle's first and last bytes match (a letter in
// either case), tested sixteen positions at a time where the processor allows; only those go
// on to the full comparison.
std::size_t FindIgnoringCase(const Byte* bytes, std::size_t size, std::size_t from,
                             std::string_view needle) {
  const Byte* pattern = reinterpret_cast<const Byte*>(needle.data());
  const std::size_t length = needle.size();
  const std::size_t last = size - length;  // the last position where a match fits
  // A letter matches in both cases: setting bit 0x20 of the text's byte makes an upper-case
  // letter lower-case, and only the two letters give the lower-case one.
  const Byte first = Fold(pattern[0]), firstCase = IsLetter(pattern[0]) ? 0x20 : 0;
  const Byte end = Fold(pattern[length - 1]), endCase = IsLetter(pattern[length - 1]) ? 0x20 : 0;

  std::size_t known = from;
  auto accept = [&](std::size_t candidate) {
    if (!EqualIgnoringCase(bytes + candidate, pattern, length)) return false;
    if (StartsCharacter(bytes, known, candidate)) return true;
    known = candidate + 1;
    return false;
  };

  std::size_t candidate = from;
#if defined(__SSE2__)
  const __m128i firstWanted = _mm_set1_epi8(static_cast<char>(first));
  const __m128i firstBits = _mm_set1_epi8(static_cast<char>(firstCase));
  const __m128i endWanted = _mm_set1_epi8(static_cast<char>(end));
  const __m128i endBits = _mm_set1_epi8(static_cast<char>(endCase));
  for (; candidate <= last && last - candidate >= 15; candidate += 16) {
    const __m128i firsts = _mm_or_si128(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + candidate)), firstBits);
    const __m128i ends = _mm_or_si128(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + candidate + length - 1)), endBits);
    unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(firsts, firstWanted), _mm_cmpeq_epi8(ends, endWanted))));
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t at = candidate + static_cast<std::size_t>(__builtin_ctz(hits));
      if (accept(at)) return at;
    }
  }
#endif
  for (; candidate <= last; ++candidate) {
    if ((bytes[candidate] | firstCase) == first &&
        (bytes[candidate + length - 1] | endCase) == end && accept(candidate))
      return candidate;
  }
  return std::string_view::npos;
}

// FindText with zero-based positions; npos when missing.
std::size_t Find(std::string_view text, std::string_view needle, std::size_t from,
                 bool ignoreCase) {
  if (from >= text.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  if (needle.size() > text.size() - from) return std::string_view::npos;
  const Byte* bytes = reinterpret_cast<const Byte*>(text.data());
  return ignoreCase ? FindIgnoringCase(bytes, text.size(), from, needle)
                    : FindCaseSensitive(bytes, text.size(), from, needle);
}

std::size_t ZeroBased(long long start) {
  return start < 1 ? 0 : static_cast<std::size_t>(start - 1);
}

bool IsSpaceAt(std::string_view text, std::size_t i, std::size_t* length) {
  if (text[i] == ' ') return *length = 1, true;
  if (static_cast<Byte>(text[i]) == 0xA1 && i + 1 < text.size() &&
      static_cast<Byte>(text[i + 1]) == 0xA1)
    return *length = 2, true;
  return false;
}

// "#引号" in the code page's bytes.
constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";

std::string ReplaceQuotePlaceholder(std::string_view marker) {
  std::string result;
  std::size_t from = 0;
  for (std::size_t at; (at = Find(marker, kQuotePlaceholder, from, false)) != marker.npos;
       from = at + kQuotePlaceholder.size()) {
    result.append(marker.substr(from, at - from));
    result.push_back('"');
  }
  result.append(marker.substr(from));
  return result;
}

}  // namespace

long long FindText(std::string_view text, std::string_view needle, long long start,
                   bool ignoreCase) {
  const std::size_t at = Find(text, needle, ZeroBased(start), ignoreCase);
  return at == std::string_view::npos ? -1 : static_cast<long long>(at) + 1;
}

std::string TrimText(std::string_view text) {
  // Walk characters from the front, so that an A1 A1 at the end is only taken for a space
  // when it really is one character and not the tail of another.
  std::size_t begin = 0, length = 0;
  while (begin < text.size() && IsSpaceAt(text, begin, &length)) begin += length;
  std::size_t end = begin;  // end of the last character that is not a space
  for (std::size_t i = begin; i < text.size();) {
    if (IsSpaceAt(text, i, &length)) {
      i += length;
      continue;
    }
    i += (static_cast<Byte>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
    end = i;
  }
  return std::string(text.substr(begin, end - begin));
}

TextList SplitText(std::string_view text, std::string_view separator) {
  TextList pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) return {std::string(text)};
  std::size_t from = 0;
  for (std::size_t at; (at = Find(text, separator, from, false)) != text.npos;
       from = at + separator.size())
    pieces.emplace_back(text.substr(from, at - from));
  if (from < text.size()) pieces.emplace_back(text.substr(from));
  return pieces;
}

std::string TextBetween(std::string_view source, std::string_view left, std::string_view right,
                        long long start, bool caseSensitive) {
  const std::string leftMarker = ReplaceQuotePlaceholder(left);
  const std::string rightMarker = ReplaceQuotePlaceholder(right);
  const std::size_t leftAt = Find(source, leftMarker, ZeroBased(start), !caseSensitive);
  if (leftAt == source.npos) return "";
  const std::size_t valueAt = leftAt + leftMarker.size();
  const std::size_t rightAt = Find(source, rightMarker, valueAt, !caseSensitive);
  if (rightAt == source.npos) return "";
  return std::string(source.substr(valueAt, rightAt - valueAt));
}

std::string AfterColon(std::string_view text) {
  const std::size_t colon = Find(text, ":", 0, false);
  if (colon == text.npos) return "";
  return TrimText(text.substr(colon + 1));
}

TextList ExtractAll(std::string_view source, std::string_view left, std::string_view right,
                    const ExtractOptions& options) {
  TextList entries;
  const bool ignoreCase = !options.caseSensitive;
  std::size_t position = ZeroBased(options.start);
  for (;;) {
    const std::size_t leftAt = Find(source, left, position, ignoreCase);
    if (leftAt == source.npos) break;
    const std::size_t valueAt = leftAt + left.size();
    const std::size_t rightAt = Find(source, right, valueAt, ignoreCase);
    if (rightAt == source.npos) break;
    std::string value = TrimText(source.substr(valueAt, rightAt - valueAt));
    if (value.empty()) break;
    if (options.maximumLength != 0 && value.size() > options.maximumLength) break;

    std::string entry;
    entry.reserve((options.includeLeft ? left.size() : 0) + options.prefix.size() + value.size() +
                  options.suffix.size() + (options.includeRight ? right.size() : 0));
    if (options.includeLeft) entry.append(left);
    entry.append(options.prefix).append(value).append(options.suffix);
    if (options.includeRight) entry.append(right);
    entries.push_back(std::move(entry));
    // The next left marker is looked for from the right marker on, so a right marker may
    // also be the next left one.
    position = rightAt;
  }
  return entries;
}

}  // namespace morvane
