#include "services/PlayerTracks.h"

namespace morvane::services {

std::string PlayerTracksScript() {
  return R"SCRIPT(<script>
(() => {
  const film = window.playerFilm;
  if (!film) return;
  const v = document.getElementById('player');
  const list = fetch(film.ask('/stream-subs', '&item=list.json'), {cache: 'no-store'})
      .then(r => r.ok ? r.json() : {}).catch(() => ({}));

  // Sound tracks: the service converts the film with the one chosen.
  const chosenAudio = () => {
    const n = new URL(v.src).searchParams.get('audio');
    return n === null ? null : Number(n);
  };
  list.then(info => {
    const tracks = info.audio || [];
    if (tracks.length < 2) return;
    const box = film.section('audio', '音轨');
    const items = tracks.map((t, i) => {
      const item = document.createElement('a');
      item.href = '#';
      item.dataset.index = t.index;
      item.dataset.label = t.title || t.language || '音轨 ' + (i + 1);
      item.addEventListener('click', event => {
        event.preventDefault();
        if (item.classList.contains('playing')) return;
        if (film.converted && window.seekFilm) {
          // Converted already: the conversion restarts here with the other sound.
          window.setFilmAudio(t.index);
          window.seekFilm(film.time());
          return;
        }
        // Played as it stands: the same film converted, from here.
        const here = new URL(v.src);
        const last = here.pathname.split('/').pop();
        const dot = last.lastIndexOf('.');
        film.go(film.base + '/convert/' + film.hash + '/' + (dot > 0 ? last.slice(0, dot) : last) + '.mp4',
                film.time(), t.index);
      });
      box.appendChild(item);
      return {item, track: t};
    });
    const mark = () => {
      const chosen = chosenAudio();
      for (const {item, track} of items) {
        const playing = chosen !== null ? track.index === chosen : track.default;
        item.className = 'audio-track' + (playing ? ' playing' : '');
        item.textContent = (playing ? '\u25b6 ' : '') + item.dataset.label;
        item.style.cssText = 'display:block;text-decoration:none;padding:1px 4px;border-radius:3px;' +
                             (playing ? 'background:#2f6fb8;color:#fff' : 'color:#cfd8e6');
      }
    };
    mark();
    v.addEventListener('loadedmetadata', mark);
  });

  // Subtitle timing. Each cue keeps its own times; the shift is applied from them, so that
  // any number of steps back and forth ends where it should.
  const step = 0.1;
  let shift = 0;
  const own = new WeakMap();
  const apply = track => {
    for (const cue of Array.from(track.cues || [])) {
      if (!own.has(cue)) own.set(cue, [cue.startTime, cue.endTime]);
      const [start, end] = own.get(cue);
      cue.startTime = Math.max(0, start + shift);
      cue.endTime = Math.max(cue.startTime, end + shift);
    }
  };
  const applyAll = () => Array.from(v.textTracks).forEach(apply);
  // Tracks come (and come again, when a converted stream restarts) after the page is up.
  new MutationObserver(changes => {
    for (const change of changes)
      for (const node of change.addedNodes)
        if (node.tagName === 'TRACK') node.addEventListener('load', () => apply(node.track));
  }).observe(v, {childList: true});
  for (const t of v.querySelectorAll('track')) t.addEventListener('load', () => apply(t.track));

  let label = null, saving = 0;
  const show = () => {
    if (label) label.textContent = (shift > 0 ? '+' : '') + shift.toFixed(1) + ' 秒';
  };
  const set = value => {
    shift = Math.round(Math.max(-600, Math.min(600, value)) * 10) / 10;
    applyAll();
    show();
    clearTimeout(saving);
    saving = setTimeout(() => film.record({subtitleShift: shift}), 500);
  };
  window.subtitleShift = () => shift;
  film.saved.then(saved => {
    if (saved && saved.subtitleShift) {
      shift = saved.subtitleShift;
      applyAll();
      show();
    }
  });
  document.addEventListener('keydown', event => {
    if (event.target instanceof HTMLInputElement || event.ctrlKey || event.altKey || event.metaKey) return;
    if (event.key === '[') set(shift - step);
    else if (event.key === ']') set(shift + step);
  });
  list.then(info => {
    if (!(info.subtitles || []).length) return;
    const box = film.section('subtitles', '字幕时间');
    const button = (id, text, title, value) => {
      const b = document.createElement('button');
      b.id = id;
      b.textContent = text;
      b.title = title;
      b.addEventListener('click', () => set(value()));
      return b;
    };
    label = document.createElement('span');
    label.id = 'subtitle-shift';
    label.style.margin = '0 6px';
    box.append(button('subtitle-earlier', '-0.1', '字幕提前 0.1 秒 ([)', () => shift - step), label,
               button('subtitle-later', '+0.1', '字幕推后 0.1 秒 (])', () => shift + step),
               button('subtitle-reset', '归零', '字幕时间复原', () => 0));
    show();
  });
})();
</script>)SCRIPT";
}

}  // namespace morvane::services
