// The two sites' scrapers on pages written in each site's markup, and the request
// addresses.

#include <gtest/gtest.h>

#include "search/SiteScrapers.h"
#include "tests/search/SitePages.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::AppendFirstSiteResult;
using testing::AppendSecondSiteResult;
using testing::FirstSitePage;
using testing::SecondSitePage;
using testing::SiteResult;

constexpr std::string_view kBase = "http://bp.example:8080";

TextList ToUtf8(const TextList& list) {
  TextList out;
  for (const auto& t : list) out.push_back(LocalToUtf8(t));
  return out;
}

struct ScrapeCase {
  const char* what;
  SearchSite site;
  std::string page;  // UTF-8 markup, scraped as GBK
  TextList names;
  TextList hashes;
  TextList sizes;
};

std::string FirstSiteWithoutFileList() {
  std::string page = "<div class=\"m-list\">\n";
  AppendFirstSiteResult(page, {"甲", "aaaa", "1 GB"});
  // A result whose file list the site left out: title and size, no names.
  page +=
      "<p class=\"m-title\"><a href=\"/hash/bbbb\">乙</a>\n</p>\n"
      "<div class=\"m-meta\"><span>大小:2 GB&nbsp;&nbsp;</span></div>\n";
  AppendFirstSiteResult(page, {"丙", "cccc", "3 GB"});
  return page + "</div>";
}

std::string SecondSiteWithForeignDetailLink() {
  std::string page = "<table>\n";
  AppendSecondSiteResult(page, {"one", "1111", "1 GB"}, kBase);
  AppendSecondSiteResult(page, {"two", "2222", "2 GB"}, "http://mirror.example");
  AppendSecondSiteResult(page, {"three", "3333", "3 GB"}, kBase);
  return page + "</table>";
}

std::vector<ScrapeCase> Cases() {
  return {
      {"first site, three results in page order",
       kFirstSite,
       FirstSitePage({{"Big Buck Bunny.mkv", "0123456789abcdef0123456789abcdef01234567", "1.2 GB"},
                      {"中国合伙人.mp4", "FEDCBA9876543210FEDCBA9876543210FEDCBA98", "700 MB"},
                      {"雨 中.avi", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "3 KB"}}),
       {"Big Buck Bunny.mkv", "中国合伙人.mp4", "雨 中.avi"},
       {"0123456789abcdef0123456789abcdef01234567", "FEDCBA9876543210FEDCBA9876543210FEDCBA98",
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
       {"1.2 GB", "700 MB", "3 KB"}},
      {"first site, spaces around a value go, inner line breaks stay",
       kFirstSite,
       FirstSitePage({{"  第一行\n第二行  ", "abc", " 1.2 GB"}}),
       {"第一行\n第二行"},
       {"abc"},
       {"1.2 GB"}},
      {"first site, a missing file list shifts later names up",
       kFirstSite,
       FirstSiteWithoutFileList(),
       {"甲", "丙"},
       {"aaaa", "bbbb", "cccc"},
       {"1 GB", "2 GB", "3 GB"}},
      {"first site, markers match in upper case",
       kFirstSite,
       "<P CLASS=\"M-TITLE\"><A HREF=\"/HASH/ABCDEF\">x</A>\n</P>\n<DIV "
       "CLASS=\"M-FILES\">\n\n\n\n\n"
       "<UL CLASS=\"M-FILES-UL\">\n\n<LI>x.mkv\n<SPAN STYLE=\"COLOR:#888;\">\n"
       "大小:5 MB&NBSP;&NBSP;",
       {"x.mkv"},
       {"ABCDEF"},
       {"5 MB"}},
      {"first site, CR LF line breaks are another layout",
       kFirstSite,
       "<p class=\"m-title\"><a href=\"/hash/abc\">x</a>\r\n</p>\r\n<div class=\"m-files\">"
       "\r\n\r\n\r\n\r\n\r\n<ul class=\"m-files-ul\">\r\n\r\n<li>x.mkv\r\n"
       "<span style=\"color:#888;\">",
       {},
       {"abc"},
       {}},
      {"second site, three results in page order",
       kSecondSite,
       SecondSitePage({{"A.mkv", "0123456789abcdef0123456789abcdef01234567", "1.2 GB"},
                       {"中国合伙人", "FEDCBA9876543210FEDCBA9876543210FEDCBA98", "700 MB"},
                       {"C D", "cccc", "3 KB"}},
                      kBase),
       {"A.mkv", "中国合伙人", "C D"},
       {"0123456789abcdef0123456789abcdef01234567", "FEDCBA9876543210FEDCBA9876543210FEDCBA98",
        "cccc"},
       {"1.2 GB", "700 MB", "3 KB"}},
      {"second site, a detail link on another host is no hash",
       kSecondSite,
       SecondSiteWithForeignDetailLink(),
       {"one", "two", "three"},
       {"1111", "3333"},
       {"1 GB", "2 GB", "3 GB"}},
      {"second site, size cell trimmed",
       kSecondSite,
       "<td class=\"files-size\"> 700 MB </td>",
       {},
       {},
       {"700 MB"}},
      {"second site, every titled btn element gives a name",
       kSecondSite,
       "<a class=\"btn\" title=\"首页\" href=\"/\">首页</a>" +
           SecondSitePage({{"x", "1", "1 B"}}, kBase) +
           "<button class=\"btn\" title=\"下一页\">&gt;</button>",
       {"首页", "x", "下一页"},
       {"1"},
       {"1 B"}},
      {"an empty page gives nothing", kFirstSite, "", {}, {}, {}},
      {"an empty page gives nothing", kSecondSite, "", {}, {}, {}},
  };
}

TEST(SiteScrapers, CutFieldsOutOfResultPages) {
  for (const auto& c : Cases()) {
    SCOPED_TRACE(c.what);
    const std::string page = Gbk(c.page);
    const ScrapedFields f =
        c.site == kFirstSite ? ScrapeFirstSite(page) : ScrapeSecondSite(page, kBase);
    EXPECT_EQ(ToUtf8(f.names), c.names);
    EXPECT_EQ(f.hashes, c.hashes);
    EXPECT_EQ(ToUtf8(f.sizes), c.sizes);
  }
}

TEST(SiteScrapers, RequestAddresses) {
  struct Case {
    const char* keyword;  // UTF-8, as typed
    int page;
    const char* first;
    const char* second;
  } cases[] = {
      {"中国", 1, "http://a/?s=%E4%B8%AD%E5%9B%BD&p=1",
       "http://b/search/%E4%B8%AD%E5%9B%BD/currentPage/1"},
      {" ", 2, "http://a/?s=%20&p=2", "http://b/search/%20/currentPage/2"},
      {"a_b", 10, "http://a/?s=a%5Fb&p=10", "http://b/search/a%5Fb/currentPage/10"},
      {"Up-1.x/&?", 3, "http://a/?s=Up-1.x%2F%26%3F&p=3",
       "http://b/search/Up-1.x%2F%26%3F/currentPage/3"},
      {"", 4, "http://a/?s=&p=4", "http://b/search//currentPage/4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keyword);
    const std::string encoded = EncodeKeyword(Gbk(c.keyword));
    EXPECT_EQ(FirstSiteAddress("http://a", encoded, c.page), c.first);
    EXPECT_EQ(SecondSiteAddress("http://b", encoded, c.page), c.second);
  }
}

}  // namespace
}  // namespace morvane
