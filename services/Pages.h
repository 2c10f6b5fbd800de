#pragma once
// The pages the stand-in services serve, as UTF-8 HTML. The result pages carry exactly the
// markup the program's scrapers cut their fields from.

#include <string>
#include <vector>

#include "services/Catalogue.h"

namespace morvane::services {

std::string FirstSiteResultPage(const std::string& keyword,
                                const std::vector<const CatalogueEntry*>& results);
// `base` is the second site's own base address: its detail links carry it.
std::string SecondSiteResultPage(const std::string& keyword,
                                 const std::vector<const CatalogueEntry*>& results,
                                 const std::string& base);
std::string DetailPage(const CatalogueEntry& entry, const std::string& publisherBase);
// Plays the address that follows "url=" in its own address.
std::string PlayerPage();
std::string LibraryPlayerPage(const std::string& videoPage, const std::string& media);
std::string LiveTvPage(const std::string& media);
std::string ForumPage();
std::string PlaceholderPage();
std::string NoticePage();

}  // namespace morvane::services
