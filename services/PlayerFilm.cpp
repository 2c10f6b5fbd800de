#include "services/PlayerFilm.h"

namespace morvane::services {

std::string PlayerFilmScript() {
  return R"SCRIPT(<script>
(() => {
  const v = document.getElementById('player');
  let source;
  try { source = new URL(v.src); } catch (e) { return; }
  // http://HOST:PORT[/KEY]/stream/HASH/NAME or .../convert/HASH/NAME.mp4: a service that
  // asks for a key has it as the first segment, and the relays pass it on.
  const found = source.protocol === 'http:' &&
                source.pathname.match(/^(?:\/([\w.~-]+))?\/(stream|convert)\/([0-9a-fA-F]{40})\/([^/]+)$/);
  if (!found) return;
  const key = found[1] || '';
  const hash = found[3].toLowerCase();
  const ask = (path, more) => path + '?service=' + encodeURIComponent(source.host) + '&hash=' + hash +
                              (key ? '&key=' + key : '') + (more || '');
  let name;
  try { name = decodeURIComponent(found[4]); } catch (e) { return; }
  const film = {hash, converted: found[2] === 'convert', name, ask, base: source.origin + (key ? '/' + key : '')};
  // A converted stream starts later in the film after a seek: film time is the player's
  // clock plus where the stream began (PlayerMediaScript keeps that).
  film.time = () => window.filmTime ? window.filmTime() : v.currentTime;
  film.length = () => (window.filmTime ? window.filmTime() - v.currentTime : 0) +
                      (isFinite(v.duration) ? v.duration : 0);

  // The name a video of the list plays under in this page's kind of address.
  const nameOf = f => {
    const plain = decodeURIComponent(f.address.split('/').pop());
    if (!film.converted) return plain;
    const dot = plain.lastIndexOf('.');
    return (dot > 0 ? plain.slice(0, dot) : plain) + '.mp4';
  };
  film.files = fetch(ask('/stream-files'), {cache: 'no-store'})
      .then(r => r.ok ? r.json() : {files: []})
      .then(list => {
        const videos = (list.files || []).filter(f => f.video && f.address);
        const current = videos.find(f => nameOf(f) === name) || videos.find(f => f.playing) || null;
        return {videos, current};
      })
      .catch(() => ({videos: [], current: null}));
  const place = (current, more) => ask('/stream-position', '&file=' + current.index + (more || ''));
  film.saved = film.files.then(({current}) => !current ? null :
      fetch(place(current), {cache: 'no-store'}).then(r => r.ok ? r.json() : null).catch(() => null));
  film.record = values => film.files.then(({current}) => {
    if (!current) return;
    let more = '';
    for (const [key, value] of Object.entries(values))
      if (isFinite(value)) more += '&' + key + '=' + Math.max(key === 'subtitleShift' ? -600 : 0, value).toFixed(key === 'subtitleShift' ? 1 : 3);
    // keepalive: the last record of a page that is closing still goes out.
    return fetch(place(current, more), {method: 'POST', keepalive: true}).catch(() => {});
  });

  // Plays another address of the service in this page (its player reads the address whole,
  // so it carries no query of its own), going on at film time `at` with sound track `audio`.
  film.go = (address, at, audio) => {
    if (at > 0 || audio >= 0) sessionStorage.setItem('morvane-continue', JSON.stringify({address, at, audio}));
    window.dispatchEvent(new Event('filmleave'));
    location.replace(location.pathname + '?url=' + address);
  };
  // Where the page that sent us here asked this address to go on, and with which sound.
  film.continueAt = 0;
  try {
    const asked = JSON.parse(sessionStorage.getItem('morvane-continue') || 'null');
    sessionStorage.removeItem('morvane-continue');
    if (asked && asked.address === source.href) {
      if (Number.isInteger(asked.audio) && window.setFilmAudio) {
        window.setFilmAudio(asked.audio);
        film.continueAt = Math.max(asked.at || 0, 0.001);  // the restart puts the sound in
      } else if (asked.at > 0) {
        film.continueAt = asked.at;
      }
    }
  } catch (e) {}

  // The column beside the film: the video gives up its width only once something is shown.
  const side = document.createElement('div');
  side.id = 'side';
  side.hidden = true;
  side.style.cssText = 'position:absolute;top:12px;right:12px;width:190px;max-height:calc(100vh - 24px);' +
                       'overflow-y:auto;font-size:13px;line-height:1.6';
  for (const id of ['episodes', 'audio', 'subtitles', 'cast']) {
    const box = document.createElement('div');
    box.id = id;
    box.hidden = true;
    box.style.marginBottom = '10px';
    side.appendChild(box);
  }
  document.body.appendChild(side);
  film.section = (id, title) => {
    const box = document.getElementById(id);
    if (!box.hidden) return box;
    const heading = document.createElement('div');
    heading.textContent = title;
    heading.style.cssText = 'color:#8fa3c0;margin-bottom:2px';
    box.appendChild(heading);
    box.hidden = false;
    side.hidden = false;
    v.style.width = 'calc(100% - 200px)';
    return box;
  };
  film.overlay = id => {
    let box = document.getElementById(id);
    if (box) return box;
    box = document.createElement('div');
    box.id = id;
    box.style.cssText = 'position:absolute;left:24px;top:24px;background:rgba(0,0,0,.8);color:#fff;' +
                        'padding:8px 12px;border-radius:4px;z-index:2;font-size:14px';
    document.body.appendChild(box);
    return box;
  };
  window.playerFilm = film;
})();
</script>)SCRIPT";
}

}  // namespace morvane::services
