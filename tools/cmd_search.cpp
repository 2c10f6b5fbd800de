// morvane-tool search SITE KEYWORD [PAGE] [--base URL]: one result page of a search site,
// read and cut up exactly as the program does.

#include <cstdio>
#include <string>

#include "platform/Settings.h"
#include "search/ResultRows.h"
#include "search/SiteScrapers.h"
#include "tools/Commands.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane::tool {
namespace {

// A field on one output line: line breaks and tabs inside it (a file name may span lines)
// become spaces.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return text;
}

bool ParsePage(const std::string& text, int& page) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  page = std::stoi(text);
  return page >= 1;
}

int RunSearch(const Arguments& args) {
  std::string base;
  bool baseGiven = false;
  Arguments positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--base") {
      if (i + 1 == args.size()) {
        std::fprintf(stderr, "morvane-tool search: --base needs an address\n");
        return 2;
      }
      base = args[++i];
      baseGiven = true;
    } else {
      positional.push_back(args[i]);
    }
  }
  int page = 1;
  if (positional.size() < 2 || positional.size() > 3 ||
      (positional[0] != "0" && positional[0] != "1") ||
      (positional.size() == 3 && !ParsePage(positional[2], page))) {
    std::fprintf(stderr,
                 "usage: morvane-tool search SITE KEYWORD [PAGE] [--base URL]\n"
                 "  SITE 0 or 1, PAGE a number from 1\n");
    return 2;
  }
  const SearchSite site = positional[0] == "0" ? kFirstSite : kSecondSite;
  if (!baseGiven) {
    const Settings settings = BuildSettings();
    base = site == kFirstSite ? settings.firstSiteBase : settings.secondSiteBase;
  }
  while (!base.empty() && base.back() == '/') base.pop_back();

  const std::string keyword = EncodeKeyword(Utf8ToLocal(positional[1]));
  const std::string address = site == kFirstSite ? FirstSiteAddress(base, keyword, page)
                                                 : SecondSiteAddress(base, keyword, page);
  std::fprintf(stderr, "%s\n", address.c_str());

  const std::string text = FetchPage(address);
  const ScrapedFields fields =
      site == kFirstSite ? ScrapeFirstSite(text) : ScrapeSecondSite(text, base);
  const auto rows = MakeResultRows(fields.names, fields.hashes, fields.sizes, 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string name = i < fields.names.size() ? fields.names[i] : std::string();
    std::printf("%s\t%s\t%s\t%s\n", rows[i][0].c_str(), OneLine(LocalToUtf8(name)).c_str(),
                OneLine(LocalToUtf8(rows[i][2])).c_str(), OneLine(LocalToUtf8(rows[i][3])).c_str());
  }
  return 0;
}

const RegisterCommand kSearch{
    "search", "SITE KEYWORD [PAGE] [--base URL]",
    "fetch result page PAGE (default 1) of search site SITE (0 or 1) for a UTF-8 keyword: the "
    "address on stderr, one row a line on stdout (ID, name, magnet link, size; tab separated, "
    "UTF-8); --base replaces the site's base address",
    &RunSearch};

}  // namespace
}  // namespace morvane::tool
