// The board panel: which port and board the page talks to and how the link
// stands, the schedulers, the alarm and fault words, and the kernel's load
// and stack use as they run. It also keeps the link state for the pin rows
// (window.tessaroLink): while the server or the board is away, only one
// probe a second goes out, and the pins wait until the board is back.
'use strict';

(() => {
  const PROBE_MS = 1000;          // /api/board, always: the link state, never the board
  const REFRESH_MS = 1000;        // status and statistics while Live is on: two transactions
  const PLOT_SECONDS = 60;
  const REQUEST_TIMEOUT_MS = 15000;
  const PLOT_WIDTH = 300;
  const PLOT_HEIGHT = 90;

  const STATUS_BITS = [
    ['status', 'user_fault', 'user tasks fault'],
    ['status', 'user_alarm', 'user tasks alarm'],
    ['status', 'kernel_fault', 'kernel tasks fault'],
    ['status', 'kernel_alarm', 'kernel tasks alarm'],
    ['alarm', 'user_stack_high', 'user stack high'],
    ['alarm', 'kernel_stack_high', 'kernel stack high'],
    ['fault', 'user_stack_full', 'user stack full'],
    ['fault', 'watchdog', 'watchdog: real-time overload'],
    ['fault', 'kernel_stack_full', 'kernel stack full'],
  ];

  const $ = (id) => document.getElementById(id);
  const el = {
    connection: $('connection'),
    connectionText: $('connection-text'),
    panel: $('board-panel'),
    port: $('board-port'),
    name: $('board-name'),
    live: $('live'),
    userLamp: $('lamp-user'),
    kernelLamp: $('lamp-kernel'),
    words: $('board-words'),
    message: $('board-message'),
    plot: $('load-plot'),
    loadText: $('load-text'),
    stacks: $('stack-bars'),
  };

  // The link as the pin rows see it. state: 'connected', 'waiting',
  // 'unreachable' or 'disconnected'; session from /api/board.
  const link = {state: '', port: '', session: null, listeners: new Set()};
  window.tessaroLink = {
    get state() { return link.state; },
    // Before the first probe has answered, the pins may try.
    usable: () => link.state === 'connected' || link.state === '',
    // A request of the page failed to reach the server: probe at once.
    unreachable: () => probeSoon(),
    onSession: (listener) => link.listeners.add(listener),
  };

  const samples = [];  // {min, avg, max} in percent of the period, one a second
  let probeTimer = null;
  let refreshTimer = null;
  let probing = false;
  let refreshing = false;

  async function request(method, path, body) {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), REQUEST_TIMEOUT_MS);
    const init = {method, headers: {Accept: 'application/json'}, cache: 'no-store', signal: controller.signal};
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    try {
      const response = await fetch(path, init);
      const data = await response.json().catch(() => null);
      if (!response.ok) {
        return {ok: false, status: response.status, data,
          error: `${data && data.error ? data.error : 'HTTP error'} (${response.status})`};
      }
      return {ok: true, data};
    } catch (failure) {
      return {ok: false, status: 0, error: 'Server unreachable'};
    } finally {
      clearTimeout(timer);
    }
  }

  // ---- link state -----------------------------------------------------------

  function showLink(state, board) {
    const changed = state !== link.state;
    link.state = state;
    document.body.dataset.link = state;
    el.connection.dataset.state = state;
    let text;
    if (state === 'connected') {
      const name = board.maker ? `${board.maker} ${board.board}` : 'an unidentified board';
      text = `Connected to ${name} on ${board.port}.`;
    } else if (state === 'waiting') {
      text = `Waiting for the board on ${board.port}: it went away, and tessaro opens it again ` +
        'by itself when it comes back (plug it in, or restart the simulator). ' +
        'In tessaro’s console, di stops waiting.';
    } else if (state === 'unreachable') {
      text = 'The server is unreachable: tessaro has quit, or its web server was stopped ' +
        '(http_stop, or di ended the session). Start tessaro and connect to a board (co), ' +
        'or type http_run; this page carries on by itself once the server answers.';
    } else {
      text = 'No board is connected: in tessaro’s console, co connects to one.';
    }
    el.connectionText.textContent = text;
    if (changed) {
      // Without the board, its last status is no longer known.
      if (state !== 'connected') {
        for (const lamp of [el.userLamp, el.kernelLamp]) {
          lamp.dataset.on = 'unknown';
          lamp.querySelector('.lamp-state').textContent = '–';
        }
      }
      showMessage('', false);
      scheduleRefresh();
    }
  }

  function takeBoard(board) {
    el.port.textContent = board.port || '–';
    el.name.textContent = board.maker ? `${board.maker} ${board.board}` +
      ` (0x${board.maker_id.toString(16)}:0x${board.board_id.toString(16)})` : '–';
    const state = board.link === 'connected' || board.link === 'waiting' ? board.link : 'disconnected';
    if (link.session !== null && board.session !== link.session) {
      for (const listener of link.listeners) {
        listener(board.session);
      }
      samples.length = 0;
      drawPlot();
    }
    link.session = board.session;
    link.port = board.port;
    showLink(state, board);
  }

  async function probe() {
    if (probing) {
      return;
    }
    probing = true;
    clearTimeout(probeTimer);
    const result = await request('GET', '/api/board');
    probing = false;
    if (result.ok && result.data) {
      takeBoard(result.data);
    } else {
      showLink('unreachable', {});
    }
    probeTimer = setTimeout(probe, PROBE_MS);
  }

  function probeSoon() {
    if (!probing) {
      clearTimeout(probeTimer);
      probeTimer = setTimeout(probe, 0);
    }
  }

  // ---- status and statistics ---------------------------------------------

  function setLamp(lamp, running) {
    lamp.dataset.on = running ? 'true' : 'false';
    lamp.querySelector('.lamp-state').textContent = running ? 'running' : 'stopped';
  }

  function showStatus(data) {
    setLamp(el.userLamp, data.status.user_scheduler_running);
    setLamp(el.kernelLamp, data.status.kernel_scheduler_running);
    el.words.replaceChildren();
    let raised = 0;
    for (const [word, bit, text] of STATUS_BITS) {
      const on = Boolean(data[word] && data[word][bit]);
      raised += on ? 1 : 0;
      const item = document.createElement('li');
      item.className = 'bit';
      item.dataset.on = on ? 'true' : 'false';
      item.dataset.bit = `${word}.${bit}`;
      item.textContent = text;
      el.words.append(item);
    }
    el.words.dataset.raised = String(raised);
  }

  function percent(value) {
    return typeof value === 'number' ? value : 0;
  }

  function showSystat(data) {
    samples.push({
      min: percent(data.load.min_percent),
      avg: percent(data.load.average_percent),
      max: percent(data.load.max_percent),
    });
    if (samples.length > PLOT_SECONDS) {
      samples.shift();
    }
    el.loadText.textContent = `load ${percent(data.load.min_percent).toFixed(1)} / ` +
      `${percent(data.load.average_percent).toFixed(1)} / ${percent(data.load.max_percent).toFixed(1)} % ` +
      `of the ${data.period.length}-tick period (min / avg / max)`;
    drawPlot();
    el.stacks.replaceChildren();
    for (const [key, label] of [['kernel_stack', 'Kernel stack'], ['user_stack', 'User stack']]) {
      const stack = data[key];
      const bar = document.createElement('div');
      bar.className = 'stack';
      const size = stack.size || 1;
      bar.innerHTML = '<span class="stack-label"></span><span class="stack-track">' +
        '<span class="stack-max"></span><span class="stack-min"></span></span><span class="stack-text"></span>';
      bar.querySelector('.stack-label').textContent = label;
      bar.querySelector('.stack-max').style.width = `${Math.min(100, (stack.max / size) * 100)}%`;
      bar.querySelector('.stack-min').style.width = `${Math.min(100, (stack.min / size) * 100)}%`;
      bar.querySelector('.stack-text').textContent = `${stack.min}–${stack.max} of ${stack.size}`;
      el.stacks.append(bar);
    }
  }

  function drawPlot() {
    const top = Math.max(10, ...samples.map((s) => s.max));
    const step = PLOT_WIDTH / (PLOT_SECONDS - 1);
    const offset = PLOT_WIDTH - step * (samples.length - 1);
    for (const key of ['min', 'avg', 'max']) {
      const points = samples.map((s, i) =>
        `${(offset + step * i).toFixed(1)},${(PLOT_HEIGHT - 2 - (s[key] / top) * (PLOT_HEIGHT - 4)).toFixed(1)}`);
      el.plot.querySelector(`.plot-${key}`).setAttribute('points', points.join(' '));
    }
    el.plot.dataset.points = String(samples.length);
  }

  function showMessage(text, isError) {
    el.message.textContent = text;
    el.message.classList.toggle('error', Boolean(isError));
  }

  // The board's status, and with Live on its statistics: no more than two
  // board transactions per refresh.
  async function refresh() {
    if (refreshing || link.state !== 'connected' || document.hidden) {
      return;
    }
    refreshing = true;
    const status = await request('GET', '/api/status');
    if (status.ok) {
      showStatus(status.data);
    } else {
      showMessage(`Status: ${status.error}`, true);
    }
    if (status.ok && el.live.checked) {
      const systat = await request('GET', '/api/systat');
      if (systat.ok) {
        showSystat(systat.data);
      } else {
        showMessage(`Statistics: ${systat.error}`, true);
      }
    }
    refreshing = false;
    if (!status.ok && status.status !== 504 && status.status !== 502) {
      probeSoon();
    }
  }

  function scheduleRefresh() {
    clearTimeout(refreshTimer);
    refreshTimer = null;
    const tick = async () => {
      await refresh();
      if (el.live.checked && link.state === 'connected') {
        refreshTimer = setTimeout(tick, REFRESH_MS);
      }
    };
    if (link.state === 'connected') {
      tick();
    }
  }

  async function act(method, path, body, done) {
    const result = await request(method, path, body);
    if (result.ok) {
      showMessage(done, false);
    } else {
      const half = result.data && result.data.unconfirmed ? `: ${result.data.unconfirmed} not confirmed` : '';
      showMessage(`${result.error}${half}`, true);
    }
    if (!el.live.checked) {
      refresh();
    }
  }

  for (const button of el.panel.querySelectorAll('button[data-scheduler]')) {
    button.addEventListener('click', () => {
      const [action, tasks] = button.dataset.scheduler.split(' ');
      act('POST', `/api/scheduler/${action}`, {tasks},
        `${action === 'run' ? 'Started' : 'Stopped'} the ${tasks === 'both' ? 'user and kernel' : tasks} tasks`);
    });
  }
  $('board-clear').addEventListener('click', () => act('POST', '/api/clear', undefined, 'Cleared the alarm and fault words'));
  el.live.addEventListener('change', scheduleRefresh);
  drawPlot();
  probe();
})();
