// morvane-tool search SITE KEYWORD [PAGE] [--base URL] [--key KEY]: one result page of a
// search site or a Torznab indexer, read and cut up exactly as the program does.

#include <cstdio>
#include <optional>
#include <string>

#include "platform/Settings.h"
#include "platform/UserConfig.h"
#include "search/IndexerFile.h"
#include "search/IndexerSearch.h"
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

void PrintRows(const ScrapedFields& fields) {
  const auto rows = MakeResultRows(fields.names, fields.hashes, fields.sizes, 0, fields.links);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string name = i < fields.names.size() ? fields.names[i] : std::string();
    std::printf("%s\t%s\t%s\t%s\n", rows[i][0].c_str(), OneLine(LocalToUtf8(name)).c_str(),
                OneLine(LocalToUtf8(rows[i][2])).c_str(), OneLine(LocalToUtf8(rows[i][3])).c_str());
  }
}

// The indexer of --base (and --key), else the first of the user's indexer file.
std::optional<IndexerSource> IndexerToSearch(bool baseGiven, const std::string& base,
                                             const std::string& key) {
  if (baseGiven) return IndexerFromAddress("torznab", base, key);
  IndexerFile file = ReadIndexerFile(UserConfigPath(kIndexerFileName));
  if (file.indexers.empty()) return std::nullopt;
  if (!key.empty()) file.indexers.front().apiKey = key;
  return file.indexers.front();
}

int SearchIndexer(const IndexerSource& indexer, const std::string& keywordUtf8, int page) {
  const std::string keyword = EncodeKeyword(Utf8ToLocal(keywordUtf8));
  std::fprintf(stderr, "%s\n",
               WithoutKey(IndexerAddress(indexer, keyword, page), indexer.apiKey).c_str());
  const IndexerPage result = FetchIndexerPage(indexer, keyword, page);
  if (!result.error.empty()) {
    std::fprintf(stderr, "morvane-tool search: the indexer answered: %s\n",
                 result.error.c_str());
    return 1;
  }
  PrintRows(result.fields);
  return 0;
}

int RunSearch(const Arguments& args) {
  std::string base;
  std::string key;
  bool baseGiven = false;
  Arguments positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--base" || args[i] == "--key") {
      if (i + 1 == args.size()) {
        std::fprintf(stderr, "morvane-tool search: %s needs a value\n", args[i].c_str());
        return 2;
      }
      if (args[i] == "--base") {
        base = args[++i];
        baseGiven = true;
      } else {
        key = args[++i];
      }
    } else {
      positional.push_back(args[i]);
    }
  }
  int page = 1;
  const bool torznab = !positional.empty() && positional[0] == "torznab";
  if (positional.size() < 2 || positional.size() > 3 ||
      (positional[0] != "0" && positional[0] != "1" && !torznab) ||
      (positional.size() == 3 && !ParsePage(positional[2], page))) {
    std::fprintf(stderr,
                 "usage: morvane-tool search SITE KEYWORD [PAGE] [--base URL] [--key KEY]\n"
                 "  SITE 0, 1 or torznab, PAGE a number from 1\n");
    return 2;
  }
  if (torznab) {
    const auto indexer = IndexerToSearch(baseGiven, base, key);
    if (!indexer) {
      std::fprintf(stderr,
                   "morvane-tool search: name the indexer's Torznab address with --base "
                   "(http or https), or list one in %s\n",
                   UserConfigPath(kIndexerFileName).c_str());
      return 2;
    }
    return SearchIndexer(*indexer, positional[1], page);
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
  PrintRows(site == kFirstSite ? ScrapeFirstSite(text) : ScrapeSecondSite(text, base));
  return 0;
}

const RegisterCommand kSearch{
    "search", "SITE KEYWORD [PAGE] [--base URL] [--key KEY]",
    "fetch result page PAGE (default 1) of search site SITE (0 or 1) or of a Torznab indexer "
    "(torznab) for a UTF-8 keyword: the address on stderr (an indexer's key as ***), one row "
    "a line on stdout (ID, name, magnet link, size; tab separated, UTF-8); --base replaces "
    "the site's base address or names the indexer's Torznab address (default: the first of "
    "the user's indexers.conf), --key its key when the address has no apikey=; an indexer's "
    "error goes to stderr with exit code 1",
    &RunSearch};

}  // namespace
}  // namespace morvane::tool
