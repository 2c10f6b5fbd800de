#include "services/PlayerMedia.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "services/ServiceRelay.h"

namespace morvane::services {

namespace {

// A subtitle file beside the video is answered once its pieces are in (a track inside the
// video is answered at once, or with when to ask again).
constexpr time_t kSubtitleTimeoutSeconds = 120;

bool IsSubsItem(const std::string& item) {
  if (item == "list.json") return true;
  if (item.size() < 5 || item.size() > 10 || !item.ends_with(".vtt")) return false;
  return std::all_of(item.begin(), item.end() - 4, [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool IsSeconds(const std::string& text) {
  if (text.empty() || text.size() > 12) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return *end == '\0' && value >= 0 && value < 1e7;
}

}  // namespace

void RoutePlayerMedia(httplib::Server& player) {
  player.Get("/stream-subs", [](const httplib::Request& req, httplib::Response& res) {
    const std::string service = req.get_param_value("service");
    const std::string hash = req.get_param_value("hash");
    const std::string item = req.get_param_value("item");
    const std::string start = req.get_param_value("start");
    const std::string key = req.get_param_value("key");
    if (!IsServiceAddress(service) || !IsHexInfoHash(hash) || !IsSubsItem(item) ||
        (!start.empty() && !IsSeconds(start)) || !IsKeySegment(key)) {
      res.status = 400;
      res.set_content("bad service, hash or item\n", "text/plain");
      return;
    }
    const auto answer = ServiceClient(service, kSubtitleTimeoutSeconds)
                            ->Get(KeyPath(key) + "/subs/" + hash + "/" + item +
                                  (start.empty() ? "" : "?start=" + start));
    if (!answer) {
      res.status = 502;
      res.set_content("the streaming service did not answer\n", "text/plain");
      return;
    }
    res.status = answer->status;
    res.set_header("Cache-Control", "no-store");
    // A track inside the video is not ready before the download is done: the page asks again.
    if (answer->has_header("Retry-After")) res.set_header("Retry-After", answer->get_header_value("Retry-After"));
    res.set_content(answer->body, answer->get_header_value("Content-Type"));
  });
}

std::string PlayerMediaScript() {
  return R"SCRIPT(<script>
(() => {
  const v = document.getElementById('player');
  let source;
  try { source = new URL(v.src); } catch (e) { return; }
  // http://HOST:PORT[/KEY]/stream/HASH/NAME or .../convert/HASH/NAME.mp4
  const found = source.pathname.match(/^(?:\/([\w.~-]+))?\/(stream|convert)\/([0-9a-fA-F]{40}|[0-9a-fA-F]{64})\//);
  if (!found) return;
  const converted = found[2] === 'convert';
  const plain = source.origin + source.pathname;
  const ask = (item, start) => '/stream-subs?service=' + encodeURIComponent(source.host) +
      '&hash=' + found[3] + '&item=' + item + (start > 0 ? '&start=' + start.toFixed(3) : '') +
      (found[1] ? '&key=' + found[1] : '');
  // A converted stream begins `offset` seconds into the film: its own duration is the
  // rest of the film.
  let film = 0, offset = 0, restarting = false, subtitles = [];
  window.filmTime = () => offset + v.currentTime;
  const showTracks = () => {
    for (const old of Array.from(v.querySelectorAll('track'))) old.remove();
    subtitles.forEach((s, i) => {
      const t = document.createElement('track');
      t.kind = 'subtitles';
      t.label = s.label;
      if (/^[A-Za-z]{2,8}(-[A-Za-z0-9]{1,8})*$/.test(s.language)) t.srclang = s.language;
      v.appendChild(t);
      t.track.mode = i === 0 ? 'showing' : 'hidden';
      // A track inside the video comes once the video is downloaded: until then the
      // service answers 503 and says when to ask again. A track replaced (a restarted
      // conversion) is no longer asked for.
      const load = () => fetch(ask(s.src.split('/').pop(), offset)).then(r => {
        if (r.status === 503 && t.parentNode === v) {
          const wait = Math.min(60, Math.max(1, parseInt(r.headers.get('Retry-After'), 10) || 3));
          setTimeout(load, wait * 1000);
          return;
        }
        if (!r.ok) return;
        return r.text().then(text => { t.src = URL.createObjectURL(new Blob([text], {type: 'text/vtt'})); });
      }).catch(() => {});
      load();
    });
  };
  fetch(ask('list.json', 0)).then(r => r.json()).then(list => {
    film = list.duration || 0;
    subtitles = list.subtitles || [];
    // A conversion restarted before the film's length was known (the page was asked to go
    // on from a time) begins where the length says.
    if (converted && film > 0 && isFinite(v.duration)) offset = Math.max(0, film - v.duration);
    showTracks();
  }).catch(() => {});
  if (!converted) return;
  // The sound track chosen (a film in several languages) stays when the conversion restarts.
  let audio = /^\d+$/.test(source.searchParams.get('audio')) ? 'audio=' + source.searchParams.get('audio') + '&' : '';
  window.setFilmAudio = n => { audio = Number.isInteger(n) && n >= 0 ? 'audio=' + n + '&' : ''; };
  // Restarts the conversion at film time `t`.
  window.seekFilm = t => {
    restarting = true;
    v.src = plain + '?' + audio + 'start=' + Math.max(0, t).toFixed(2);
    v.play().catch(() => {});
  };
  v.addEventListener('loadedmetadata', () => {
    if (!restarting) return;
    restarting = false;
    if (film > 0 && isFinite(v.duration)) offset = Math.max(0, film - v.duration);
    showTracks();
  });
  v.addEventListener('seeking', () => {
    if (restarting) return;
    const t = v.currentTime;
    for (let i = 0; i < v.buffered.length; ++i)
      if (t >= v.buffered.start(i) && t <= v.buffered.end(i) + 1) return;
    window.seekFilm(offset + t);
  });
})();
</script>)SCRIPT";
}

}  // namespace morvane::services
