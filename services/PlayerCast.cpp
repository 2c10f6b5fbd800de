#include "services/PlayerCast.h"

namespace morvane::services {

std::string PlayerCastScript() {
  return R"SCRIPT(<script>
(() => {
  const film = window.playerFilm;
  const v = document.getElementById('player');
  if (!film) return;
  const origin = new URL(film.base).origin;  // the streaming service's
  const clock = s => {
    s = Math.max(0, Math.floor(s || 0));
    const two = n => String(n).padStart(2, '0');
    return (s >= 3600 ? Math.floor(s / 3600) + ':' : '') + two(Math.floor(s / 60) % 60) + ':' + two(s % 60);
  };
  const button = (box, text, act) => {
    const b = document.createElement('button');
    b.textContent = text;
    b.style.cssText = 'margin:2px 4px 2px 0;font-size:12px';
    b.addEventListener('click', act);
    box.appendChild(b);
    return b;
  };
  // The subtitle shown now: its place in the service's list, from its track's address.
  const subtitle = () => {
    const shown = Array.from(v.querySelectorAll('track')).find(t => t.track && t.track.mode === 'showing');
    const found = shown && shown.src.match(/\/subs\/[0-9a-f]{40}\/(\d+)\.vtt/);
    return found ? Number(found[1]) : -1;
  };
  const start = (ask) => {
    const box = film.section('cast', '投屏与播放器');
    const line = document.createElement('div');
    const note = document.createElement('div');
    note.style.cssText = 'color:#c9a0a0;font-size:12px';
    const list = document.createElement('div');
    const controls = document.createElement('div');
    controls.hidden = true;
    box.append(line, list, controls, note);
    const say = text => { note.textContent = text || ''; };

    button(line, '用播放器打开', async () => {
      const {videos, current} = await film.files;
      const entries = (videos.length ? videos : [null]).map(f => f ? {
        address: origin + f.address, title: f.name.split('/').pop(),
        position: film.base + '/position/' + film.hash + '/' + f.index
      } : {address: v.src, title: film.name});
      const shown = subtitle();
      const answer = await ask('player', {
        entries, first: Math.max(0, current ? videos.indexOf(current) : 0), start: film.time(),
        subtitle: shown >= 0 ? film.base + '/subs/' + film.hash + '/' + shown + '.srt' : ''
      });
      if (answer.ok) { v.pause(); say(''); } else say(answer.message);
    });

    let polling = null;
    const show = state => {
      if (!state.ok) return;
      controls.querySelector('.where').textContent =
          clock(state.seconds) + ' / ' + clock(state.duration) + '  ' + (state.state || '');
    };
    const stop = () => { clearInterval(polling); polling = null; controls.hidden = true; };
    const act = async (name, args) => {
      const answer = await ask(name, args);
      if (!answer.ok) say(answer.error);
      return answer;
    };
    const where = document.createElement('div');
    where.className = 'where';
    controls.appendChild(where);
    button(controls, '播放/暂停', async () => {
      const state = await ask('state');
      await act(state.state === 'PLAYING' ? 'pause' : 'resume');
    });
    button(controls, '后退30秒', async () => {
      const state = await ask('state');
      if (state.ok) act('seek', {seconds: Math.max(0, state.seconds - 30)});
    });
    button(controls, '前进30秒', async () => {
      const state = await ask('state');
      if (state.ok) act('seek', {seconds: state.seconds + 30});
    });
    button(controls, '音量-', async () => {
      const state = await ask('state');
      if (state.volume !== null) act('volume', {volume: state.volume - 10});
    });
    button(controls, '音量+', async () => {
      const state = await ask('state');
      if (state.volume !== null) act('volume', {volume: state.volume + 10});
    });
    button(controls, '停止投屏', async () => {
      await act('stop');
      stop();
    });

    button(line, '投屏到电视', async () => {
      list.textContent = '正在查找…';
      say('');
      const {renderers} = await ask('renderers');
      list.textContent = renderers.length ? '' : '没有找到电视或盒子';
      for (const r of renderers) {
        button(list, r.name, async () => {
          const {current} = await film.files;
          say('正在投屏到 ' + r.name + '…');
          const answer = await act('cast', {
            renderer: r.id, title: film.name, start: film.time(), subtitle: subtitle(),
            address: current ? origin + current.address : v.src
          });
          if (!answer.ok) return;
          v.pause();
          say(answer.converted ? '电视不能直接播放这个格式，已转换后投屏' : '');
          controls.hidden = false;
          clearInterval(polling);
          polling = setInterval(() => ask('state').then(show), 2000);
        });
      }
    });
  };
  // The window answers only its own service's pages: elsewhere the box stays away.
  const ready = () => window.morvaneCast && window.morvaneCast.ask('state').then(answer => {
    if (answer.error !== "not the window's own page") start(window.morvaneCast.ask);
  });
  if (window.morvaneCast) ready();
  else window.addEventListener('morvanecastready', ready, {once: true});
})();
</script>)SCRIPT";
}

}  // namespace morvane::services
