#include "services/StreamStatus.h"

#include <httplib.h>

#include "services/ServiceRelay.h"

namespace morvane::services {

namespace {

constexpr time_t kStatusTimeoutSeconds = 2;

}  // namespace

void RouteStreamStatus(httplib::Server& player) {
  player.Get("/stream-status", [](const httplib::Request& req, httplib::Response& res) {
    const std::string service = req.get_param_value("service");
    const std::string hash = req.get_param_value("hash");
    const std::string key = req.get_param_value("key");
    if (!IsServiceAddress(service) || !IsHexInfoHash(hash) || !IsKeySegment(key)) {
      res.status = 400;
      res.set_content("{\"error\":\"bad service or hash\"}", "application/json");
      return;
    }
    PassOnJson(ServiceClient(service, kStatusTimeoutSeconds)->Get(KeyPath(key) + "/status/" + hash), res);
  });
}

std::string StreamStatusPanel() {
  // The service's status: {"peers", "downloadRate" and "uploadRate" (bytes a second),
  // "size" (of the video), "buffered" ([[begin, end], ...] byte ranges of the video held and
  // verified), "state", "ratio", ...} (stream/StatusJson.h).
  return R"PANEL(<p id="swarm" style="font-size:13px;color:#b8c4d8"></p>
<script>
(() => {
  const line = document.getElementById('swarm');
  const href = location.href;
  const at = href.indexOf('url=');
  let source;
  try { source = new URL(at < 0 ? '' : href.substring(at + 4)); } catch (e) { return; }
  // A film the service streams as it is (http://HOST:PORT/stream/HASH/NAME) or converts
  // (/convert/HASH/NAME.mp4): the same torrent, the same status. A service that asks for
  // a key has it as the first segment (/KEY/stream/HASH/NAME).
  const found = source.protocol === 'http:' && source.pathname.match(
      /^(?:\/(?<key>[\w.~-]+))?\/(?:stream|convert)\/(?<hash>[0-9a-fA-F]{40}|[0-9a-fA-F]{64})\//);
  if (!found) return;
  const ask = '/stream-status?service=' + encodeURIComponent(source.host) +
              '&hash=' + found.groups.hash + (found.groups.key ? '&key=' + found.groups.key : '');
  const bytes = n => n >= 1048576 ? (n / 1048576).toFixed(1) + ' MB'
                   : n >= 1024 ? (n / 1024).toFixed(0) + ' KB' : n + ' B';
  const show = s => {
    let held = 0;
    for (const [from, to] of s.buffered || []) held += to - from;
    const whole = s.size > 0 && held >= s.size;
    const share = s.size > 0 ? Math.min(100, Math.floor(held * 100 / s.size)) : 0;
    // Once the whole film is in, whatever still flows is others fetching from us; with
    // nothing flowing there is no rate to tell.
    const rate = !whole ? 'down ' + bytes(s.downloadRate || 0) + '/s'
               : s.uploadRate > 0 ? 'up ' + bytes(s.uploadRate) + '/s' : '';
    line.textContent = ['peers ' + (s.peers || 0), rate, 'buffered ' + share + '%']
                           .filter(part => part).join(' \u00b7 ');
    line.dataset.peers = s.peers || 0;
  };

  // Beside the peers line, on the same row: what the service does with the torrent
  // (watching; idle: nobody watches, nothing downloads; seeding; stopped) and its share
  // ratio, uploaded over downloaded.
  const state = document.createElement('span');
  state.id = 'swarm-state';
  state.style.cssText = 'font-size:13px;color:#b8c4d8';
  const row = document.createElement('div');
  row.style.cssText = 'display:flex;gap:1.5em;align-items:baseline';
  line.replaceWith(row);
  row.append(line, state);
  const showState = s => {
    state.textContent = s.state ? s.state + ' \u00b7 ratio ' + Number(s.ratio || 0).toFixed(2) : '';
  };

  const poll = () => fetch(ask, {cache: 'no-store'})
      .then(r => r.ok ? r.json() : Promise.reject(r.status))
      .then(s => { show(s); showState(s); }, () => {})
      .finally(() => setTimeout(poll, 1000));
  poll();
})();
</script>)PANEL";
}

}  // namespace morvane::services
