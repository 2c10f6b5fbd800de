#pragma once
// Searching a Torznab indexer the user runs: the address of a result page, the magnet link
// of each item, and the page's rows in the same fields the two sites' pages give.
//
// The indexer's key travels in the request's query only. It is never part of a row, a
// magnet link, a message or the Referer: an indexer's download links carry it too, and a
// redirect may lead anywhere.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Settings.h"
#include "search/SiteScrapers.h"
#include "search/TorznabFeed.h"

namespace morvane {

// Items asked for a page, as many as a site's page lists: page n (from 1) starts at offset
// kIndexerPageSize × (n − 1).
inline constexpr int kIndexerPageSize = 20;

// The request of result page `page`: t=search, the keyword (encoded as for the sites),
// limit, offset and the key. Holds the key: never show or log it, see WithoutKey.
std::string IndexerAddress(const IndexerSource& indexer, std::string_view encodedKeyword,
                           int page);

// `text` with every occurrence of the key written as "***".
std::string WithoutKey(std::string_view text, std::string_view key);

// A size as the sites' pages show one: "702.4 MB", "2.05 GB", "512 B".
std::string SizeText(std::int64_t bytes);

// Follows an address (a download link, or a magneturl that is an address) to a magnet
// link: a redirect to a magnet link gives it; one to another address is followed, a few
// times at most; a .torrent body gives the magnet link of its info-hash, named `titleUtf8`.
// "" for anything else, or once `due` has passed.
std::string FollowToMagnet(const std::string& address, std::string_view titleUtf8,
                           std::chrono::steady_clock::time_point due);
using LinkFollower =
    std::function<std::string(const std::string& address, std::string_view titleUtf8)>;

// The magnet link of an item, trying in order: the magneturl attribute (a magnet link, or
// an address followed), the infohash attribute, the item's link, its enclosure. "" when none
// leads to one.
std::string ItemMagnet(const TorznabItem& item, const LinkFollower& follow);

// The rows of a page's items: most-seeded first, one for each item with a magnet link, its
// name and size in GBK, its magnet link in `links` without anything that holds `key`.
// Items whose link must be fetched are followed a few at a time.
ScrapedFields IndexerFields(std::vector<TorznabItem> items, const LinkFollower& follow,
                            std::string_view key);

// One result page of an indexer.
struct IndexerPage {
  std::string body;  // the answer as it came
  ScrapedFields fields;
  // What the indexer answered instead of a feed (UTF-8, without the key): an HTTP error
  // status, its <error> or an answer that is no feed. "" for a feed, and for an indexer
  // that could not be reached: that one ends as an unreachable site does, without a word.
  std::string error;
};
IndexerPage FetchIndexerPage(const IndexerSource& indexer, std::string_view encodedKeyword,
                             int page);

// The message box text for an indexer's error (GBK), naming the indexer and the error.
std::string IndexerErrorMessage(const IndexerSource& indexer, std::string_view errorUtf8);

}  // namespace morvane
