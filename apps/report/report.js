// Draws the receiver lanes of the observation type chosen in the selector: one bar per run of
// consecutive epochs with data, each carrying its receiver (1-based, b-line order) and its
// first and last second of day; the lane's share of the window on its right.
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
})();
