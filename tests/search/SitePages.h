#pragma once
// Result pages in the two search sites' markup, for tests and benchmarks. Pages are built
// in UTF-8; Gbk() turns one into the GBK text a scraper receives.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "web/Text.h"

namespace morvane::testing {

struct SiteResult {
  std::string name;  // UTF-8
  std::string hash;
  std::string size;  // UTF-8
};

// One result of the first site: title link, file list with a grey annotation, size label.
inline void AppendFirstSiteResult(std::string& page, const SiteResult& r) {
  page += "<div class=\"m-item\">\n<p class=\"m-title\"><a href=\"/hash/";
  page += r.hash;
  page += "\">";
  page += r.name;
  page += "</a>\n</p>\n<div class=\"m-files\">\n\n\n\n\n<ul class=\"m-files-ul\">\n\n<li>";
  page += r.name;
  page += "\n<span style=\"color:#888;\">(1 个文件)</span></li>\n</ul>\n</div>\n";
  page += "<div class=\"m-meta\"><span>大小:";
  page += r.size;
  page += "&nbsp;&nbsp;</span><span>收录时间: 2024-05-01</span></div>\n</div>\n";
}

inline std::string FirstSitePage(const std::vector<SiteResult>& results) {
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>搜索结果</title></head>\n"
      "<body>\n<div class=\"m-list\">\n";
  for (const auto& r : results) AppendFirstSiteResult(page, r);
  page += "</div>\n</body></html>\n";
  return page;
}

// One result row of the second site: name button, size cell, action cell with the detail
// link on the site's own host.
inline void AppendSecondSiteResult(std::string& page, const SiteResult& r, std::string_view base) {
  page += "<tr>\n<td class=\"name\"><a class=\"btn\" title=\"";
  page += r.name;
  page += "\" href=\"/torrent/";
  page += r.hash;
  page += "\">";
  page += r.name;
  page += "</a></td>\n<td class=\"files-size\">";
  page += r.size;
  page += "</td>\n<td class=\"action\"><a href=\"";
  page += base;
  page += "/magnet/detail/hash/";
  page += r.hash;
  page += "\">详情</a></td>\n</tr>\n";
}

inline std::string SecondSitePage(const std::vector<SiteResult>& results, std::string_view base) {
  std::string page =
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\">"
      "<title>种子搜索</title></head>\n<body>\n<table class=\"result\">\n";
  for (const auto& r : results) AppendSecondSiteResult(page, r, base);
  page += "</table>\n</body></html>\n";
  return page;
}

// n results whose names tell page and position apart: "<tag> 第<page>页 <i>", hashes 40
// hexadecimal digits.
inline std::vector<SiteResult> NumberedResults(std::string_view tag, int page, int n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::vector<SiteResult> results;
  for (int i = 1; i <= n; ++i) {
    SiteResult r;
    r.name = std::string(tag) + " 第" + std::to_string(page) + "页 " + std::to_string(i);
    unsigned v = static_cast<unsigned>(page) * 1000003u + static_cast<unsigned>(i) * 7919u;
    for (int k = 0; k < 40; ++k) {
      r.hash += kHex[(v >> 16) & 15];
      v = v * 1103515245u + 12345u;
    }
    r.size = std::to_string(100 + i) + ".5 MB";
    results.push_back(std::move(r));
  }
  return results;
}

// A Torznab feed of the results in the shape Jackett writes for a public site: each item with
// its download link (which carries the key), size, categories, a magneturl with trackers, the
// infohash and the swarm's numbers. `sizes` are the items' sizes in bytes.
inline std::string TorznabFeedOf(const std::vector<SiteResult>& results,
                                 const std::vector<long long>& sizes) {
  std::string feed =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\" "
      "xmlns:atom=\"http://www.w3.org/2005/Atom\" "
      "xmlns:torznab=\"http://torznab.com/schemas/2015/feed\">\n<channel>\n"
      "<atom:link href=\"http://127.0.0.1:9117/\" rel=\"self\" type=\"application/rss+xml\" />\n"
      "<title>AggregateSearch</title>\n<description>AggregateSearch</description>\n"
      "<link>http://127.0.0.1:9117/</link>\n<language>en-US</language>\n"
      "<category>search</category>\n";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const SiteResult& r = results[i];
    const std::string size = std::to_string(i < sizes.size() ? sizes[i] : 0);
    const std::string link = "http://127.0.0.1:9117/dl/site/?jackett_apikey=0123456789abcdef&amp;"
                             "path=Q2ZESjhBR0xW&amp;file=" + r.hash;
    feed += "<item>\n<title>" + r.name + "</title>\n<guid>https://site.example/torrent/" +
            r.hash + "</guid>\n<jackettindexer id=\"site\">Site</jackettindexer>\n"
            "<type>public</type>\n<comments>https://site.example/torrent/" + r.hash +
            "</comments>\n<pubDate>Wed, 01 May 2024 12:00:00 +0800</pubDate>\n<size>" + size +
            "</size>\n<description>" + r.name + "</description>\n<link>" + link +
            "</link>\n<category>2000</category>\n<category>100001</category>\n"
            "<enclosure url=\"" + link + "\" length=\"" + size +
            "\" type=\"application/x-bittorrent\" />\n"
            "<torznab:attr name=\"category\" value=\"2000\" />\n"
            "<torznab:attr name=\"category\" value=\"100001\" />\n"
            "<torznab:attr name=\"seeders\" value=\"" + std::to_string(1000 - i) + "\" />\n"
            "<torznab:attr name=\"peers\" value=\"" + std::to_string(1200 - i) + "\" />\n"
            "<torznab:attr name=\"infohash\" value=\"" + r.hash + "\" />\n"
            "<torznab:attr name=\"magneturl\" value=\"magnet:?xt=urn:btih:" + r.hash +
            "&amp;dn=" + PercentEncode(r.name, true, false) +
            "&amp;tr=udp%3a%2f%2ftracker.example%3a1337%2fannounce"
            "&amp;tr=http%3a%2f%2ftracker.example%2fannounce\" />\n"
            "<torznab:attr name=\"downloadvolumefactor\" value=\"0\" />\n"
            "<torznab:attr name=\"uploadvolumefactor\" value=\"1\" />\n</item>\n";
  }
  return feed + "</channel>\n</rss>\n";
}

// A large GBK result page for benchmarks: `count` results with realistic names, spread
// evenly over `size` bytes with description blocks between them, the way a real result page
// mixes markup, GBK text and links.
inline std::string LargeResultPage(bool firstSite, int count, std::size_t size,
                                   std::string_view secondBase) {
  const std::string filler =
      Gbk("<div class=\"m-desc\">简介 高清 中文字幕 ") + "lorem ipsum dolor sit amet </div>\n";
  std::string page = Gbk(firstSite ? FirstSitePage({}) : SecondSitePage({}, secondBase));
  const std::size_t start = page.size();
  const std::size_t share = (size - start) / static_cast<std::size_t>(count);
  for (int i = 0; i < count; ++i) {
    SiteResult r =
        NumberedResults("[1080P] 中国合伙人 高清中字 Movie.Name", 1 + i / 20, 20)[i % 20];
    r.size = std::to_string(1 + i % 9) + "." + std::to_string(i % 10) + " GB";
    std::string one;
    if (firstSite) {
      AppendFirstSiteResult(one, r);
    } else {
      AppendSecondSiteResult(one, r, secondBase);
    }
    page += Gbk(one);
    const std::size_t end = start + (static_cast<std::size_t>(i) + 1) * share;
    while (page.size() + filler.size() <= end) page += filler;
    if (page.size() < end) page.append(end - page.size(), ' ');
  }
  if (page.size() < size) page.append(size - page.size(), ' ');
  return page;
}

}  // namespace morvane::testing
