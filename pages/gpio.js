// The GPIO page: one row per pin, each control talks to the JSON API of the
// program that serves this page. No request ever rejects: every outcome,
// network failures included, comes back as a result and is shown beside the
// pin it belongs to.
'use strict';

(() => {
  const DEFAULT_PIN_COUNT = 20;
  const MAX_PIN = 63;
  const REQUEST_TIMEOUT_MS = 15000;
  // A request still open after this long is shown as waiting for the board;
  // quicker answers leave the row calm, so live mode does not flicker.
  const SLOW_AFTER_MS = 400;
  const HISTORY_LENGTH = 40;
  const ANALOG_FULL_SCALE = 1023;
  const SPARK_WIDTH = 120;
  const SPARK_HEIGHT = 28;

  const MODE_LABELS = {
    input: 'input',
    output: 'output',
    opendrain: 'open drain',
    pullup: 'pull-up',
  };

  const rows = new Map();  // pin number -> row state

  const elements = {
    body: document.getElementById('pin-rows'),
    template: document.getElementById('pin-row'),
    live: document.getElementById('live'),
    liveHint: document.getElementById('live-hint'),
    addForm: document.getElementById('add-pin'),
    addNumber: document.getElementById('add-pin-number'),
    addMessage: document.getElementById('add-pin-message'),
  };

  // ---- talking to the server -------------------------------------------

  // The connection line above the board panel (board.js) tells what is
  // away and what to do; a failed request asks it to look at once.
  function setReachable(reachable) {
    if (!reachable && window.tessaroLink) {
      window.tessaroLink.unreachable();
    }
  }

  // Resolves to {ok: true, data} or {ok: false, error}; never rejects.
  async function request(method, path, body) {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), REQUEST_TIMEOUT_MS);
    const init = {method, headers: {Accept: 'application/json'}, cache: 'no-store', signal: controller.signal};
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    try {
      let response = null;
      // A connection the server has just closed as idle can fail a request
      // that the browser sent on it; one more try on a fresh connection
      // tells that apart from a server that is gone. Every request here may
      // be repeated: reads, and writes of a mode or a level.
      for (let attempt = 1; response === null; attempt += 1) {
        try {
          response = await fetch(path, init);
        } catch (failure) {
          if (controller.signal.aborted) {
            return {ok: false, error: `No answer from the server within ${REQUEST_TIMEOUT_MS / 1000} s`};
          }
          if (attempt === 2) {
            setReachable(false);
            return {ok: false, error: 'Server unreachable'};
          }
        }
      }
      setReachable(true);
      const text = await response.text();
      let data = null;
      let readable = true;
      if (text.trim() !== '') {
        try {
          data = JSON.parse(text);
        } catch (failure) {
          readable = false;
        }
      }
      if (!response.ok) {
        const reason = data && typeof data.error === 'string' ? data.error : `HTTP error`;
        return {ok: false, error: `${reason} (${response.status})`};
      }
      if (!readable) {
        return {ok: false, error: 'Unreadable answer from the server'};
      }
      return {ok: true, data};
    } catch (failure) {
      // The connection broke while the body was arriving.
      setReachable(false);
      return {ok: false, error: 'Server unreachable'};
    } finally {
      clearTimeout(timer);
    }
  }

  function readValue(result, pin) {
    if (!result.ok) {
      return result;
    }
    const data = result.data;
    if (!data || typeof data.value !== 'number' || data.pin !== pin) {
      return {ok: false, error: 'Unexpected answer from the server'};
    }
    return {ok: true, value: data.value};
  }

  // ---- one row ------------------------------------------------------------

  function createRow(pin, added) {
    const fragment = elements.template.content.cloneNode(true);
    const tr = fragment.querySelector('tr');
    const row = {
      pin,
      tr,
      inFlight: 0,
      slowTimers: new Set(),
      mode: '',
      pendingMode: '',
      written: 0,
      history: [],
      message: tr.querySelector('.message'),
      messageIsError: false,
      modeSelect: tr.querySelector('.mode'),
      readDigital: tr.querySelector('.read-digital'),
      digitalValue: tr.querySelector('.digital-value'),
      readAnalog: tr.querySelector('.read-analog'),
      analogValue: tr.querySelector('.analog-value'),
      spark: tr.querySelector('.spark-line'),
      write: tr.querySelector('.write'),
      writeText: tr.querySelector('.write-text'),
      liveKind: tr.querySelector('.live-kind'),
    };
    tr.dataset.pin = String(pin);
    tr.querySelector('.pin-number').textContent = String(pin);
    const remove = tr.querySelector('.remove');
    if (added) {
      tr.classList.add('added');
      remove.addEventListener('click', () => removeRow(row));
    } else {
      remove.remove();
    }
    for (const control of [row.modeSelect, row.readDigital, row.readAnalog, row.write, row.liveKind]) {
      control.setAttribute('aria-label', `${control.getAttribute('aria-label')}, pin ${pin}`);
    }
    row.modeSelect.addEventListener('change', () => configure(row));
    row.readDigital.addEventListener('click', () => readDigital(row, row.readDigital));
    row.readAnalog.addEventListener('click', () => readAnalog(row, row.readAnalog));
    row.write.addEventListener('change', () => writeLevel(row));
    row.liveKind.addEventListener('change', () => {
      tr.classList.toggle('watched', row.liveKind.value !== '');
      updateLiveHint();
      followPins();
    });
    return row;
  }

  function showMessage(row, text, isError) {
    row.message.textContent = text;
    row.messageIsError = Boolean(isError) && text !== '';
    row.message.classList.toggle('error', row.messageIsError);
    row.message.classList.toggle('waiting', false);
    row.tr.classList.toggle('failed', row.messageIsError);
  }

  function isBusy(control) {
    return control !== null && control.getAttribute('aria-busy') === 'true';
  }

  // Runs one request for the row. `control` (optional) is marked busy while
  // it runs and ignores further input (it is not disabled, so it keeps the
  // keyboard focus); the row shows the request as waiting once it takes
  // longer than a moment.
  async function track(row, control, work) {
    row.inFlight += 1;
    row.tr.classList.add('in-flight');
    if (control) {
      control.setAttribute('aria-busy', 'true');
    }
    const slowTimer = setTimeout(() => {
      row.slowTimers.delete(slowTimer);
      row.tr.classList.add('slow');
      if (!row.messageIsError) {
        row.message.textContent = 'Waiting for the board…';
        row.message.classList.add('waiting');
      }
    }, SLOW_AFTER_MS);
    row.slowTimers.add(slowTimer);
    try {
      return await work();
    } finally {
      clearTimeout(slowTimer);
      row.slowTimers.delete(slowTimer);
      row.inFlight -= 1;
      if (row.inFlight === 0) {
        row.tr.classList.remove('in-flight', 'slow');
        if (row.message.classList.contains('waiting')) {
          row.message.textContent = '';
          row.message.classList.remove('waiting');
        }
      }
      if (control) {
        control.removeAttribute('aria-busy');
      }
    }
  }

  async function configure(row) {
    if (isBusy(row.modeSelect)) {
      row.modeSelect.value = row.pendingMode;
      return;
    }
    const mode = row.modeSelect.value;
    row.pendingMode = mode;
    const result = await track(row, row.modeSelect, () =>
      request('POST', `/api/gpio/config/${row.pin}`, {mode}));
    if (rows.get(row.pin) !== row) {
      return;
    }
    if (result.ok) {
      known(row);
      row.mode = mode;
      showMessage(row, `Mode set to ${MODE_LABELS[mode]}`, false);
    } else {
      row.modeSelect.value = row.mode;
      showMessage(row, `Mode: ${result.error}`, true);
    }
  }

  async function writeLevel(row) {
    if (isBusy(row.write)) {
      row.write.checked = !row.write.checked;
      return;
    }
    const value = row.write.checked ? 1 : 0;
    row.writeText.textContent = String(value);
    const result = await track(row, row.write, () =>
      request('POST', `/api/gpio/gwd/${row.pin}`, {value}));
    if (rows.get(row.pin) !== row) {
      return;
    }
    if (result.ok) {
      known(row);
      row.written = value;
      showMessage(row, `Wrote ${value}`, false);
    } else {
      row.write.checked = row.written === 1;
      row.writeText.textContent = String(row.written);
      showMessage(row, `Write: ${result.error}`, true);
    }
  }

  async function readDigital(row, control) {
    if (isBusy(control)) {
      return;
    }
    const result = readValue(await track(row, control, () =>
      request('GET', `/api/gpio/grd/${row.pin}`)), row.pin);
    if (rows.get(row.pin) !== row) {
      return;
    }
    if (result.ok) {
      showDigital(row, result.value);
    } else {
      showMessage(row, `Digital read: ${result.error}`, true);
    }
  }

  async function readAnalog(row, control) {
    if (isBusy(control)) {
      return;
    }
    const result = readValue(await track(row, control, () =>
      request('GET', `/api/gpio/gra/${row.pin}`)), row.pin);
    if (rows.get(row.pin) !== row) {
      return;
    }
    if (result.ok) {
      showAnalog(row, result.value);
    } else {
      showMessage(row, `Analog read: ${result.error}`, true);
    }
  }

  function showDigital(row, value) {
    row.digitalValue.textContent = String(value);
    row.digitalValue.dataset.level = value === 0 ? '0' : value === 1 ? '1' : 'other';
    row.digitalValue.title = value === 0 ? 'low' : value === 1 ? 'high' : '';
    clearError(row);
  }

  function showAnalog(row, value) {
    row.analogValue.textContent = String(value);
    row.history.push(value);
    if (row.history.length > HISTORY_LENGTH) {
      row.history.shift();
    }
    drawSpark(row);
    clearError(row);
  }

  // A successful answer shows the pin works again: an old failure goes.
  function clearError(row) {
    if (row.messageIsError) {
      showMessage(row, '', false);
    }
  }

  // The pin was set or read since the board reconnected.
  function known(row) {
    row.tr.classList.remove('unknown');
  }

  function drawSpark(row) {
    const values = row.history;
    const top = Math.max(ANALOG_FULL_SCALE, ...values);
    const step = SPARK_WIDTH / (HISTORY_LENGTH - 1);
    const offset = SPARK_WIDTH - step * (values.length - 1);
    const usable = SPARK_HEIGHT - 4;
    const points = values.map((value, index) => {
      const x = offset + step * index;
      const y = SPARK_HEIGHT - 2 - (value / top) * usable;
      return `${x.toFixed(1)},${y.toFixed(1)}`;
    });
    row.spark.setAttribute('points', points.join(' '));
    row.tr.classList.toggle('has-plot', values.length > 1);
  }

  function removeRow(row) {
    rows.delete(row.pin);
    for (const timer of row.slowTimers) {
      clearTimeout(timer);
    }
    row.tr.remove();
    elements.addMessage.textContent = '';
    updateLiveHint();
    followPins();
  }

  function addRow(pin, added) {
    const row = createRow(pin, added);
    rows.set(pin, row);
    const after = [...rows.keys()].filter((other) => other > pin).sort((a, b) => a - b)[0];
    elements.body.insertBefore(row.tr, after === undefined ? null : rows.get(after).tr);
    return row;
  }

  // ---- live mode ---------------------------------------------------------

  function watchedRows() {
    return [...rows.values()].filter((row) => row.liveKind.value !== '');
  }

  // The pins marked for live come from the page's event stream, four times
  // a second, read once for every page that follows them.
  function followPins() {
    const on = elements.live.checked;
    const kind = (wanted) => watchedRows().filter((row) => row.liveKind.value === wanted)
      .map((row) => row.pin);
    window.tessaroEvents.want({digital: on ? kind('digital') : [], analog: on ? kind('analog') : []});
  }

  function takePins(data) {
    for (const entry of data.pins || []) {
      const row = rows.get(entry.pin);
      // A row's own read under way tells it itself.
      if (!row || row.liveKind.value !== data.read || row.inFlight > 0) {
        continue;
      }
      if (typeof entry.value !== 'number') {
        showMessage(row, `Live: ${entry.error || 'no value'}`, true);
      } else if (data.read === 'analog') {
        showAnalog(row, entry.value);
      } else {
        showDigital(row, entry.value);
      }
    }
  }

  function setLive(on) {
    document.body.classList.toggle('live-on', on);
    updateLiveHint();
    followPins();
  }

  function updateLiveHint() {
    const count = watchedRows().length;
    const on = elements.live.checked;
    let text;
    if (count === 0) {
      text = 'choose digital or analog in a row’s Live column to follow that pin';
    } else {
      const pins = count === 1 ? '1 pin' : `${count} pins`;
      text = on ? `reading ${pins} four times a second` : `re-reads ${pins} four times a second`;
    }
    elements.liveHint.textContent = text;
    elements.liveHint.classList.toggle('attention', on && count === 0);
  }

  // ---- a board that reconnected -------------------------------------------

  // A new session is a board that has been away: what this page remembers of
  // each pin (mode, values, the write switch) may no longer hold.
  function forgetPins() {
    for (const row of rows.values()) {
      row.mode = '';
      row.pendingMode = '';
      row.modeSelect.value = '';
      row.written = 0;
      row.write.checked = false;
      row.writeText.textContent = '0';
      row.digitalValue.textContent = '–';
      row.digitalValue.dataset.level = '';
      row.analogValue.textContent = '–';
      row.history = [];
      drawSpark(row);
      showMessage(row, 'unknown since the board reconnected', false);
      row.tr.classList.add('unknown');
    }
  }

  // ---- adding pins ---------------------------------------------------------

  function onAddPin(event) {
    event.preventDefault();
    const text = elements.addNumber.value.trim();
    const pin = Number(text);
    elements.addMessage.classList.remove('error');
    if (text === '' || !Number.isInteger(pin) || pin < 0 || pin > MAX_PIN) {
      elements.addMessage.textContent = `Pins are numbered 0 to ${MAX_PIN}.`;
      elements.addMessage.classList.add('error');
      return;
    }
    let row = rows.get(pin);
    if (row) {
      elements.addMessage.textContent = `Pin ${pin} is already listed.`;
    } else {
      row = addRow(pin, true);
      elements.addMessage.textContent = `Pin ${pin} added.`;
      elements.addNumber.value = '';
      updateLiveHint();
    }
    row.tr.scrollIntoView({block: 'nearest'});
    row.tr.classList.remove('flash');
    void row.tr.offsetWidth;  // restarts the highlight animation
    row.tr.classList.add('flash');
  }

  // ---- start --------------------------------------------------------------

  for (let pin = 0; pin < DEFAULT_PIN_COUNT; pin += 1) {
    addRow(pin, false);
  }
  elements.live.checked = false;
  elements.live.addEventListener('change', () => setLive(elements.live.checked));
  elements.addForm.addEventListener('submit', onAddPin);
  elements.addNumber.addEventListener('input', () => {
    elements.addMessage.textContent = '';
  });
  updateLiveHint();
  if (window.tessaroLink) {
    window.tessaroLink.onSession(forgetPins);
  }
  window.tessaroEvents.on('pins', takePins);
})();
