// The Wire panel: the last requests and replies on the serial line, as the
// program's trace records them, followed while the panel is open. They come
// on the page's event stream (events.js) as they happen; paused or closed,
// the stream leaves them out, and following again resumes after the last
// event shown.
'use strict';

(() => {
  const SHOWN = 200;  // events kept on screen

  const elements = {
    panel: document.getElementById('wire'),
    pause: document.getElementById('wire-pause'),
    source: document.getElementById('wire-source'),
    status: document.getElementById('wire-status'),
    list: document.getElementById('wire-events'),
  };
  if (!elements.panel) {
    return;
  }

  let after = 0;      // the number of the newest event received
  const kinds = new Set();  // first words of the sources seen: console, api, ...

  const kindOf = (source) => source.split(' ')[0];
  const following = () => elements.panel.open && !elements.pause.checked;

  function applyFilter(item) {
    const wanted = elements.source.value;
    item.hidden = wanted !== '' && item.dataset.kind !== wanted;
  }

  function addKind(kind) {
    if (kinds.has(kind)) {
      return;
    }
    kinds.add(kind);
    const option = document.createElement('option');
    option.value = kind;
    option.textContent = kind;
    elements.source.append(option);
  }

  function show(events, dropped) {
    if (dropped > 0) {
      const item = document.createElement('li');
      item.className = 'wire-dropped';
      item.dataset.kind = '';
      item.textContent = `… ${dropped} events not shown (the program keeps the last 1000)`;
      elements.list.append(item);
    }
    for (const event of events.slice(-SHOWN)) {
      const item = document.createElement('li');
      item.dataset.kind = kindOf(event.source);
      item.dataset.dir = event.dir;
      item.textContent = event.line;
      addKind(item.dataset.kind);
      applyFilter(item);
      elements.list.append(item);
    }
    while (elements.list.children.length > SHOWN) {
      elements.list.firstElementChild.remove();
    }
    if (events.length > 0) {
      elements.list.lastElementChild.scrollIntoView({block: 'nearest'});
    }
  }

  function take(event) {
    if (!following()) {
      return;
    }
    if (typeof event.dropped === 'number') {
      show([], event.dropped);
      return;
    }
    if (event.seq <= after) {
      // A program started anew numbers from 1 again.
      elements.list.replaceChildren();
    }
    show([event], 0);
    after = event.seq;
    window.tessaroEvents.traceSeen(after);
  }

  function follow() {
    window.tessaroEvents.want({trace: following(), traceAfter: after});
  }

  window.tessaroEvents.on('trace', take);
  window.tessaroEvents.on('open', () => {
    elements.status.textContent = elements.pause.checked ? 'Paused' : '';
  });
  window.tessaroEvents.on('drop', () => {
    elements.status.textContent = 'Server unreachable';
  });
  elements.panel.addEventListener('toggle', follow);
  elements.pause.addEventListener('change', () => {
    elements.status.textContent = elements.pause.checked ? 'Paused' : '';
    follow();
  });
  elements.source.addEventListener('change', () => {
    for (const item of elements.list.children) {
      applyFilter(item);
    }
  });
})();
