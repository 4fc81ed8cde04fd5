// Draws the receiver lanes of the observation type chosen in the selector: one bar per run of
// consecutive epochs with data, each carrying its receiver (1-based, b-line order) and its
// first and last second of day; the lane's gaps of that type longer than the gap length marked
// below it; the lane's share of the window on its right. Then the views of the receiver chosen
// in the second selector: its satellites (tracking), its clock, its multipath and cycle slips.
(function () {
  'use strict';
  const data = JSON.parse(document.getElementById('quilt-data').textContent);
  const select = document.getElementById('type');
  if (!select) return;
  const svg = 'http://www.w3.org/2000/svg';
  const lanes = Array.from(document.querySelectorAll('#lanes g.bars'));
  const scale = data.width / data.window;

  function clock(s) {
    const two = (n) => String(n).padStart(2, '0');
    return two(Math.floor(s / 3600)) + ':' + two(Math.floor(s / 60) % 60) + ':' + two(s % 60);
  }

  function draw(t) {
    const type = t === 0 ? 'any type' : data.types[t - 1];
    lanes.forEach(function (lane, r) {
      const runs = data.runs[t][r];
      const y = lane.dataset.y, h = lane.dataset.h;
      const bars = document.createDocumentFragment();
      let epochs = 0;
      for (let i = 0; i < runs.length; i += 2) {
        const first = runs[i], last = runs[i + 1];
        const start = data.tmin + first * data.step, end = data.tmin + last * data.step;
        epochs += last - first + 1;
        const bar = document.createElementNS(svg, 'rect');
        bar.setAttribute('x', (data.x0 + first * scale).toFixed(2));
        bar.setAttribute('y', y);
        bar.setAttribute('width', Math.max(1, (last - first + 1) * scale).toFixed(2));
        bar.setAttribute('height', h);
        bar.dataset.receiver = r + 1;
        bar.dataset.start = start;
        bar.dataset.end = end;
        const title = document.createElementNS(svg, 'title');
        title.textContent = data.markers[r] + ' ' + type + ': ' + clock(start) + ' – ' +
            clock(end) + ' (' + (last - first + 1) + ' epochs)';
        bar.appendChild(title);
        bars.appendChild(bar);
      }
      lane.replaceChildren(bars);
      const marks = document.createDocumentFragment();
      let next = 0;
      const gap = function (first, last) {
        if (last - first + 1 <= data.gap) return;
        const mark = document.createElementNS(svg, 'rect');
        mark.setAttribute('class', 'gapmark');
        mark.setAttribute('x', (data.x0 + first * scale).toFixed(2));
        mark.setAttribute('y', Number(y) + Number(h) - 2);
        mark.setAttribute('width', Math.max(0.5, (last - first + 1) * scale).toFixed(2));
        mark.setAttribute('height', 2);
        mark.dataset.start = data.tmin + first * data.step;
        mark.dataset.end = data.tmin + last * data.step;
        marks.appendChild(mark);
      };
      for (let i = 0; i < runs.length; i += 2) {
        gap(next, runs[i] - 1);
        next = runs[i + 1] + 1;
      }
      gap(next, data.window - 1);
      lane.parentNode.querySelector('g.gaps').replaceChildren(marks);
      const share = Math.floor(1000 * epochs / data.window) / 10;
      lane.parentNode.querySelector('.pct').textContent =
          (epochs > 0 && share === 0 ? '<0.1' : share.toFixed(1)) + ' %';
    });
    document.querySelectorAll('[data-t]').forEach(function (cell) {
      cell.classList.toggle('selected', Number(cell.dataset.t) === t);
    });
  }

  select.addEventListener('change', function () { draw(Number(select.value)); });
  draw(Number(select.value));

  // ---- one receiver ----
  const chooser = document.getElementById('receiver');
  if (!chooser) return;
  const left = data.x0, width = data.width, right = left + width;
  const binEpochs = data.window / data.bins;

  function el(name, attrs, text) {
    const e = document.createElementNS(svg, name);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function titled(e, text) { e.appendChild(el('title', {}, text)); return e; }
  function axis(g, y) {
    const span = data.window * data.step;
    const every = [60, 300, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400].find((s) => span / s <= 12) || 86400;
    for (let t = Math.ceil(data.tmin / every) * every; t <= data.tmin + span; t += every) {
      const x = left + width * (t - data.tmin) / span;
      g.appendChild(el('text', { x: x.toFixed(1), y: y, class: 'tick' }, clock(t).slice(0, t % 60 ? 8 : 5)));
    }
  }
  function sysClass(code) { return 's' + ('GRECJSI'.includes(code[0]) ? code[0] : 'X'); }

  function tracking(r) {
    const view = document.getElementById('tracking');
    const lanes = data.tracked[r].slice().sort((a, b) => data.sats[a[0]] < data.sats[b[0]] ? -1 : 1);
    const lane = 11, top = 4, height = top + lane * lanes.length + 22;
    view.setAttribute('viewBox', `0 0 ${left + width + 70} ${height}`);
    const g = el('g', {});
    lanes.forEach(function (runs, i) {
      const code = data.sats[runs[0]], y = top + i * lane;
      const row = el('g', { class: 'satlane', 'data-sat': code });
      row.appendChild(el('rect', { class: 'bg', x: left, y: y, width: width, height: lane - 2 }));
      row.appendChild(el('text', { class: 'label', x: left - 6, y: y + (lane - 2) / 2 }, code));
      for (let k = 1; k < runs.length; k += 2) {
        const first = runs[k], last = runs[k + 1];
        const bar = titled(el('rect', {
          class: sysClass(code), x: (left + first * scale).toFixed(2), y: y,
          width: Math.max(1, (last - first + 1) * scale).toFixed(2), height: lane - 2,
          'data-start': data.tmin + first * data.step, 'data-end': data.tmin + last * data.step,
        }), `${code}: ${clock(data.tmin + first * data.step)} – ${clock(data.tmin + last * data.step)}`);
        row.appendChild(bar);
      }
      g.appendChild(row);
    });
    axis(g, top + lane * lanes.length + 14);
    view.replaceChildren(g);
    document.getElementById('tracking-title').textContent =
        `Tracking: ${lanes.length} satellites of ${data.markers[r]}`;
  }

  // A chart of the window: y from lo to hi (units per label), series drawn by `paint`.
  function chart(view, lo, hi, unit, caption, paint) {
    const top = 18, plot = 120, height = top + plot + 24;
    view.setAttribute('viewBox', `0 0 ${left + width + 70} ${height}`);
    const y = (v) => top + plot * (1 - (v - lo) / (hi - lo || 1));
    const g = el('g', {});
    g.appendChild(el('text', { class: 'caption', x: left, y: top - 6 }, caption));
    for (let k = 0; k <= 4; k++) {
      const v = lo + (hi - lo) * k / 4;
      g.appendChild(el('line', { class: 'hline', x1: left, x2: right, y1: y(v), y2: y(v) }));
      g.appendChild(el('text', { class: 'ylabel', x: left - 6, y: y(v) + 4 }, String(Number((v / unit).toPrecision(3)))));
    }
    paint(g, y, top, plot);
    axis(g, top + plot + 16);
    view.replaceChildren(g);
  }
  const xBin = (b) => left + width * b / data.bins;
  const xEpoch = (k) => left + k * scale;

  function clockView(r) {
    const view = document.getElementById('clock');
    const c = data.clock[r];
    if (c === 0 || c === 1) {
      view.setAttribute('viewBox', `0 0 ${left + width + 70} 30`);
      view.replaceChildren(el('text', { class: 'caption', x: left, y: 20 },
          c === 0 ? 'No epoch stamps (no time available).' : 'Every epoch stamp is on the nominal second.'));
      view.dataset.jumps = 0;
      return;
    }
    const v = c.o.filter((x) => x !== null);
    let lo = Math.min(0, ...v), hi = Math.max(0, ...v);
    if (hi - lo < 1) hi = lo + 1;
    chart(view, lo, hi, 1000, 'epoch stamp less nominal epoch, ms', function (g, y) {
      for (let b = 0; b < data.bins; b++) {
        const a = c.o[2 * b], z = c.o[2 * b + 1];
        if (a === null) continue;
        g.appendChild(el('rect', { class: 'offset', x: xBin(b).toFixed(2), y: y(z).toFixed(2),
          width: Math.max(1, width / data.bins).toFixed(2), height: Math.max(1, y(a) - y(z)).toFixed(2) }));
      }
      for (const k of c.j) {
        g.appendChild(titled(el('line', { class: 'jump', x1: xEpoch(k), x2: xEpoch(k), y1: y(hi), y2: y(lo),
          'data-second': data.tmin + k * data.step }), 'clock jump at ' + clock(data.tmin + k * data.step)));
      }
    });
    view.dataset.jumps = c.j.length;
  }

  function multipath(r) {
    const view = document.getElementById('multipath');
    const m = data.mp[r];
    const body = document.querySelector('#mp-satellites tbody');
    const cm = (v) => v === null ? '–' : (100 * v).toFixed(1);
    const rows = m.sats.slice().sort((a, b) => data.sats[a[0]] < data.sats[b[0]] ? -1 : 1).map(function (s) {
      const tr = document.createElement('tr');
      tr.dataset.sat = data.sats[s[0]];
      for (const [text, cls] of [[data.sats[s[0]], 'mono'], [cm(s[1]), 'n'], [cm(s[2]), 'n'], [s[4], 'n'], [s[5], 'n']]) {
        const td = document.createElement('td');
        td.className = cls;
        td.textContent = text;
        tr.appendChild(td);
      }
      return tr;
    });
    body.replaceChildren(...rows);
    if (m.obs === 0) {
      view.setAttribute('viewBox', `0 0 ${left + width + 70} 30`);
      view.replaceChildren(el('text', { class: 'caption', x: left, y: 20 },
          'No GPS or Galileo satellite with code and phase on two frequencies.'));
      return;
    }
    let hi = 0.5;
    for (const v of m.bins) if (v !== null) hi = Math.max(hi, v / 1000);
    hi = Math.ceil(hi / 0.2 - 1e-9) * 0.2;
    chart(view, 0, hi, 0.01, `MP1 and MP2 RMS per bin, cm; cycle slips as ticks (${m.slips.length})`, function (g, y, top, plot) {
      for (const [k, cls] of [[0, 'mp1'], [1, 'mp2']]) {
        let d = '';
        for (let b = 0; b < data.bins; b++) {
          const v = m.bins[2 * b + k];
          if (v === undefined || v === null) continue;
          d += (d && m.bins[2 * (b - 1) + k] !== null && b > 0 ? 'L' : 'M') +
              ((xBin(b) + xBin(b + 1)) / 2).toFixed(1) + ' ' + y(v / 1000).toFixed(1);
        }
        g.appendChild(titled(el('path', { class: 'line ' + cls, d: d }), cls.toUpperCase()));
      }
      for (const [k, s, jump] of m.slips) {
        const x = xEpoch(k);
        g.appendChild(titled(el('line', { class: 'slip', x1: x, x2: x, y1: top + plot - 10, y2: top + plot,
          'data-second': data.tmin + k * data.step, 'data-sat': data.sats[s] }),
        `slip ${data.sats[s]} at ${clock(data.tmin + k * data.step)}: ${(100 * jump).toFixed(1)} cm`));
      }
    });
  }

  function choose(r) {
    chooser.value = String(r + 1);
    tracking(r);
    clockView(r);
    multipath(r);
  }
  chooser.addEventListener('change', function () { choose(Number(chooser.value) - 1); });
  document.querySelectorAll('#receivers tbody tr').forEach(function (tr) {
    tr.addEventListener('click', function () { choose(Number(tr.dataset.receiver) - 1); });
  });
  choose(0);
})();
