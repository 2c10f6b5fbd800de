#include "search/SearchController.h"

#include <mutex>
#include <utility>

#include "platform/Worker.h"
#include "search/IndexerSearch.h"
#include "search/ResultRows.h"
#include "search/SiteScrapers.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane {

namespace {

std::string EncodedKeyword(Program& program) {
  return EncodeKeyword(program.ui.Text("编辑框_种子关键字"));
}

void ShowBusyIndicators(Program& program) {
  program.ui.SetVisible("标签5", true);
  program.ui.SetVisible("图片框7", true);
}

// Load-more takes the next page number and the search it continues in one step, so that
// two load-mores never fetch the same page and a page is never counted against a list
// that a new search has cleared in between.
struct NextPage {
  int number;
  std::uint64_t generation;
};

NextPage TakeNextPage(Program& program) {
  std::lock_guard lock(program.search.mutex);
  return {++program.search.pageCounter, program.search.generation};
}

// The indexer a site box item names, or null for the two sites and any other index.
const IndexerSource* IndexerAt(const Program& program, int site) {
  const auto& indexers = program.settings.indexers;
  if (site < kFirstIndexer || static_cast<std::size_t>(site - kFirstIndexer) >= indexers.size())
    return nullptr;
  return &indexers[static_cast<std::size_t>(site - kFirstIndexer)];
}

// An indexer's page is listed like a site's; what the indexer answered instead of a feed is
// then told, unless a newer search has replaced the list the page was for.
void PublishIndexerPage(Program& program, std::uint64_t generation,
                        const IndexerSource& indexer, IndexerPage page) {
  const bool listed =
      PublishPage(program, generation, std::move(page.body), std::move(page.fields));
  if (listed && !page.error.empty()) {
    program.ui.ShowMessage(IndexerErrorMessage(indexer, page.error), Gbk("信息："),
                           MessageButtons::Ok, MessageIcon::None);
  }
}

// The page as text: it ends before the first NUL byte.
std::string PageText(std::string bytes) {
  const auto nul = bytes.find('\0');
  if (nul != std::string::npos) bytes.resize(nul);
  return bytes;
}

}  // namespace

void StartSearch(Program& program) {
  if (program.ui.Text("编辑框_种子关键字").empty()) {
    program.ui.ShowMessage(Gbk("请先输入您想要搜索的关键字"), Gbk("信息："), MessageButtons::Ok,
                           MessageIcon::None);
    return;
  }
  StartWorker([&program] { SearchWorker(program); });
}

void SearchWorker(Program& program) {
  std::uint64_t generation = 0;
  int site = -1;
  {
    // The clear, the new generation and the counter reset form one step: no page of an
    // earlier search or load-more can be appended between them.
    std::lock_guard lock(program.search.mutex);
    program.ui.DeleteAllRows("超级列表框1");
    generation = ++program.search.generation;
    ShowBusyIndicators(program);
    site = program.ui.SelectedIndex("组合框1");
    if (site == kFirstSite || site == kSecondSite || IndexerAt(program, site) != nullptr) {
      program.search.rowCounter = 0;
      program.search.pageCounter = 1;
    }
  }
  if (site == kFirstSite) {
    StartWorker([&program, generation] { FirstSiteSearch(program, generation); });
  } else if (site == kSecondSite) {
    StartWorker([&program, generation] { SecondSiteSearch(program, generation); });
  } else if (const IndexerSource* indexer = IndexerAt(program, site)) {
    StartWorker([&program, generation, indexer] { IndexerSearch(program, generation, *indexer); });
  }
}

void FirstSiteSearch(Program& program, std::uint64_t generation) {
  const std::string address =
      FirstSiteAddress(program.settings.firstSiteBase, EncodedKeyword(program), 1);
  std::string page = FetchPage(address);
  ScrapedFields fields = ScrapeFirstSite(page);
  PublishPage(program, generation, std::move(page), std::move(fields));
}

void SecondSiteSearch(Program& program, std::uint64_t generation) {
  const std::string address =
      SecondSiteAddress(program.settings.secondSiteBase, EncodedKeyword(program), 1);
  std::string page = FetchPage(address);
  StartWorker([&program, generation, page = std::move(page)]() mutable {
    SecondSiteParse(program, generation, std::move(page));
  });
}

void SecondSiteParse(Program& program, std::uint64_t generation, std::string page) {
  ScrapedFields fields = ScrapeSecondSite(page, program.settings.secondSiteBase);
  PublishPage(program, generation, std::move(page), std::move(fields));
}

void IndexerSearch(Program& program, std::uint64_t generation, const IndexerSource& indexer) {
  IndexerPage page = FetchIndexerPage(indexer, EncodedKeyword(program), 1);
  PublishIndexerPage(program, generation, indexer, std::move(page));
}

void StartLoadMore(Program& program) {
  StartWorker([&program] { LoadMoreWorker(program); });
}

void LoadMoreWorker(Program& program) {
  ShowBusyIndicators(program);
  const int site = program.ui.SelectedIndex("组合框1");
  if (site == kFirstSite) {
    StartWorker([&program] { FirstSiteMore(program); });
  } else if (site == kSecondSite) {
    StartWorker([&program] { SecondSiteMore(program); });
  } else if (const IndexerSource* indexer = IndexerAt(program, site)) {
    StartWorker([&program, indexer] { IndexerMore(program, *indexer); });
  }
}

void FirstSiteMore(Program& program) {
  const std::string keyword = EncodedKeyword(program);
  const NextPage next = TakeNextPage(program);
  std::string page = PageText(
      FetchPageBytes(FirstSiteAddress(program.settings.firstSiteBase, keyword, next.number)));
  ScrapedFields fields = ScrapeFirstSite(page);
  PublishPage(program, next.generation, std::move(page), std::move(fields));
}

void SecondSiteMore(Program& program) {
  const std::string keyword = EncodedKeyword(program);
  const NextPage next = TakeNextPage(program);
  std::string page = PageText(
      FetchPageBytes(SecondSiteAddress(program.settings.secondSiteBase, keyword, next.number)));
  ScrapedFields fields = ScrapeSecondSite(page, program.settings.secondSiteBase);
  PublishPage(program, next.generation, std::move(page), std::move(fields));
}

void IndexerMore(Program& program, const IndexerSource& indexer) {
  const std::string keyword = EncodedKeyword(program);
  const NextPage next = TakeNextPage(program);
  IndexerPage page = FetchIndexerPage(indexer, keyword, next.number);
  PublishIndexerPage(program, next.generation, indexer, std::move(page));
}

}  // namespace morvane
