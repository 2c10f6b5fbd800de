#include "services/Pages.h"

#include "services/PlayerCast.h"
#include "services/PlayerEpisodes.h"
#include "services/PlayerFilm.h"
#include "services/PlayerMedia.h"
#include "services/PlayerResume.h"
#include "services/PlayerTracks.h"
#include "services/StreamStatus.h"

#include <filesystem>

#include "web/Text.h"

namespace morvane::services {

namespace {

std::string Document(const std::string& title, const std::string& body,
                     const std::string& style = "") {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + MarkupEscape(title) +
         "</title><style>body{font-family:sans-serif;margin:0;padding:12px;background:#1d2330;"
         "color:#e8e8e8}a{color:#8fc1ff}" +
         style + "</style></head><body>\n" + body + "\n</body></html>\n";
}

// A video element that starts at once (muted, so no gesture is needed) and tells the page's
// title when it really plays, which is how tests see playback. The video leaves room below
// it for the status and the swarm line inside the program's small player view, which
// nobody scrolls.
std::string VideoElement(const std::string& sourceExpression, bool loop) {
  return "<video id=\"player\" controls autoplay muted playsinline" +
         std::string(loop ? " loop" : "") +
         " style=\"width:100%;max-height:calc(100vh - 7em);background:#000\"></video>\n"
         "<p id=\"status\">loading</p>\n<script>\n"
         "const v = document.getElementById('player');\n"
         "v.addEventListener('playing', () => { document.title = 'playing';"
         " document.getElementById('status').textContent = 'playing'; });\n"
         "v.addEventListener('error', () => { document.title = 'error';"
         " document.getElementById('status').textContent = 'error'; });\n"
         "v.src = " +
         sourceExpression + ";\nv.play().catch(() => {});\n</script>";
}

}  // namespace

std::string FirstSiteResultPage(const std::string& keyword,
                                const std::vector<const CatalogueEntry*>& results) {
  std::string body = "<h1>" + MarkupEscape(keyword) + "</h1>\n<div class=\"m-list\">\n";
  for (const CatalogueEntry* e : results) {
    // The line breaks after the title link and inside the file list are part of the layout
    // that the program reads.
    body += "<div class=\"m-item\">\n<p class=\"m-title\"><a href=\"/hash/" + e->hash + "\">" +
            MarkupEscape(e->name) +
            "</a>\n</p>\n<div class=\"m-files\">\n\n\n\n\n<ul class=\"m-files-ul\">\n\n<li>" +
            MarkupEscape(e->name + std::filesystem::path(e->media).extension().string()) +
            "\n<span style=\"color:#888;\">" + MarkupEscape(e->size) +
            "</span></li>\n</ul>\n</div>\n<p class=\"m-meta\">大小:" + MarkupEscape(e->size) +
            "&nbsp;&nbsp;文件数:" +
            std::to_string(e->packFiles.empty() ? 1 : e->packFiles.size()) +
            "</p>\n</div>\n";
  }
  if (results.empty()) body += "<p class=\"m-empty\">没有找到相关结果</p>\n";
  return Document(keyword + " - BT", body + "</div>");
}

std::string SecondSiteResultPage(const std::string& keyword,
                                 const std::vector<const CatalogueEntry*>& results,
                                 const std::string& base) {
  std::string body = "<h1>" + MarkupEscape(keyword) +
                     "</h1>\n<table class=\"result\">\n<tr><th>名称</th><th>大小</th>"
                     "<th>操作</th></tr>\n";
  for (const CatalogueEntry* e : results) {
    const std::string detail = base + "/magnet/detail/hash/" + e->hash;
    body += "<tr>\n<td class=\"name\"><a class=\"btn\" title=\"" + MarkupEscape(e->name) +
            "\" href=\"" + detail + "\">" + MarkupEscape(e->name) +
            "</a></td>\n<td class=\"files-size\">" + MarkupEscape(e->size) +
            "</td>\n<td class=\"action\"><a href=\"" + detail + "\">详情</a></td>\n</tr>\n";
  }
  body += "</table>";
  if (results.empty()) body += "\n<p>没有找到相关结果</p>";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>" + MarkupEscape(keyword) +
         " - BP</title></head><body>\n" + body + "\n</body></html>\n";
}

std::string DetailPage(const CatalogueEntry& entry, const std::string& publisherBase) {
  const std::string magnet = "magnet:?xt=urn:btih:" + entry.hash;
  return Document(entry.name, "<h1>" + MarkupEscape(entry.name) + "</h1>\n<p>大小: " +
                                  MarkupEscape(entry.size) + "</p>\n<p><a href=\"" + magnet + "\">" +
                                  magnet + "</a></p>\n<p><a href=\"" + publisherBase +
                                  "/torrents/" + entry.hash + ".torrent\">下载种子</a></p>");
}

std::string PlayerPage() {
  return Document("player",
                  VideoElement("(() => { const h = location.href; const i = h.indexOf('url=');"
                               " return i < 0 ? '' : h.substring(i + 4); })()",
                               false) +
                      "\n" + StreamStatusPanel() + "\n" + PlayerMediaScript() + "\n" +
                      PlayerFilmScript() + "\n" +
                      PlayerEpisodesScript() + "\n" +
                      PlayerResumeScript() + "\n" +
                      PlayerTracksScript() + "\n" +
                      PlayerCastScript());
}

std::string LibraryPlayerPage(const std::string& videoPage, const std::string& media) {
  return Document("library", "<p>" + MarkupEscape(videoPage) + "</p>\n" +
                                 VideoElement("'" + media + "'", false));
}

std::string LiveTvPage(const std::string& media) {
  return Document("live", "<h1>电视直播</h1>\n" + VideoElement("'" + media + "'", true));
}

std::string ForumPage() {
  return Document("Morvane 论坛", "<h1>Morvane 论坛</h1>\n<p>欢迎来到 Morvane 论坛。</p>");
}

std::string PlaceholderPage() {
  return Document("Morvane",
                  "<div style=\"display:flex;height:90vh;align-items:center;justify-content:"
                  "center\"><h1 style=\"font-weight:normal\">Morvane 在线云播</h1></div>");
}

std::string NoticePage() {
  return Document("notice",
                  "<div style=\"display:flex;height:90vh;align-items:center;justify-content:"
                  "center\"><h2 style=\"font-weight:normal\">正在解析视频地址，请稍候……</h2></div>");
}

}  // namespace morvane::services
