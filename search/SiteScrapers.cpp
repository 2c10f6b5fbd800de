#include "search/SiteScrapers.h"

namespace morvane {

namespace {

// The first site's markup around a result's first file name. Its line breaks are bare LF.
constexpr std::string_view kFirstNameLeft =
    "</a>\n</p>\n<div class=\"m-files\">\n\n\n\n\n<ul class=\"m-files-ul\">\n\n<li>";
constexpr std::string_view kFirstNameRight = "\n<span style=\"color:#888;\">";
constexpr std::string_view kFirstHashLeft = "m-title\"><a href=\"/hash/";
constexpr std::string_view kQuote = "\"";
// "大小:" in GBK, written as bytes so that it does not depend on the conversion tables.
constexpr std::string_view kFirstSizeLeft = "\xB4\xF3\xD0\xA1:";
constexpr std::string_view kFirstSizeRight = "&nbsp;&nbsp";

constexpr std::string_view kSecondNameLeft = "class=\"btn\" title=\"";
constexpr std::string_view kSecondHashBefore = "<td class=\"action\"><a href=\"";
constexpr std::string_view kSecondHashAfter = "/magnet/detail/hash/";
constexpr std::string_view kSecondSizeLeft = "<td class=\"files-size\">";
constexpr std::string_view kSecondSizeRight = "</td>";

}  // namespace

std::string EncodeKeyword(std::string_view keyword) {
  return PercentEncode(keyword, true, true);
}

std::string FirstSiteAddress(std::string_view base, std::string_view encodedKeyword, int page) {
  std::string address(base);
  address.append("/?s=").append(encodedKeyword).append("&p=").append(std::to_string(page));
  return address;
}

std::string SecondSiteAddress(std::string_view base, std::string_view encodedKeyword, int page) {
  std::string address(base);
  address.append("/search/")
      .append(encodedKeyword)
      .append("/currentPage/")
      .append(std::to_string(page));
  return address;
}

ScrapedFields ScrapeFirstSite(std::string_view page) {
  ScrapedFields fields;
  fields.names = ExtractAll(page, kFirstNameLeft, kFirstNameRight);
  fields.hashes = ExtractAll(page, kFirstHashLeft, kQuote);
  fields.sizes = ExtractAll(page, kFirstSizeLeft, kFirstSizeRight);
  return fields;
}

ScrapedFields ScrapeSecondSite(std::string_view page, std::string_view secondSiteBase) {
  std::string hashLeft(kSecondHashBefore);
  hashLeft.append(secondSiteBase).append(kSecondHashAfter);
  ScrapedFields fields;
  fields.names = ExtractAll(page, kSecondNameLeft, kQuote);
  fields.hashes = ExtractAll(page, hashLeft, kQuote);
  fields.sizes = ExtractAll(page, kSecondSizeLeft, kSecondSizeRight);
  return fields;
}

}  // namespace morvane
