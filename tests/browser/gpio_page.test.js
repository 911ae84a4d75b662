// The GPIO page in a real browser: tessaro connected to the simulated board
// (under a stable name, so that it can go away and come back), serving on a
// port the system gives free, driven through headless Chromium.
//
//   TESSARO_BUILD_DIR=build node --test tests/browser/gpio_page.test.js
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const {spawn} = require('node:child_process');
const {EventEmitter, once} = require('node:events');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const {chromium} = require('playwright-core');

const ROOT = path.resolve(__dirname, '..', '..');
const BUILD = path.resolve(ROOT, process.env.TESSARO_BUILD_DIR || 'build');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const SHOTS = path.join(BUILD, 'browser');
const STEP_MS = 20000;  // any one thing the page or a program should do

// A port nothing listens on, on any address, for tessaro's web server.
async function freePort() {
  const server = net.createServer().listen(0);
  await once(server, 'listening');
  const {port} = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// A program of the build, its output collected.
function startProgram(name, args) {
  const child = spawn(path.join(BUILD, name), args, {cwd: ROOT});
  const program = {child, output: '', exited: false, changed: new EventEmitter()};
  const feed = (chunk) => {
    program.output += chunk;
    program.changed.emit('change');
  };
  child.stdout.on('data', feed);
  child.stderr.on('data', feed);
  child.on('error', (error) => feed(`\n[could not start ${name}: ${error.message}]\n`));
  child.on('exit', () => {
    program.exited = true;
    program.changed.emit('change');
  });
  child.stdin.on('error', () => {});
  return program;
}

async function waitForOutput(program, text, what) {
  const signal = AbortSignal.timeout(STEP_MS);
  while (!program.output.includes(text)) {
    if (program.exited) {
      throw new Error(`${what}: the program ended first; its output:\n${program.output}`);
    }
    await once(program.changed, 'change', {signal}).catch(() => {
      throw new Error(`${what}: not seen within ${STEP_MS} ms; output so far:\n${program.output}`);
    });
  }
}

// Ends a program (a SIGTERM unless `end` says otherwise); one that lingers
// is killed.
async function stopProgram(program, end = () => program.child.kill()) {
  if (!program || program.exited) {
    return;
  }
  const timer = setTimeout(() => program.child.kill('SIGKILL'), 5000);
  end();
  await once(program.child, 'exit');
  clearTimeout(timer);
}

// The lines of the console's own help text, read from its source, so the
// help page cannot drift from what `h` prints.
function consoleHelp(arrayName) {
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

test('GPIO page against tessaro and the simulated board', {timeout: 180000}, async (t) => {
  for (const file of [path.join(BUILD, 'quirn-sim'), path.join(BUILD, 'tessaro'), CHROMIUM]) {
    assert.ok(fs.existsSync(file), `${file} is missing: build, or run scripts/install-deps.sh`);
  }
  fs.mkdirSync(SHOTS, {recursive: true});
  let sim = null;
  let tessaro = null;
  let browser = null;
  t.after(async () => {
    await browser?.close().catch(() => {});
    await stopProgram(tessaro, () => tessaro.child.stdin.end('quit\n'));
    await stopProgram(sim);
  });

  // The board starts with the kernel stack alarm raised, for Clear to clear.
  const terminal = path.join(os.tmpdir(), `quirn_browser_${process.pid}`);
  const startSim = async () => {
    sim = startProgram('quirn-sim', ['--no-stdin', '--alarm', '1', '--link', terminal]);
    await waitForOutput(sim, 'Linked at ', 'simulated board start');
  };
  await startSim();
  const port = await freePort();
  const base = `http://localhost:${port}`;
  tessaro = startProgram('tessaro', ['--http-port', String(port)]);
  tessaro.child.stdin.write(`co ${terminal}\n`);
  await waitForOutput(tessaro, `[Tessaro] Server running on ${base}`, 'web server start');

  browser = await chromium.launch({executablePath: CHROMIUM, args: ['--no-sandbox']});
  const context = await browser.newContext({viewport: {width: 1100, height: 760}});
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(error.message));
  page.setDefaultTimeout(STEP_MS);
  // Every request the page makes, its event stream's included.
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  const row = (pin) => page.locator(`tr[data-pin="${pin}"]`);
  const connection = page.locator('#connection');
  const lamp = (which, on) => page.locator(`#lamp-${which}[data-on="${on}"]`).waitFor();
  // Waits for a row's message; a timeout tells what the row said instead.
  const expectMessage = async (pin, text) => {
    try {
      await row(pin).locator('.message', {hasText: text}).waitFor();
    } catch (error) {
      const shown = await row(pin).locator('.message').textContent().catch(() => '?');
      throw new Error(`pin ${pin}: waited for "${text}", the row says "${shown}"\n${tessaro.output.slice(-2000)}`);
    }
  };
  // The link line says `state` with `text`, and the page then asks the
  // server at most once a second.
  const expectOutage = async (state, text, shot) => {
    await page.locator(`#connection[data-state="${state}"]`).waitFor();
    assert.match(await connection.textContent(), text);
    const before = requests.length;
    await page.waitForTimeout(2000);
    const asked = requests.length - before;
    assert.ok(asked <= 3, `${asked} requests in 2 s while ${state}`);
    await page.screenshot({path: path.join(SHOTS, shot)});
  };

  await t.test('the page lists pins 0 to 19 and can add any pin up to 63', async () => {
    assert.equal((await load(page, `${base}/`)).status(), 200);
    await row(19).waitFor();
    assert.equal(await page.locator('tbody tr').count(), 20);
    for (const [pin, answer] of [['64', 'Pins are numbered 0 to 63.'], ['42', 'Pin 42 added.']]) {
      await page.fill('#add-pin-number', pin);
      await page.click('#add-pin button[type="submit"]');
      await page.getByText(answer).waitFor();
    }
    const pins = await page.locator('tbody tr').evaluateAll((rows) => rows.map((r) => Number(r.dataset.pin)));
    assert.deepEqual(pins.slice(-2), [19, 42]);
    await row(42).locator('button.remove').click();
    await row(42).waitFor({state: 'detached'});
  });

  await t.test('the board panel shows the board; Run, Stop and Clear act on it', async () => {
    await page.locator('#connection[data-state="connected"]').waitFor();
    assert.match(await connection.textContent(), /Connected to Arduino Uno_R4_Minima on .*quirn_browser_/);
    assert.match(await page.locator('#board-name').textContent(), /Arduino Uno_R4_Minima \(0x6:0x9\)/);
    await page.locator('#board-words [data-bit="alarm.kernel_stack_high"][data-on="true"]').waitFor();
    await page.click('button[data-scheduler="run both"]');
    await lamp('user', true);
    await lamp('kernel', true);
    await page.click('button[data-scheduler="stop user"]');
    await page.click('#board-clear');
    await lamp('user', false);
    await page.locator('#board-words[data-raised="0"]').waitFor();
    assert.equal(await page.locator('#lamp-kernel').getAttribute('data-on'), 'true');
  });

  await t.test('pin 2 as output: write 1, read back 1; pin 5 pull-up (an empty answer) is a success', async () => {
    await row(2).locator('select.mode').selectOption('output');
    await expectMessage(2, 'Mode set to output');
    await row(2).locator('label:has(input.write)').click();
    await expectMessage(2, 'Wrote 1');
    await row(2).locator('button.read-digital').click();
    await row(2).locator('.digital-value[data-level="1"]', {hasText: /^1$/}).waitFor();
    await row(5).locator('select.mode').selectOption('pullup');
    await expectMessage(5, 'Mode set to pull-up');
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

  await t.test('live mode draws the analog values of pins 3 and 4 and the load; off, it stops following them', async () => {
    await row(3).locator('select.live-kind').selectOption('analog');
    await row(4).locator('select.live-kind').selectOption('analog');
    const before = requests.length;
    await page.locator('label.live-switch').click();
    await page.waitForFunction(() => [3, 4].every((pin) => {
      const line = document.querySelector(`tr[data-pin="${pin}"] .spark-line`);
      return line.getAttribute('points').trim().split(/\s+/).length >= 8;
    }), null, {timeout: 2 * STEP_MS});
    const value = await row(3).locator('.analog-value').textContent();
    assert.ok(/^\d+$/.test(value) && Number(value) <= 1023, `analog value ${value}`);
    // The pins come on the page's event stream, not by requests of their own.
    assert.deepEqual(requests.slice(before).filter((url) => url.includes('/api/gpio')), []);
    // The statistics plot gains a point a second while Live is on.
    await page.waitForFunction(() => Number(document.querySelector('#load-plot').dataset.points) >= 3,
      null, {timeout: 2 * STEP_MS});
    assert.equal(await page.locator('#stack-bars .stack').count(), 2);
    await page.screenshot({path: path.join(SHOTS, 'gpio-page.png')});
    assert.match(await page.evaluate(() => window.tessaroEvents.url), /topics=[^&]*pins.*&analog=3,4/);
    await page.locator('label.live-switch').click();
    await page.waitForFunction(() => !/pins|systat/.test(window.tessaroEvents.url));
  });

  await t.test('the help page carries the console help word for word', async () => {
    const help = await context.newPage();
    assert.equal((await load(help, `${base}/help`)).status(), 200);
    assert.equal(help.url(), `${base}/help/`);
    // It fits a wide screen and a phone without sideways scrolling.
    for (const width of [1280, 390]) {
      await help.setViewportSize({width, height: 800});
      const overflow = await help.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `the help page is ${overflow} px too wide at ${width} px`);
      const button = await help.locator('.top nav a').boundingBox();
      assert.ok(button.height < 40, `the header button wraps at ${width} px`);
    }
    assert.equal(await help.locator('a[href="/api/openapi.json"]').count(), 1);
    for (const mode of ['Client', 'Server']) {
      const shown = await help.locator(`#printed-${mode.toLowerCase()}`).textContent();
      const lines = [...consoleHelp('kGeneralHelp'), ...consoleHelp(`k${mode}Help`)];
      assert.equal(shown.trim(), lines.join('\n').trim(), mode);
    }
    await help.close();
  });

  await t.test('a board that goes away is waited for; a write meanwhile fails and is shown so', async () => {
    await stopProgram(sim);
    const gone = Date.now();
    await page.locator('#connection[data-state="waiting"]').waitFor();
    assert.ok(Date.now() - gone < 2500, `waiting shown after ${Date.now() - gone} ms`);
    await lamp('user', 'unknown');
    await expectOutage('waiting', /Waiting for the board on .*quirn_browser_/, 'gpio-page-board-gone.png');
    // The switch goes back to the level last written, and the row's values
    // are marked as no longer current.
    await row(2).locator('label:has(input.write)').click();
    await expectMessage(2, 'Write: Board not connected (503)');
    assert.equal(await row(2).locator('input.write').isChecked(), true);
    assert.match(await row(2).getAttribute('class'), /\bfailed\b/);
  });

  await t.test('a board that comes back is a new session: the pins are marked unknown', async () => {
    await startSim();
    await page.locator('#connection[data-state="connected"]').waitFor();
    await expectMessage(2, 'unknown since the board reconnected');
    assert.equal(await row(2).locator('select.mode').inputValue(), '');
    assert.equal(await row(2).locator('input.write').isChecked(), false);
    assert.equal(await row(2).locator('.digital-value').textContent(), '–');
  });

  await t.test('a server that has stopped is reported as unreachable', async () => {
    tessaro.child.stdin.write('di\n');
    await waitForOutput(tessaro, '[Tessaro] Webserver quit.', 'web server stop');
    await expectOutage('unreachable', /server is unreachable/, 'gpio-page-server-gone.png');
  });

  assert.deepEqual(pageErrors, []);
});
