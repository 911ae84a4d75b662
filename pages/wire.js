// The Wire panel: the last requests and replies on the serial line, as the
// program's trace records them, followed while the panel is open. It asks
// GET /api/trace for what came after the last event it has, one request at
// a time; paused or closed, it asks nothing.
'use strict';

(() => {
  const POLL_MS = 250;
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
  let timer = null;
  let polling = false;
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

  async function poll() {
    timer = null;
    if (!following() || polling) {
      return;
    }
    polling = true;
    try {
      const response = await fetch(`/api/trace?after=${after}`,
        {headers: {Accept: 'application/json'}, cache: 'no-store'});
      if (!response.ok) {
        throw new Error(`status ${response.status}`);
      }
      const data = await response.json();
      if (data.last < after) {
        // A program started anew numbers from 1 again.
        elements.list.replaceChildren();
        after = 0;
      } else {
        show(data.events, after === 0 ? 0 : data.dropped);
        after = data.last;
      }
      elements.status.textContent = '';
    } catch (error) {
      elements.status.textContent = 'Server unreachable';
    } finally {
      polling = false;
    }
    schedule();
  }

  function schedule() {
    if (following() && timer === null) {
      timer = setTimeout(poll, POLL_MS);
    }
  }

  elements.panel.addEventListener('toggle', () => {
    if (following()) {
      poll();
    }
  });
  elements.pause.addEventListener('change', () => {
    elements.status.textContent = elements.pause.checked ? 'Paused' : '';
    if (following()) {
      poll();
    }
  });
  elements.source.addEventListener('change', () => {
    for (const item of elements.list.children) {
      applyFilter(item);
    }
  });
})();
