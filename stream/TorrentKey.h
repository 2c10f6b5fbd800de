#pragma once
// A torrent's name in the service: the 40 hex digits of its v1 info-hash (of the v2 hash,
// cut to 20 bytes, for a v2-only torrent), as in /stream/HASH addresses and cache folders.

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/info_hash.hpp>
#include <libtorrent/torrent_info.hpp>
#include <string>

namespace morvane::stream {

inline std::string KeyOf(const libtorrent::info_hash_t& hashes) {
  const libtorrent::sha1_hash best = hashes.has_v1() ? hashes.v1 : hashes.get_best();
  if (best.is_all_zeros()) return {};
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char byte : best) {
    out += digits[(static_cast<unsigned char>(byte) >> 4) & 15];
    out += digits[static_cast<unsigned char>(byte) & 15];
  }
  return out;
}

inline std::string KeyOf(const libtorrent::add_torrent_params& params) {
  return params.ti ? KeyOf(params.ti->info_hashes()) : KeyOf(params.info_hashes);
}

}  // namespace morvane::stream
