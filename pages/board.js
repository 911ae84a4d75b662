// The board panel: which port and board the page talks to and how the link
// stands, the schedulers, the alarm and fault words, and the kernel's load
// and stack use as they run. Everything it shows comes from the page's event
// stream (events.js): the link as it changes, the status once a second, and
// with Live on the statistics once a second after the last ten minutes of
// them. It also keeps the link state for the pin rows (window.tessaroLink).
'use strict';

(() => {
  const PLOT_MS = 10 * 60 * 1000;  // the plot's width in time
  const REQUEST_TIMEOUT_MS = 15000;
  // The plot's area inside its 340 x 130 drawing, axes and labels around it.
  const PLOT = {left: 38, right: 332, top: 8, bottom: 104};

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
    // A request of the page failed to reach the server: try the stream at once.
    unreachable: () => window.tessaroEvents.retryNow(),
    onSession: (listener) => link.listeners.add(listener),
  };

  const samples = [];  // {time, min, avg, max}: time in ms, the rest in percent of the period

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

  function takeLink(data) {
    takeBoard(data);
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

  function takeSample(time, load) {
    samples.push({
      time,
      min: percent(load.min_percent),
      avg: percent(load.average_percent),
      max: percent(load.max_percent),
    });
    while (samples.length > 0 && samples[0].time < time - PLOT_MS) {
      samples.shift();
    }
  }

  // The last ten minutes, sent once when the statistics are first followed.
  function showHistory(data) {
    samples.length = 0;
    for (const sample of data.systat || []) {
      takeSample(Date.parse(sample.time), sample.load);
    }
    drawPlot();
  }

  function showSystat(data) {
    if (!el.live.checked || data.error) {
      if (data.error) {
        showMessage(`Statistics: ${data.error}`, true);
      }
      return;
    }
    takeSample(Date.parse(data.time), data.load);
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
      bar.querySelector('.stack-text').textContent = `${stack.min}–${stack.max} of ${stack.size} bytes`;
      el.stacks.append(bar);
    }
    // The bars' scale: a share of each stack's size.
    const scale = document.createElement('div');
    scale.className = 'stack-scale';
    scale.innerHTML = '<span></span><span class="stack-ticks"><span>0 %</span><span>50 %</span>' +
      '<span>100 %</span></span><span></span>';
    el.stacks.append(scale);
  }

  const SVG = 'http://www.w3.org/2000/svg';
  function svgText(x, y, text, anchor) {
    const node = document.createElementNS(SVG, 'text');
    node.setAttribute('x', String(x));
    node.setAttribute('y', String(y));
    node.setAttribute('text-anchor', anchor);
    node.textContent = text;
    return node;
  }

  // Percent upward, the last ten minutes across, now at the right.
  function drawPlot() {
    const top = Math.min(100, Math.max(10, Math.ceil(Math.max(0, ...samples.map((s) => s.max)) / 10) * 10));
    const now = samples.length > 0 ? samples[samples.length - 1].time : Date.now();
    const x = (time) => PLOT.left + (PLOT.right - PLOT.left) * (1 - (now - time) / PLOT_MS);
    const y = (value) => PLOT.bottom - (PLOT.bottom - PLOT.top) * (Math.min(value, top) / top);
    for (const key of ['min', 'avg', 'max']) {
      const points = samples.map((s) => `${x(s.time).toFixed(1)},${y(s[key]).toFixed(1)}`);
      el.plot.querySelector(`.plot-${key}`).setAttribute('points', points.join(' '));
    }
    const axes = el.plot.querySelector('.plot-axes');
    axes.replaceChildren();
    for (const value of [0, top / 2, top]) {
      const line = document.createElementNS(SVG, 'line');
      line.setAttribute('x1', String(PLOT.left));
      line.setAttribute('x2', String(PLOT.right));
      line.setAttribute('y1', String(y(value)));
      line.setAttribute('y2', String(y(value)));
      line.setAttribute('class', value === 0 ? 'axis' : 'grid');
      axes.append(line, svgText(PLOT.left - 4, y(value) + 3, `${value} %`, 'end'));
    }
    for (const minutes of [10, 5, 0]) {
      const at = PLOT.left + (PLOT.right - PLOT.left) * (1 - minutes / 10);
      axes.append(svgText(at, PLOT.bottom + 14, minutes === 0 ? 'now' : `−${minutes} min`,
        minutes === 10 ? 'start' : minutes === 0 ? 'end' : 'middle'));
    }
    el.plot.dataset.points = String(samples.length);
  }

  function showMessage(text, isError) {
    el.message.textContent = text;
    el.message.classList.toggle('error', Boolean(isError));
  }

  // The statistics are followed while Live is on.
  function followStatistics() {
    window.tessaroEvents.want({systat: el.live.checked});
  }

  async function act(method, path, body, done) {
    const result = await request(method, path, body);
    if (result.ok) {
      showMessage(done, false);
    } else {
      const half = result.data && result.data.unconfirmed ? `: ${result.data.unconfirmed} not confirmed` : '';
      showMessage(`${result.error}${half}`, true);
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
  el.live.addEventListener('change', followStatistics);
  const events = window.tessaroEvents;
  events.on('link', takeLink);
  events.on('status', (data) => {
    if (data.error) {
      showMessage(`Status: ${data.error}`, true);
    } else {
      showStatus(data);
    }
  });
  events.on('history', showHistory);
  events.on('systat', showSystat);
  // The stream dropped: the server has gone, or stopped serving.
  events.on('drop', () => showLink('unreachable', {}));
  drawPlot();
})();
