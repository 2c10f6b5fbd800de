#include "search/SearchController.h"

#include <mutex>
#include <utility>

#include "platform/Worker.h"
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
    if (site == kFirstSite || site == kSecondSite) {
      program.search.rowCounter = 0;
      program.search.pageCounter = 1;
    }
  }
  if (site == kFirstSite) {
    StartWorker([&program, generation] { FirstSiteSearch(program, generation); });
  } else if (site == kSecondSite) {
    StartWorker([&program, generation] { SecondSiteSearch(program, generation); });
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

}  // namespace morvane
