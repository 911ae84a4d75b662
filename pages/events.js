// The page's one event stream (GET /api/events): the board panel, the live
// pins and the Wire panel each say what they want to follow, and listen to
// the events they need. The stream is opened again whenever what is wanted
// changes; when it drops (the server gone, or stopped), the page is told and
// it is tried again after 1 s, then a little later each time, up to 5 s.
'use strict';

window.tessaroEvents = (() => {
  const FIRST_RETRY_MS = 1000;
  const LAST_RETRY_MS = 5000;
  const TOPICS = ['link', 'status', 'systat', 'pins', 'trace', 'history'];

  const listeners = new Map();  // event name -> Set of functions
  const wanted = {
    status: true,
    systat: false,
    digital: [],     // pins followed as digital, and as analog
    analog: [],
    trace: false,
    traceAfter: 0,   // the last trace event had, to resume after it
  };
  let source = null;
  let url = '';
  let retryMs = FIRST_RETRY_MS;
  let retryTimer = null;
  let state = 'connecting';  // 'open', 'connecting' or 'dropped'
  let started = false;        // once every part of the page has said what it wants

  function emit(name, data) {
    for (const listener of listeners.get(name) || []) {
      listener(data);
    }
  }

  function address() {
    const topics = ['link'];
    if (wanted.status) {
      topics.push('status');
    }
    if (wanted.systat) {
      topics.push('systat');
    }
    const pins = wanted.digital.length > 0 || wanted.analog.length > 0;
    if (pins) {
      topics.push('pins');
    }
    if (wanted.trace) {
      topics.push('trace');
    }
    let query = `topics=${topics.join(',')}`;
    if (wanted.digital.length > 0) {
      query += `&pins=${wanted.digital.join(',')}&read=digital`;
    }
    if (wanted.analog.length > 0) {
      query += `&analog=${wanted.analog.join(',')}`;
    }
    if (wanted.trace && wanted.traceAfter > 0) {
      query += `&last_event_id=${wanted.traceAfter}`;
    }
    return `/api/events?${query}`;
  }

  function connect() {
    clearTimeout(retryTimer);
    retryTimer = null;
    if (source) {
      source.close();
    }
    url = address();
    state = 'connecting';
    const opened = new EventSource(url);
    source = opened;
    opened.addEventListener('open', () => {
      if (source === opened) {
        state = 'open';
        retryMs = FIRST_RETRY_MS;
        emit('open');
      }
    });
    for (const name of TOPICS) {
      opened.addEventListener(name, (event) => {
        if (source !== opened) {
          return;
        }
        let data = null;
        try {
          data = JSON.parse(event.data);
        } catch (failure) {
          return;
        }
        emit(name, data);
      });
    }
    // The browser would try again by itself, at its own pace: the page does,
    // so that it can say so and back off.
    opened.addEventListener('error', () => {
      if (source !== opened) {
        return;
      }
      opened.close();
      source = null;
      state = 'dropped';
      emit('drop', {retryMs});
      retryTimer = setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, LAST_RETRY_MS);
    });
  }

  // Opens the stream again only when what is wanted changed its address
  // (a trace resumed is not a change).
  function update() {
    if (!started) {
      return;
    }
    const next = address();
    const strip = (text) => text.replace(/&last_event_id=\d+/, '');
    if (source && strip(next) === strip(url)) {
      return;
    }
    if (state === 'dropped') {
      return;  // the next try takes it
    }
    connect();
  }

  return {
    start() {
      started = true;
      connect();
    },
    on(name, listener) {
      if (!listeners.has(name)) {
        listeners.set(name, new Set());
      }
      listeners.get(name).add(listener);
    },
    // What to follow: {systat: true}, {digital: [2], analog: [3, 4]},
    // {trace: true, traceAfter: 41}.
    want(change) {
      Object.assign(wanted, change);
      update();
    },
    // The last trace event taken, for a stream opened again.
    traceSeen(seq) {
      wanted.traceAfter = seq;
    },
    // A request failed to reach the server: try the stream at once.
    retryNow() {
      if (state === 'dropped') {
        retryMs = FIRST_RETRY_MS;
        connect();
      }
    },
    get state() { return state; },
    get url() { return url; },
  };
})();

// Deferred scripts have all run by then.
document.addEventListener('DOMContentLoaded', () => {
  window.tessaroEvents.start();
});
