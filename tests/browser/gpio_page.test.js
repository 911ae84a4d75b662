// The GPIO page in a real browser: tessaro connected to the simulated board
// (under a stable name, so that it can go away and come back), driven
// through headless Chromium. Needs port 8088; waits while another program
// holds it.
//
//   TESSARO_BUILD_DIR=build node --test tests/browser/gpio_page.test.js
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const {spawn} = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const {chromium} = require('playwright-core');

const ROOT = path.resolve(__dirname, '..', '..');
const BUILD = path.resolve(ROOT, process.env.TESSARO_BUILD_DIR || 'build');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const PORT = 8088;
const BASE = `http://localhost:${PORT}`;
const SERVER_LINE = `[Tessaro] Server running on ${BASE}`;
const SHOTS = path.join(BUILD, 'browser');

const STEP_MS = 20000;         // any one thing the page or a program should do
const PORT_FREE_MS = 300000;   // another test may hold 8088 for a while

// A child process whose output is collected, with a way to wait for a text.
function startProgram(file, args, options) {
  const child = spawn(file, args, {...options, stdio: ['pipe', 'pipe', 'pipe']});
  const program = {child, output: '', exited: false, waiters: new Set()};
  const feed = (chunk) => {
    program.output += chunk.toString();
    for (const waiter of program.waiters) {
      waiter();
    }
  };
  child.stdout.on('data', feed);
  child.stderr.on('data', feed);
  child.on('exit', () => {
    program.exited = true;
    for (const waiter of program.waiters) {
      waiter();
    }
  });
  child.on('error', (error) => feed(`\n[could not start ${file}: ${error.message}]\n`));
  child.stdin.on('error', () => {});
  return program;
}

function waitForOutput(program, pattern, what) {
  return new Promise((resolve, reject) => {
    const check = () => {
      const match = program.output.match(pattern);
      if (match) {
        done();
        resolve(match);
      } else if (program.exited) {
        done();
        reject(new Error(`${what}: the program ended first; its output:\n${program.output}`));
      }
    };
    const timer = setTimeout(() => {
      done();
      reject(new Error(`${what}: not seen within ${STEP_MS} ms; output so far:\n${program.output}`));
    }, STEP_MS);
    const done = () => {
      clearTimeout(timer);
      program.waiters.delete(check);
    };
    program.waiters.add(check);
    check();
  });
}

async function stopProgram(program, signal = 'SIGTERM') {
  if (!program || program.exited) {
    return;
  }
  const exited = new Promise((resolve) => program.child.once('exit', resolve));
  program.child.kill(signal);
  const timer = setTimeout(() => program.child.kill('SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

function portInUse(port) {
  // "localhost" may stand for either loopback address; a neighbour on either
  // one would take the browser's requests.
  const probe = (host) => new Promise((resolve) => {
    const socket = net.connect({host, port});
    socket.once('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.once('error', () => resolve(false));
  });
  return Promise.all([probe('127.0.0.1'), probe('::1')]).then((answers) => answers.includes(true));
}

async function waitForFreePort(port) {
  const deadline = Date.now() + PORT_FREE_MS;
  let told = false;
  while (await portInUse(port)) {
    if (Date.now() > deadline) {
      throw new Error(`port ${port} stayed in use for ${PORT_FREE_MS / 1000} s`);
    }
    if (!told) {
      console.log(`# port ${port} is in use; waiting for it to free`);
      told = true;
    }
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
}

// The lines of the console's own help text, read from its source, so the
// help page cannot drift from what `h` prints.
function consoleHelpLines(arrayName) {
  const source = fs.readFileSync(path.join(ROOT, 'base', 'console_output.cpp'), 'utf8');
  const start = source.indexOf(`${arrayName}[] = {`);
  assert.ok(start >= 0, `${arrayName} not found in base/console_output.cpp`);
  const body = source.slice(start, source.indexOf('};', start));
  return [...body.matchAll(/"((?:[^"\\]|\\.)*)"/g)].map((match) => JSON.parse(`"${match[1]}"`));
}

// The server closes a connection that carries no request within a few
// milliseconds (so that stopping it never waits for an idle browser); a
// browser that opened one early then fails the load. A person would load
// the page again, and so does the test, saying so.
async function load(page, url) {
  try {
    return await page.goto(url);
  } catch (error) {
    console.log(`# loading ${url} failed (${error.message.split('\n')[0]}); loading it again`);
    return page.goto(url);
  }
}

function trimBlankEnds(lines) {
  const result = [...lines];
  while (result.length > 0 && result[0].trim() === '') {
    result.shift();
  }
  while (result.length > 0 && result[result.length - 1].trim() === '') {
    result.pop();
  }
  return result;
}

test('GPIO page against tessaro and the simulated board', {timeout: PORT_FREE_MS + 180000}, async (t) => {
  for (const program of ['quirn-sim', 'tessaro']) {
    assert.ok(fs.existsSync(path.join(BUILD, program)), `${path.join(BUILD, program)} is missing: build first`);
  }
  assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing: scripts/install-deps.sh installs it`);
  fs.mkdirSync(SHOTS, {recursive: true});

  let sim = null;
  let tessaro = null;
  let browser = null;
  t.after(async () => {
    if (browser) {
      await browser.close().catch(() => {});
    }
    if (tessaro && !tessaro.exited) {
      tessaro.child.stdin.end('quit\n');
      const timer = setTimeout(() => tessaro.child.kill('SIGKILL'), 5000);
      await new Promise((resolve) => (tessaro.exited ? resolve() : tessaro.child.once('exit', resolve)));
      clearTimeout(timer);
    }
    await stopProgram(sim);
  });

  await waitForFreePort(PORT);
  // The board starts with the kernel stack alarm raised, for Clear to clear.
  const terminal = path.join(os.tmpdir(), `quirn_browser_${process.pid}`);
  const startSim = async () => {
    const program = startProgram(path.join(BUILD, 'quirn-sim'),
      ['--no-stdin', '--alarm', '1', '--link', terminal], {cwd: ROOT});
    await waitForOutput(program, /Linked at /, 'simulated board start');
    return program;
  };
  sim = await startSim();

  tessaro = startProgram(path.join(BUILD, 'tessaro'), [], {cwd: ROOT});
  tessaro.child.stdin.write(`co ${terminal}\n`);
  await waitForOutput(tessaro, new RegExp(SERVER_LINE.replace(/[.[\]/]/g, '\\$&')), 'web server start');

  browser = await chromium.launch({executablePath: CHROMIUM, args: ['--no-sandbox']});
  const context = await browser.newContext({viewport: {width: 1100, height: 760}});
  // Counts the requests open per pin at once, to check that live mode never
  // asks a pin again before it has answered, and the page's running
  // intervals, to check that switching live mode off clears its timer.
  await context.addInitScript(() => {
    const open = new Map();
    const intervals = new Set();
    window.__mostOpen = 0;
    window.__fetches = 0;
    window.__intervals = () => intervals.size;
    const originalFetch = window.fetch.bind(window);
    window.fetch = async (url, init) => {
      window.__fetches += 1;
      const key = String(url).replace(/^.*\/(\d+)$/, '$1');
      open.set(key, (open.get(key) || 0) + 1);
      window.__mostOpen = Math.max(window.__mostOpen, open.get(key));
      try {
        return await originalFetch(url, init);
      } finally {
        open.set(key, open.get(key) - 1);
      }
    };
    const originalSet = window.setInterval.bind(window);
    const originalClear = window.clearInterval.bind(window);
    window.setInterval = (...args) => {
      const id = originalSet(...args);
      intervals.add(id);
      return id;
    };
    window.clearInterval = (id) => {
      intervals.delete(id);
      originalClear(id);
    };
  });
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(error.message));
  page.setDefaultTimeout(STEP_MS);
  const row = (pin) => page.locator(`tr[data-pin="${pin}"]`);
  // Waits for a row's message; a timeout tells what the row said instead.
  const expectMessage = async (pin, text) => {
    try {
      await row(pin).locator('.message', {hasText: text}).waitFor();
    } catch (error) {
      const shown = await row(pin).locator('.message').textContent().catch(() => '?');
      throw new Error(`pin ${pin}: waited for "${text}", the row says "${shown}"\n${tessaro.output.slice(-2000)}`);
    }
  };

  await t.test('the page lists pins 0 to 19 and can add any pin up to 63', async () => {
    const response = await load(page, `${BASE}/`);
    assert.equal(response.status(), 200);
    await page.locator('tr[data-pin="19"]').waitFor();
    assert.equal(await page.locator('tbody tr').count(), 20);
    await page.fill('#add-pin-number', '64');
    await page.click('#add-pin button[type="submit"]');
    await page.getByText('Pins are numbered 0 to 63.').waitFor();
    await page.fill('#add-pin-number', '42');
    await page.click('#add-pin button[type="submit"]');
    await row(42).waitFor();
    const pins = await page.locator('tbody tr').evaluateAll((rows) => rows.map((r) => Number(r.dataset.pin)));
    assert.deepEqual(pins.slice(-2), [19, 42]);
    await row(42).locator('button.remove').click();
    await row(42).waitFor({state: 'detached'});
  });

  const connection = page.locator('#connection');
  const lamp = (which) => page.locator(`#lamp-${which}`);
  // The requests the page makes in a while: the board's absence backs off
  // to one probe a second.
  const requestsIn = async (ms) => {
    const before = await page.evaluate(() => window.__fetches);
    await page.waitForTimeout(ms);
    return (await page.evaluate(() => window.__fetches)) - before;
  };

  await t.test('the board panel shows the board; Run, Stop and Clear act on it', async () => {
    await page.locator('#connection[data-state="connected"]').waitFor();
    assert.match(await connection.textContent(), /Connected to Arduino Uno_R4_Minima on .*quirn_browser_/);
    assert.match(await page.locator('#board-name').textContent(), /Arduino Uno_R4_Minima \(0x6:0x9\)/);
    await page.locator('#board-words [data-bit="alarm.kernel_stack_high"][data-on="true"]').waitFor();
    await page.click('button[data-scheduler="run both"]');
    await page.locator('#lamp-user[data-on="true"]').waitFor();
    await page.locator('#lamp-kernel[data-on="true"]').waitFor();
    await page.click('button[data-scheduler="stop user"]');
    await page.locator('#lamp-user[data-on="false"]').waitFor();
    assert.equal(await lamp('kernel').getAttribute('data-on'), 'true');
    await page.click('#board-clear');
    await page.locator('#board-words[data-raised="0"]').waitFor();
    await page.click('button[data-scheduler="run user"]');
    await page.locator('#lamp-user[data-on="true"]').waitFor();
  });

  await t.test('pin 2 as output: write 1, read back 1', async () => {
    await row(2).locator('select.mode').selectOption('output');
    await expectMessage(2, 'Mode set to output');
    await row(2).locator('label:has(input.write)').click();
    await expectMessage(2, 'Wrote 1');
    await row(2).locator('button.read-digital').click();
    await row(2).locator('.digital-value[data-level="1"]').waitFor();
    assert.equal((await row(2).locator('.digital-value').textContent()).trim(), '1');
  });

  await t.test('the Wire panel shows the frames of a pin read, and filters by source', async () => {
    const events = page.locator('#wire-events li');
    assert.equal(await page.locator('#wire').getAttribute('open'), null, 'closed at first');
    await page.locator('#wire summary').click();
    await row(2).locator('button.read-digital').click();
    await events.filter({hasText: /api GET \/api\/gpio\/grd\/2 +-> 98 82 FE$/}).last().waitFor();
    await events.filter({hasText: /<- 98 82 01 00   ended at known length$/}).last().waitFor();
    await events.filter({hasText: /identify +-> E0 FD$/}).first().waitFor();
    await page.selectOption('#wire-source', 'identify');
    assert.equal(await events.filter({hasText: 'api GET'}).evaluateAll(
      (items) => items.filter((item) => !item.hidden).length), 0);
    await page.selectOption('#wire-source', '');
    await page.locator('#wire summary').click();
  });

  await t.test('pull-up, answered with an empty body, is taken as success', async () => {
    await row(5).locator('select.mode').selectOption('pullup');
    await expectMessage(5, 'Mode set to pull-up');
    assert.equal(await row(5).locator('.message.error').count(), 0);
  });

  await t.test('live mode draws the analog values of pin 3', async () => {
    await row(3).locator('select.live-kind').selectOption('analog');
    await row(4).locator('select.live-kind').selectOption('analog');
    await page.locator('label.live-switch').click();
    await page.waitForFunction(() => [3, 4].every((pin) => {
      const line = document.querySelector(`tr[data-pin="${pin}"] .spark-line`);
      return line.getAttribute('points').trim().split(/\s+/).length >= 40;  // a full plot
    }), null, {timeout: 2 * STEP_MS});
    const value = (await row(3).locator('.analog-value').textContent()).trim();
    assert.match(value, /^\d+$/);
    assert.ok(Number(value) <= 1023, `analog value ${value}`);
    // The statistics plot gains a point a second while Live is on.
    await page.waitForFunction(() => Number(document.querySelector('#load-plot').dataset.points) >= 5,
      null, {timeout: 2 * STEP_MS});
    assert.equal(await page.locator('#stack-bars .stack').count(), 2);
    await page.screenshot({path: path.join(SHOTS, 'gpio-page.png')});
  });

  await t.test('the help page carries the console help word for word', async () => {
    const help = await context.newPage();
    const response = await load(help, `${BASE}/help`);
    assert.equal(response.status(), 200);
    assert.equal(help.url(), `${BASE}/help/`);
    // It fits a wide screen and a phone without sideways scrolling.
    for (const width of [1280, 390]) {
      await help.setViewportSize({width, height: 800});
      const overflow = await help.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `the help page is ${overflow} px too wide at ${width} px`);
      const button = await help.locator('.top nav a').boundingBox();
      assert.ok(button.height < 40, `the header button wraps at ${width} px`);
    }
    assert.equal(await help.locator('a[href="/api/openapi.json"]').count(), 1);
    const general = consoleHelpLines('kGeneralHelp');
    const expected = {
      '#printed-client': [...general, ...consoleHelpLines('kClientHelp')],
      '#printed-server': [...general, ...consoleHelpLines('kServerHelp')],
    };
    for (const [selector, lines] of Object.entries(expected)) {
      const shown = (await help.locator(selector).textContent()).split('\n');
      assert.deepEqual(trimBlankEnds(shown), trimBlankEnds(lines), selector);
    }
    await help.close();
  });

  await t.test('a board that goes away is waited for, and the page backs off', async () => {
    await stopProgram(sim);
    const gone = Date.now();
    await page.locator('#connection[data-state="waiting"]').waitFor();
    assert.ok(Date.now() - gone < 2500, `waiting shown after ${Date.now() - gone} ms`);
    assert.match(await connection.textContent(), /Waiting for the board on .*quirn_browser_/);
    assert.equal(await lamp('user').getAttribute('data-on'), 'unknown');
    const asked = await requestsIn(3000);
    assert.ok(asked <= 4, `${asked} requests in 3 s while the board was away`);
    await page.screenshot({path: path.join(SHOTS, 'gpio-page-board-gone.png')});
    assert.equal(await page.evaluate(() => window.__mostOpen), 1, 'requests open at once for one pin');
  });

  await t.test('a board that comes back is a new session: the pins are marked unknown', async () => {
    sim = await startSim();
    await page.locator('#connection[data-state="connected"]').waitFor();
    await expectMessage(2, 'unknown since the board reconnected');
    assert.equal(await row(2).locator('select.mode').inputValue(), '');
    assert.equal(await row(2).locator('input.write').isChecked(), false);
  });

  await t.test('a server that has stopped is reported as unreachable', async () => {
    tessaro.child.stdin.write('di\n');
    await waitForOutput(tessaro, /\[Tessaro\] Webserver quit\./, 'web server stop');
    await page.locator('#connection[data-state="unreachable"]').waitFor();
    assert.match(await connection.textContent(), /server is unreachable/);
    const asked = await requestsIn(3000);
    assert.ok(asked <= 4, `${asked} requests in 3 s while the server was away`);
    await page.screenshot({path: path.join(SHOTS, 'gpio-page-server-gone.png')});
  });

  await t.test('switching live mode off stops following the pins on the stream', async () => {
    assert.match(await page.evaluate(() => window.tessaroEvents.url), /topics=[^&]*pins.*&analog=3,4/);
    assert.equal(await page.evaluate(() => window.__intervals()), 0, 'no timer polls the pins');
    await page.locator('label.live-switch').click();
    await page.waitForFunction(() => !/pins|systat/.test(window.tessaroEvents.url));
  });

  assert.deepEqual(pageErrors, []);
});
