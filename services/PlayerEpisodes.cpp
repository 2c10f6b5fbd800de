#include "services/PlayerEpisodes.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

#include "services/ServiceRelay.h"

namespace morvane::services {

namespace {

constexpr time_t kListTimeoutSeconds = 5;
// Choosing an episode waits for the service to look into it (its probe reads the start and
// end of the video from the swarm), which it gives up on within a minute.
constexpr time_t kPlayTimeoutSeconds = 75;

void Refuse(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content("{\"error\":\"" + why + "\"}", "application/json");
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out + "\"";
}

}  // namespace

std::string ResolvedAddressOf(const std::string& answer, const std::string& service) {
  const auto open = answer.find("<file>");
  const auto close = answer.find("</file>");
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  const std::string address = answer.substr(open + 6, close - open - 6);
  if (!address.starts_with("http://" + service + "/")) return {};
  const bool plain = std::all_of(address.begin(), address.end(), [](unsigned char c) {
    return c > 0x20 && c < 0x7f && c != '"' && c != '<' && c != '>' && c != '\\';
  });
  return plain ? address : std::string();
}

void RoutePlayerEpisodes(httplib::Server& player) {
  player.Get("/stream-files", [](const httplib::Request& req, httplib::Response& res) {
    const std::string service = req.get_param_value("service");
    const std::string hash = req.get_param_value("hash");
    const std::string key = req.get_param_value("key");
    if (!IsServiceAddress(service) || !IsHexInfoHash(hash) || hash.size() != 40 ||
        !IsKeySegment(key))
      return Refuse(res, 400, "bad service, hash or key");
    PassOnJson(ServiceClient(service, kListTimeoutSeconds)->Get(KeyPath(key) + "/files/" + hash), res);
  });
  player.Get("/stream-play", [](const httplib::Request& req, httplib::Response& res) {
    const std::string service = req.get_param_value("service");
    const std::string hash = req.get_param_value("hash");
    const std::string file = req.get_param_value("file");
    const std::string key = req.get_param_value("key");
    if (!IsServiceAddress(service) || !IsHexInfoHash(hash) || hash.size() != 40 ||
        !IsFileIndex(file) || !IsKeySegment(key))
      return Refuse(res, 400, "bad service, hash, file or key");
    // The link goes unencoded, as the program sends links to a resolution service.
    const auto answer =
        ServiceClient(service, kPlayTimeoutSeconds)
            ->Get(KeyPath(key) + "/xml.php?url=magnet:?xt=urn:btih:" + hash + "&so=" + file);
    if (!answer) return Refuse(res, 502, "the streaming service did not answer");
    const std::string address = ResolvedAddressOf(answer->body, service);
    res.set_header("Cache-Control", "no-store");
    if (address.empty()) {
      const auto open = answer->body.find("<file>");
      const auto close = answer->body.find("</file>");
      const std::string why = open != std::string::npos && close > open
                                  ? answer->body.substr(open + 6, close - open - 6)
                                  : "the streaming service gave no address";
      res.status = 502;
      res.set_content("{\"error\":" + JsonString(why) + "}", "application/json");
      return;
    }
    res.set_content("{\"address\":" + JsonString(address) + "}", "application/json");
  });
}

std::string PlayerEpisodesScript() {
  return R"SCRIPT(<script>
(() => {
  const film = window.playerFilm;
  if (!film) return;
  const v = document.getElementById('player');
  // Seconds the next episode waits at the end of one, for the viewer to cancel it.
  const countdown = 5;
  let leaving = false;
  const play = (episode, box) => {
    if (leaving) return;
    leaving = true;
    if (box) box.textContent = '正在打开 ' + episode.label + ' …';
    fetch(film.ask('/stream-play', '&file=' + episode.index), {cache: 'no-store'})
        .then(r => r.json())
        .then(answer => {
          if (!answer.address) throw new Error(answer.error || 'no address');
          film.go(answer.address);
        })
        .catch(e => {
          leaving = false;
          const shown = box || film.overlay('episode-error');
          shown.textContent = '无法播放 ' + episode.label + '：' + e.message;
        });
  };
  film.files.then(({videos: all, current}) => {
    // A release's sample clip is no episode (unless it is what plays).
    const videos = all.filter(f => !f.sample || f === current);
    if (videos.length < 2) return;
    const list = film.section('episodes', '选集');
    videos.forEach(f => {
      f.label = f.name.split('/').pop().replace(/\.[^.]*$/, '');
      const item = document.createElement('a');
      item.className = 'episode' + (f === current ? ' playing' : '');
      item.href = '#';
      item.dataset.index = f.index;
      item.title = f.name;
      item.textContent = (f === current ? '\u25b6 ' : '') + f.label;
      item.style.cssText = 'display:block;white-space:nowrap;overflow:hidden;text-overflow:ellipsis;' +
                           'text-decoration:none;padding:1px 4px;border-radius:3px;' +
                           (f === current ? 'background:#2f6fb8;color:#fff' : 'color:#cfd8e6');
      if (f === current) item.setAttribute('aria-current', 'true');
      item.addEventListener('click', event => {
        event.preventDefault();
        if (f !== current) play(f);
      });
      list.appendChild(item);
    });
    const next = current ? videos[videos.indexOf(current) + 1] : undefined;
    if (!next) return;
    let counting = false;
    v.addEventListener('ended', () => {
      if (counting || leaving) return;
      counting = true;
      const box = film.overlay('next-episode');
      let left = countdown;
      const text = document.createElement('span');
      const cancel = document.createElement('button');
      cancel.id = 'cancel-next';
      cancel.textContent = '取消';
      cancel.style.marginLeft = '10px';
      box.replaceChildren(text, cancel);
      const show = () => { text.textContent = '下一集：' + next.label + '，' + left + ' 秒后播放'; };
      show();
      const timer = setInterval(() => {
        if (--left > 0) return show();
        clearInterval(timer);
        play(next, box);
      }, 1000);
      cancel.addEventListener('click', () => {
        clearInterval(timer);
        box.remove();
        counting = false;
      });
    });
  });
})();
</script>)SCRIPT";
}

}  // namespace morvane::services
