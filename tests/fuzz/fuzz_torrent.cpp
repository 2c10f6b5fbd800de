// libFuzzer target: the decoder, the encoder and the metadata reader over arbitrary bytes.
// Besides crashes, leaks and undefined behaviour it checks two promises: a decoded value
// encodes to exactly WireLength bytes, also as entries leave and join a dictionary, and
// that encoding decodes to itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "torrent/Bencode.h"
#include "torrent/Torrent.h"
#include "torrent/TorrentFileInfo.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvane;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto length = static_cast<std::uint32_t>(size);
  if (AtomPtr value = ParseValue(bytes.data(), length, 0)) {
    const auto encoded = SerializeValue(*value);
    Check(encoded.has_value());
    Check(encoded->size() == static_cast<std::size_t>(value->WireLength()));
    AtomPtr again = ParseValue(encoded->data(), static_cast<std::uint32_t>(encoded->size()), 0);
    Check(again != nullptr);
    Check(SerializeValue(*again) == encoded);
    AtomPtr copy = CloneAtom(*value);
    Check(copy && SerializeValue(*copy) == encoded);
    // Entries taken out and stored back under longer keys (which come to be held apart
    // from the entry) keep WireLength the size of the encoding.
    if (value->HoldsDicti()) {
      auto& dicti = static_cast<CAtomDicti&>(*value);
      while (!dicti.HasNoItems()) {
        const std::string key(dicti.Items().begin()->first.View());
        AtomPtr taken = dicti.Release(key);
        Check(taken != nullptr && dicti.Lookup(key) == nullptr);
        if (key.size() < 12) dicti.Store(key + "~", std::move(taken));
        const auto now = SerializeValue(dicti);
        Check(now.has_value() && now->size() == static_cast<std::size_t>(dicti.WireLength()));
      }
    }
  }
  // A start position inside the data, as containers use it.
  if (size > 1) ParseValue(bytes.data(), length, data[0] % length);

  CTorrent torrent;
  TorrentFileInfo record;
  InitTorrentFileInfo(record);
  if (torrent.LoadBytes(bytes)) {
    FillTorrentFileInfo(torrent, record);
    Check(record.infoHash.size() == 40);
    Check(record.fileLengths.size() == record.filePaths.size());
  }
  ReleaseTorrentFileInfo(record);
  return 0;
}
