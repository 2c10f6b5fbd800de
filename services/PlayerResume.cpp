#include "services/PlayerResume.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

#include "services/ServiceRelay.h"

namespace morvane::services {

namespace {

constexpr time_t kPositionTimeoutSeconds = 3;
constexpr const char* kValues[] = {"seconds", "duration", "subtitleShift"};

// A plain decimal number ("754.25", "-0.3"): nothing else reaches the service's query.
bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 16) return false;
  std::size_t at = text[0] == '-' ? 1 : 0;
  bool digits = false, point = false;
  for (; at < text.size(); ++at) {
    if (std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
      digits = true;
    } else if (text[at] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits;
}

}  // namespace

void RoutePlayerResume(httplib::Server& player) {
  const auto relay = [](const httplib::Request& req, httplib::Response& res) {
    const std::string service = req.get_param_value("service");
    const std::string hash = req.get_param_value("hash");
    const std::string file = req.get_param_value("file");
    const std::string key = req.get_param_value("key");
    std::string query;
    bool valuesOk = true;
    for (const char* key : kValues) {
      if (!req.has_param(key)) continue;
      const std::string value = req.get_param_value(key);
      valuesOk = valuesOk && IsDecimal(value);
      query += std::string(query.empty() ? "?" : "&") + key + "=" + value;
    }
    if (!IsServiceAddress(service) || !IsHexInfoHash(hash) || hash.size() != 40 ||
        !IsFileIndex(file) || !valuesOk || !IsKeySegment(key) ||
        (req.method == "GET" && !query.empty())) {
      res.status = 400;
      res.set_content("{\"error\":\"bad service, hash, file or value\"}", "application/json");
      return;
    }
    const auto client = ServiceClient(service, kPositionTimeoutSeconds);
    const std::string target = KeyPath(key) + "/position/" + hash + "/" + file;
    PassOnJson(req.method == "GET" ? client->Get(target) : client->Post(target + query), res);
  };
  player.Get("/stream-position", relay);
  player.Post("/stream-position", relay);
}

std::string PlayerResumeScript() {
  return R"SCRIPT(<script>
(() => {
  const film = window.playerFilm;
  if (!film) return;
  const v = document.getElementById('player');
  // A place this close to the start is not worth offering, nor one in the last twentieth
  // of the film (its credits: it was watched).
  const leastSeconds = 10, watchedShare = 0.95;
  // How often the place is kept while the film plays, in milliseconds.
  const every = 5000;
  const two = n => String(n).padStart(2, '0');
  const clock = seconds => {
    const t = Math.floor(seconds), h = Math.floor(t / 3600), m = Math.floor(t % 3600 / 60);
    return (h > 0 ? h + ':' + two(m) : two(m)) + ':' + two(t % 60);
  };
  // While the offer waits, the film playing from its start does not overwrite the place
  // offered, until it passes it; before the place is known, nothing is kept.
  let deciding = true, offered = Infinity, last = 0;
  const keep = () => {
    if (v.seeking || v.readyState < 2) return;
    const t = film.time();
    if (!(t > 0) || (deciding && t <= offered)) return;
    if (deciding) {  // watched on past the place offered: the offer is moot
      const box = document.getElementById('resume');
      if (box) box.remove();
      deciding = false;
    }
    last = Date.now();
    film.record({seconds: t, duration: film.length()});
  };
  const seek = t => {
    if (film.converted && window.seekFilm) window.seekFilm(t);
    else v.currentTime = t;
  };
  film.saved.then(saved => {
    if (film.continueAt > 0) {  // the same film in another form (another sound track)
      seek(film.continueAt);
      deciding = false;
      return;
    }
    const at = saved ? saved.seconds : 0;
    const length = saved && saved.duration > 0 ? saved.duration : 0;
    if (!(at >= leastSeconds) || (length > 0 && at > length * watchedShare)) {
      deciding = false;
      return;
    }
    offered = at;
    const box = film.overlay('resume');
    const go = document.createElement('button');
    go.id = 'resume-go';
    go.textContent = '从 ' + clock(at) + ' 继续播放';
    go.dataset.seconds = at;
    const over = document.createElement('button');
    over.id = 'resume-restart';
    over.textContent = '从头播放';
    over.style.marginLeft = '8px';
    box.replaceChildren(go, over);
    const decided = () => {
      box.remove();
      deciding = false;
    };
    go.addEventListener('click', () => {
      seek(at);
      decided();
    });
    over.addEventListener('click', decided);
  });
  v.addEventListener('timeupdate', () => {
    if (!v.paused && Date.now() - last >= every) keep();
  });
  v.addEventListener('pause', () => {
    if (!v.ended) keep();
  });
  // Watched to the end: next time it starts from the beginning.
  v.addEventListener('ended', () => film.record({seconds: 0}));
  window.addEventListener('filmleave', keep);
  window.addEventListener('pagehide', keep);
})();
</script>)SCRIPT";
}

}  // namespace morvane::services
