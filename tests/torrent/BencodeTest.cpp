#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "torrent/Atom.h"
#include "torrent/Bencode.h"

namespace morvane {
namespace {

using namespace std::string_literals;
using testing::Str;
using testing::ScratchFolder;

AtomPtr Parse(const std::string& bytes) {
  return ParseValue(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0);
}

// The canonical encoding of what the bytes decode to, or nothing when they do not decode.
std::optional<std::string> Reencode(const std::string& bytes) {
  AtomPtr value = Parse(bytes);
  if (!value) return std::nullopt;
  auto encoded = SerializeValue(*value);
  EXPECT_TRUE(encoded.has_value()) << "decoded values always encode";
  if (encoded) {
    EXPECT_EQ(encoded->size(), static_cast<std::size_t>(value->WireLength()));
  }
  return encoded;
}

struct CodecCase {
  const char* what;
  std::string input;
  std::optional<std::string> canonical;  // nullopt: the decoder gives none
};

class CodecTable : public ::testing::TestWithParam<CodecCase> {};

TEST_P(CodecTable, DecodesToCanonicalForm) {
  const CodecCase& c = GetParam();
  EXPECT_EQ(Reencode(c.input), c.canonical) << c.what;
}

std::optional<std::string> None() {
  return std::nullopt;
}

INSTANTIATE_TEST_SUITE_P(
    Bencode, CodecTable,
    ::testing::Values(
        CodecCase{"empty dictionary", "de", "de"}, CodecCase{"empty list", "le", "le"},
        CodecCase{"empty string", "0:", "0:"}, CodecCase{"negative integer", "i-3e", "i-3e"},
        CodecCase{"integer without e", "i3", None()},
        CodecCase{"keys sorted", "d1:b1:x1:a1:ye", "d1:a1:y1:b1:xe"},
        CodecCase{"repeated key keeps the last", "d1:a1:x1:a1:ye", "d1:a1:ye"},
        CodecCase{"shorter key first", "d2:ab1:x1:a1:ye", "d1:a1:y2:ab1:xe"},
        CodecCase{"keys compare unsigned",
                  "d1:\x80"
                  "1:x1:b1:ye",
                  "d1:b1:y1:\x80"
                  "1:xe"},
        CodecCase{"NUL in key becomes space", "d3:a\0b1:xe"s, "d3:a b1:xe"},
        CodecCase{"NUL in value stays", "3:a\0b"s, "3:a\0b"s},
        CodecCase{"data ends after a key", "d3:foo", "de"},
        CodecCase{"unknown first byte", "x", None()}, CodecCase{"no colon", "3ab", None()},
        CodecCase{"bytes after the value", "i5eXYZ", "i5e"},
        CodecCase{"unclosed list", "li1e", "li1ee"}, CodecCase{"lone l", "l", "le"},
        CodecCase{"lone d", "d", "de"}, CodecCase{"no bytes", "", None()},
        CodecCase{"key not a string", "di1e1:xe", None()},
        CodecCase{"list as key", "dle1:xe", None()},
        CodecCase{"value missing before e", "d1:ae", None()},
        CodecCase{"element fails inside", "l1:ax", None()},
        // Drift: the decoder moves on by the canonical size of each element.
        CodecCase{"leading zeros drift into a following e", "li07e1:xe", "li7ee"},
        CodecCase{"leading zeros drift into the digits", "li007ei5ee", None()},
        CodecCase{"plus sign", "i+5e", "i5e"}, CodecCase{"minus zero", "i-0e", "i0e"},
        CodecCase{"white space before digits", "i \t12e", "i12e"},
        CodecCase{"stops at the first non-digit", "i12x3e", "i12e"},
        CodecCase{"string length with leading zero", "03:abc", "3:abc"},
        // Left to us: no digits, beyond 64 bits, lengths past the data.
        CodecCase{"integer without digits", "ie", None()}, CodecCase{"sign only", "i-e", None()},
        CodecCase{"letters only", "iabce", None()},
        CodecCase{"eighteen digits", "i999999999999999999e", "i999999999999999999e"},
        CodecCase{"nineteen digits", "i-1000000000000000000e", "i-1000000000000000000e"},
        CodecCase{"zero", "i0e", "i0e"},
        CodecCase{"empty string with a leading zero drifts", "l00:e", None()},
        CodecCase{"largest integer", "i9223372036854775807e", "i9223372036854775807e"},
        CodecCase{"smallest integer", "i-9223372036854775808e", "i-9223372036854775808e"},
        CodecCase{"above 64 bits", "i9223372036854775808e", None()},
        CodecCase{"below 64 bits", "i-9223372036854775809e", None()},
        CodecCase{"beyond unsigned 64 bits", "i184467440737095516160e", None()},
        CodecCase{"length past the end", "5:abc", None()},
        CodecCase{"length past 32 bits", "4294967297:x", None()},
        CodecCase{"length past 64 bits", "184467440737095516160000:x", None()},
        CodecCase{"list with a string past the end", "l9:abe", None()},
        // Short keys and strings are held inside their values, longer ones beside them.
        CodecCase{"a key of eight bytes after its prefix of seven", "d8:abcdefgh1:x7:abcdefg1:ye",
                  "d7:abcdefg1:y8:abcdefgh1:xe"},
        CodecCase{"repeated long key keeps the last", "d10:second-key1:x10:second-key1:ye",
                  "d10:second-key1:ye"},
        CodecCase{"NUL in a long key becomes space", "d9:abcd\0efgh1:xe"s, "d9:abcd efgh1:xe"},
        CodecCase{"strings of eight and nine bytes", "l8:abc\0efgh9:abc\0efghie"s,
                  "l8:abc\0efgh9:abc\0efghie"s}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.what)) name += std::isalnum((unsigned char)c) ? c : '_';
      return name;
    });

std::string Nested(std::size_t depth) {
  return std::string(depth, 'l') + "i1e" + std::string(depth, 'e');
}

TEST(BencodeDepth, AcceptsUpToTheLimitAndRefusesBeyond) {
  EXPECT_EQ(Reencode(Nested(kMaxNestingDepth)), Nested(kMaxNestingDepth));
  EXPECT_EQ(Reencode(Nested(kMaxNestingDepth + 1)), std::nullopt);
  // Far beyond the limit: refused, without exhausting any stack.
  EXPECT_EQ(Reencode(std::string(5'000'000, 'l')), std::nullopt);
  EXPECT_EQ(Reencode(std::string(5'000'000, 'd')), std::nullopt);
  std::string dictionaries;
  for (std::uint32_t i = 0; i < kMaxNestingDepth; ++i) dictionaries += "d1:k";
  dictionaries += "i7e" + std::string(kMaxNestingDepth, 'e');
  EXPECT_EQ(Reencode(dictionaries), dictionaries);
}

TEST(BencodeDepth, DeepTreesCopyAndDestroyWithoutRecursion) {
  // Built by hand, far deeper than the decoder takes: copies, encoding and destruction
  // walk it iteratively.
  AtomPtr value = std::make_unique<CAtomLong>(1);
  for (int i = 0; i < 200'000; ++i) {
    auto list = std::make_unique<CAtomList>();
    list->Append(std::move(value));
    value = std::move(list);
  }
  AtomPtr copy = CloneAtom(*value);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->WireLength(), 400'003);
  const auto encoded = SerializeValue(*copy);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->substr(199'998, 7), "lli1eee");
}

// Repeated keys in nested dictionaries make the parent re-read the bytes of the inner
// values. Built so that every level doubles the re-reading, this must still end soon.
TEST(BencodeWork, RepeatedDriftIsBounded) {
  std::string inner = "i1e";
  for (int level = 0; level < 60; ++level) inner = "ld1:alll" + inner + "eee1:a0:ee";
  const std::string input = inner;
  AtomPtr value = Parse(input);  // any result will do: it has to come back
  if (value) {
    EXPECT_TRUE(SerializeValue(*value).has_value());
  }
}

// Each "i1x" is read as 1 with a search for its "e" running to the end of the data, and the
// drift lands on the next "i": unbounded, that is quadratic in the input.
TEST(BencodeWork, RepeatedLongSearchesAreBounded) {
  std::string input = "l";
  for (int i = 0; i < 1'000'000; ++i) input += "i1x";
  input += "e";
  EXPECT_EQ(Parse(input), nullptr);
  // The same number of canonical integers decodes.
  std::string canonical = "l";
  for (int i = 0; i < 1'000'000; ++i) canonical += "i1e";
  canonical += "e";
  EXPECT_EQ(Reencode(canonical), canonical);
}

TEST(BencodeValues, StoreReplaceAndRemoveKeepTheEncodedSize) {
  CAtomDicti dicti;
  dicti.Store("b", std::make_unique<CAtomString>("xyz"));
  dicti.Store("a", std::make_unique<CAtomLong>(-12));
  dicti.Store("b", std::make_unique<CAtomList>());
  EXPECT_EQ(SerializeDictionary(dicti), "d1:ai-12e1:blee");
  EXPECT_EQ(dicti.WireLength(), 15);
  EXPECT_EQ(dicti.Lookup("c"), nullptr);
  ASSERT_NE(dicti.Lookup("a"), nullptr);
  EXPECT_EQ(dicti.Lookup("a")->AsText(), "-12");
  dicti.RemoveAll();
  EXPECT_TRUE(dicti.HasNoItems());
  EXPECT_EQ(SerializeDictionary(dicti), "de");
  EXPECT_EQ(SerializeList(dicti), std::nullopt);
}

TEST(BencodeValues, TextsAndLengthsByKind) {
  struct Case {
    AtomPtr value;
    std::string text;
    int valueLength, wireLength;
    std::string encoded;
  };
  Case cases[] = {
      {std::make_unique<CAtomLong>(0), "0", 1, 3, "i0e"},
      {std::make_unique<CAtomLong>(-9'000'000'000), "-9000000000", 11, 13, "i-9000000000e"},
      {std::make_unique<CAtomInt>(-5), "-5", 2, 4, "i-5e"},
      {std::make_unique<CAtomInt>(2147483647), "2147483647", 10, 12, "i2147483647e"},
      {std::make_unique<CAtomString>("a\0b"s), "a b", 3, 5, "3:a\0b"s},
      {std::make_unique<CAtomString>(std::string(10, 'z')), std::string(10, 'z'), 10, 13,
       "10:" + std::string(10, 'z')},
      {std::make_unique<CAtomList>(), "", 0, 2, "le"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.value->AsText(), c.text);
    EXPECT_EQ(c.value->ValueLength(), c.valueLength) << c.text;
    EXPECT_EQ(c.value->WireLength(), c.wireLength) << c.text;
    EXPECT_EQ(SerializeValue(*c.value), c.encoded);
  }
  EXPECT_EQ(SerializeInteger(*cases[2].value), "i-5e");
  EXPECT_EQ(SerializeString(*cases[2].value), std::nullopt);
}

TEST(BencodeValues, StringCopiesKeepTheirBytes) {
  // Sizes held inside the value and beside it, assigned across each other.
  const std::string sizes[] = {"", "12345678", "123456789", std::string(300, 'q')};
  for (const std::string& from : sizes) {
    for (const std::string& to : sizes) {
      CAtomString source(from);
      CAtomString target(to);
      target = source;
      const CAtomString copy(target);
      source = CAtomString("gone");
      EXPECT_EQ(target.Bytes(), from) << from.size() << " over " << to.size();
      EXPECT_EQ(copy.Bytes(), from);
      EXPECT_EQ(copy.WireLength(), static_cast<int>(Str(from).size()));
    }
  }
}

// A value whose encoding would be 2^30 bytes, so that a few of them pass what 32 bits hold.
class Huge : public CAtom {
 public:
  static constexpr std::int32_t kWire = 1 << 30;
  std::int32_t WireLength() const override { return kWire; }
  std::int32_t ValueLength() const override { return 0; }
  std::string AsText() const override { return {}; }
};

TEST(BencodeValues, ContentBeyondThirtyTwoBitsClampsAndCountsAgainWhenTaken) {
  constexpr std::int32_t kClamped = 2147483647;
  CAtomList list;
  for (int i = 0; i < 5; ++i) list.Append(std::make_unique<Huge>());
  EXPECT_EQ(list.WireLength(), kClamped);

  CAtomDicti dicti;
  for (const char* key : {"a", "b", "c", "d", "e"}) dicti.Store(key, std::make_unique<Huge>());
  EXPECT_EQ(dicti.WireLength(), kClamped);
  dicti.Store("a", std::make_unique<CAtomLong>(7));  // "1:a" "i7e" instead of a huge one
  for (const char* key : {"b", "c"}) EXPECT_NE(dicti.Release(key), nullptr);
  EXPECT_EQ(dicti.WireLength(), kClamped);  // 2 + 6 + 2 * (3 + 2^30): still past 2^31 - 1
  EXPECT_NE(dicti.Release("d"), nullptr);
  EXPECT_EQ(dicti.WireLength(), 2 + 6 + 3 + Huge::kWire);
}

// A value of a kind outside the family.
class Foreign : public CAtom {
 public:
  std::int32_t WireLength() const override { return 3; }
  std::int32_t ValueLength() const override { return 0; }
  std::string AsText() const override { return "?"; }
};

TEST(BencodeValues, CopiesAreDeepAndSkipForeignKinds) {
  AtomPtr decoded = Parse("d4:listli1e1:xd1:ki2eee3:numi5ee");
  ASSERT_TRUE(decoded && decoded->HoldsDicti());
  const auto& original = static_cast<const CAtomDicti&>(*decoded);
  CAtomDicti copy(original);
  decoded.reset();  // the copy owns its own values
  EXPECT_EQ(SerializeValue(copy), "d4:listli1e1:xd1:ki2eee3:numi5ee");

  CAtomList list;
  list.Append(std::make_unique<CAtomInt>(4));
  list.Append(std::make_unique<Foreign>());
  list.Append(std::make_unique<CAtomString>("s"));
  EXPECT_EQ(SerializeValue(list), std::nullopt);  // the foreign value cannot be encoded
  CAtomList listCopy(list);
  EXPECT_EQ(listCopy.Items().size(), 2u);
  EXPECT_EQ(SerializeValue(listCopy), "li4e1:se");
}

TEST(BencodeValues, CopyFromItselfOrFromAValueInside) {
  AtomPtr decoded = Parse("d5:innerd1:ai1ee5:outeri2ee");
  auto& dicti = static_cast<CAtomDicti&>(*decoded);
  dicti.CopyFrom(dicti);
  EXPECT_EQ(SerializeValue(dicti), "d5:innerd1:ai1ee5:outeri2ee");
  // The source lives inside the target and goes when the target is emptied.
  dicti.CopyFrom(static_cast<const CAtomDicti&>(*dicti.Lookup("inner")));
  EXPECT_EQ(SerializeValue(dicti), "d1:ai1ee");
}

TEST(BencodeValues, ShuffleIsAPermutationDrivenByRand) {
  auto shuffled = [](unsigned seed) {
    CAtomList list;
    for (int i = 0; i < 20; ++i) list.Append(std::make_unique<CAtomLong>(i));
    std::srand(seed);
    list.Shuffle();
    return *SerializeValue(list);
  };
  const std::string first = shuffled(7);
  EXPECT_EQ(first, shuffled(7));
  AtomPtr back = Parse(first);
  std::vector<int> seen(20, 0);
  for (const AtomPtr& item : static_cast<CAtomList&>(*back).Items())
    ++seen.at(std::stoi(item->AsText()));
  EXPECT_EQ(seen, std::vector<int>(20, 1));
  CAtomList empty;
  empty.Shuffle();
  EXPECT_TRUE(empty.HasNoItems());
}

TEST(BencodeFile, UnreadableOrEmptyFilesGiveNone) {
  ScratchFolder folder;
  const std::string fifo = folder.Path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = folder.Path("missing.torrent");
  const std::string unreadable = folder.Write("locked.torrent", "de");
  chmod(unreadable.c_str(), 0);
  for (const std::string& path :
       {folder.Path(""), missing, folder.Write("empty", ""), fifo, std::string("/dev/null")}) {
    EXPECT_EQ(ParseTorrentFile(path), nullptr) << path;
  }
  if (geteuid() != 0) {
    EXPECT_EQ(ParseTorrentFile(unreadable), nullptr);
  }
  AtomPtr value = ParseTorrentFile(folder.Write("one", "d1:ai1ee trailing bytes"));
  ASSERT_TRUE(value);
  EXPECT_EQ(SerializeValue(*value), "d1:ai1ee");
}

}  // namespace
}  // namespace morvane
