#pragma once
// The two search sites: the address of a result page and the fields cut out of it.
// Pages are GBK texts (a UTF-8 page has been converted on receipt).

#include <string>
#include <string_view>

#include "web/Text.h"

namespace morvane {

// The fields of one result page. The lists are cut out independently and matched by
// position only, so they may differ in length: a result without a file list shifts every
// later name up by one.
struct ScrapedFields {
  TextList names;
  TextList hashes;
  TextList sizes;
  // Whole magnet links, one for each hash, where the source gives more than a hash (an
  // indexer's links carry names and trackers); empty for the sites.
  TextList links = {};
};

// 组合框1's items. The user's indexers follow the two sites, from kFirstIndexer on.
enum SearchSite : int { kFirstSite = 0, kSecondSite = 1, kFirstIndexer = 2 };

// The keyword as both sites take it: UTF-8, percent-encoded, only "-", ".", digits and
// ASCII letters kept.
std::string EncodeKeyword(std::string_view keyword);

// base + "/?s=" + keyword + "&p=" + page
std::string FirstSiteAddress(std::string_view base, std::string_view encodedKeyword, int page);
// base + "/search/" + keyword + "/currentPage/" + page
std::string SecondSiteAddress(std::string_view base, std::string_view encodedKeyword, int page);

ScrapedFields ScrapeFirstSite(std::string_view page);
// The second site's hash marker carries its base address: a detail link to any other host
// is not a result.
ScrapedFields ScrapeSecondSite(std::string_view page, std::string_view secondSiteBase);

}  // namespace morvane
