// qm25d's web panel in a real browser, Debian's chromium headless, driven by
// npm's puppeteer-core on a phone-sized window: the password asked once,
// power on seen going count-down then on, volume up held repeating on the
// line (the simulator's trace) and stopping at the release, the lost line
// shown when the simulator goes. Then the whole panel at /panel against the
// window's own controls (WINDOW, written by test_window): their places and
// Tab order, a click, the display lines, a held cursor key after D.Zoom, the
// command line, and a browser killed while it holds a button. Screenshots
// into SHOTS.
//   node web_panel.js NODE_MODULES QM25D QM25_SIM SHOTS WINDOW
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [modules, qm25d, sim, shots, windowDump] = process.argv.slice(2);
const puppeteer = require(path.resolve(modules, 'puppeteer-core'));
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qm25-web-'));
const children = [];
let passed = 0;
let failed = 0;

function check(what, ok, detail) {
  if (ok) passed++;
  else failed++, console.log(`FAIL: ${what}${detail === undefined ? '' : `: ${JSON.stringify(detail)}`}`);
}

// Starts a program; resolves with what the pattern finds in its output.
function start(program, args, pattern, stream) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  let seen = '';
  child.said = () => seen.slice(-4000);  // for the report of a failed run
  child.on('exit', (code, signal) => (seen += `[${path.basename(program)} ended: ${signal || code}]\n`));
  return new Promise((resolve, reject) => {
    setTimeout(() => reject(new Error(`${program} said: ${seen}`)), 15000);
    child[stream].on('data', (chunk) => (seen += chunk) && pattern.test(seen) && resolve(pattern.exec(seen)[1]));
  });
}

// The frames the simulator received with this code.
const frames = (code) => (fs.readFileSync(path.join(dir, 'trace'), 'utf8').match(new RegExp(`\\bin +"${code}<CR>"`, 'g')) || []).length;
const text = (page, selector) => page.$eval(selector, (e) => e.textContent);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const launch = (profile) => puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  userDataDir: path.join(dir, profile),
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run'],
});
// Presses a control of the whole panel with the mouse, holds it, lets go.
async function hold(page, name, ms) {
  const box = await (await page.$(`[data-name=${name}]`)).boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await sleep(ms);
  await page.mouse.up();
}
const waitText = (page, selector, pattern) => page.waitForFunction(
  (s, p) => new RegExp(p).test(document.querySelector(s).textContent), { timeout: 15000 }, selector, pattern.source)
  .then(() => true, () => false);

async function main() {
  fs.writeFileSync(path.join(dir, 'password'), 'Room-101\n', { mode: 0o600 });
  fs.mkdirSync(shots, { recursive: true });
  const device = await start(sim, ['--warmup-ms', '3000', '--cooldown-ms', '1000', '--trace-file',
    path.join(dir, 'trace')], /QM25_COM1=(\S+)/, 'stdout');
  const port = await start(qm25d, ['--port', device, '--pjlink', '127.0.0.1:0', '--http', '127.0.0.1:0',
    '--password-file', path.join(dir, 'password')], /HTTP on 127\.0\.0\.1:(\d+)/, 'stderr');
  const browser = await launch('profile');
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 1, isMobile: true, hasTouch: true });
    await page.goto(`http://127.0.0.1:${port}/`);

    // The password, once: a wrong one is said so, the right one opens the panel.
    await page.waitForSelector('#password', { visible: true, timeout: 15000 });
    await page.type('#password', 'wrong');
    await page.keyboard.press('Enter');
    check('a wrong password is said so', await waitText(page, '#login-error', /Wrong password/));
    await page.type('#password', 'Room-101');
    await page.keyboard.press('Enter');
    check('the panel opens, the projector in stand-by', await waitText(page, '#power', /^Stand-by$/));
    check('the session cookie is HttpOnly and SameSite=Strict',
      (await page.cookies()).some((c) => c.name === 'qm25d_session' && c.httpOnly && c.sameSite === 'Strict'));
    check('the page cannot read the cookie', !(await page.evaluate(() => document.cookie)).includes('qm25d_session'));

    // Power on: the state goes count-down, then on.
    await page.evaluate(() => {
      window.powerSeen = [];
      new MutationObserver(() => window.powerSeen.push(document.getElementById('power').textContent))
        .observe(document.getElementById('power'), { childList: true, characterData: true, subtree: true });
    });
    await page.tap('button[data-command="power on"]');
    check('power on is acknowledged', await waitText(page, '#last', /^power on: done/), await text(page, '#last'));
    check('power comes on', await waitText(page, '#power', /^On$/), await text(page, '#power'));
    const seen = await page.evaluate(() => window.powerSeen);
    check('count-down, then on', seen.indexOf('Count-down') >= 0 && seen.indexOf('Count-down') < seen.indexOf('On'), seen);
    await page.screenshot({ path: path.join(shots, 'web-phone.png'), fullPage: true });

    // Volume up held down repeats on the line until it is let go; volume
    // down held by the keyboard (Space on the focused button) the same.
    const before = frames('C09');
    const volumeUp = await page.$('button[data-command="volume up"]');
    await volumeUp.scrollIntoView();
    const box = await volumeUp.boundingBox();
    await page.touchscreen.touchStart(box.x + box.width / 2, box.y + box.height / 2);
    await new Promise((r) => setTimeout(r, 1500));
    await page.touchscreen.touchEnd();
    await new Promise((r) => setTimeout(r, 400));
    const held = frames('C09') - before;
    check('volume up repeats while held', held >= 3, held);
    await new Promise((r) => setTimeout(r, 700));
    check('and stops when let go', frames('C09') - before === held, frames('C09') - before);
    await page.focus('button[data-command="volume down"]');
    await page.keyboard.down('Space');
    await new Promise((r) => setTimeout(r, 1000));
    await page.keyboard.up('Space');
    check('volume down repeats while Space is held', frames('C0A') >= 2, frames('C0A'));

    // Loaded again, the page keeps its session; the keyboard reaches the
    // buttons in the page's order, power first.
    await page.reload();
    check('the session lasts', await waitText(page, '#power', /^On$/));
    await page.keyboard.press('Tab');
    const first = await page.evaluate(() => document.activeElement.getAttribute('aria-label') || document.activeElement.outerHTML.slice(0, 80));
    check('the first control is power on', first === 'Power on', first);

    // A desktop-sized window.
    await page.setViewport({ width: 1280, height: 800 });
    await page.screenshot({ path: path.join(shots, 'web-desktop.png'), fullPage: true });

    // The whole panel at the window's size, 633 pixels wide: every control at
    // the window's place within 2 pixels (the port panel's choices belong to
    // qm25d's machine: in their place it says how the line is), Tab in the
    // window's order.
    const whole = await browser.newPage();
    await whole.setViewport({ width: 633, height: 700, deviceScaleFactor: 1 });
    await whole.goto(`http://127.0.0.1:${port}/panel`);
    check('the whole panel goes live', await waitText(whole, '#connection', /^Live$/));
    await whole.keyboard.down('Control');
    await whole.keyboard.press('KeyH');
    await whole.keyboard.up('Control');
    await whole.click('[data-name=Image1]', { count: 2 });
    await whole.click('[data-name=Command33]');
    const drawn = await whole.evaluate(() => {
      const form = document.getElementById('form').getBoundingClientRect();
      return Object.fromEntries([...document.querySelectorAll('[data-name]')].map((e) => {
        const r = e.getBoundingClientRect();
        return [e.dataset.name, [r.x - form.x, r.y - form.y, r.width, r.height]];
      }));
    });
    const win = JSON.parse(fs.readFileSync(windowDump, 'utf8'));
    const names = Object.keys(win.rects);
    const missing = names.filter((n) => !drawn[n]).sort().join();
    check('every control but the port choices is drawn', missing === 'Frame13,Option1,Option10,Option2,Option9', missing);
    const off = names.filter((n) => drawn[n] && drawn[n].some((v, i) => Math.abs(v - win.rects[n][i]) > 2));
    check('each at its place in the window, within 2 pixels', !off.length, off.map((n) => [n, drawn[n], win.rects[n]]));
    await whole.focus('[data-name=Command17]');
    const order = [];
    for (let i = 0; i < win.tab.length; i++) {
      order.push(await whole.evaluate(() => document.activeElement.dataset.name));
      await whole.keyboard.press('Tab');
    }
    check('Tab goes as in the window', order.join() === win.tab.join(), order);

    // SETTING: its frame on the line, and the display lines as the window shows them.
    await whole.click('[data-name=Command47]');
    check('TXD shows the frame', await waitText(whole, '[data-name=Label11]', /^ C R 4 CR $/));
    check('RXD the reply', await waitText(whole, '[data-name=Label12]', /^ 1 1 CR $/));
    check('STATUS what it says', await waitText(whole, '[data-name=Label22]', /^ Normally$/));
    await whole.screenshot({ path: path.join(shots, 'web-whole.png') });
    check('the frame went out', frames('CR4') === 1, frames('CR4'));
    // The command line: a typed code goes out as typed (once the reply
    // time-out has emptied the receive buffer: RXD would show both).
    await sleep(600);
    await whole.type('[data-name=Text1]', 'CR9');
    await whole.click('[data-name=Command95]');
    check('a typed code goes out', await waitText(whole, '[data-name=Label22]', /^ Q M 2 5 /) && frames('CR9') === 1,
      [await text(whole, '[data-name=Label11]'), await text(whole, '[data-name=Label22]'), frames('CR9')]);

    // ↑ held after a D.Zoom release repeats every 5 ms while held, and stops
    // at the release but for the frames on their way.
    await hold(whole, 'Command48', 50);
    const up = frames('C3C');
    await hold(whole, 'Command5', 1000);
    const whileHeld = frames('C3C') - up;
    check('↑ repeats fast while held', whileHeld >= 50 && whileHeld <= 220, whileHeld);
    check('kept alive by the page', await text(whole, '#connection') === 'Live', await text(whole, '#connection'));
    await sleep(300);
    const afterRelease = frames('C3C') - up;
    check('and stops at the release', afterRelease - whileHeld <= 4, afterRelease - whileHeld);
    await sleep(300);
    check('for good', frames('C3C') - up === afterRelease, frames('C3C') - up);

    // A browser killed while it holds ↑: the repeat stops at once.
    const lost = await launch('lost');
    const gone = await lost.newPage();
    await gone.setViewport({ width: 633, height: 700 });
    await gone.goto(`http://127.0.0.1:${port}/panel`);
    await gone.waitForSelector('#password', { visible: true, timeout: 15000 });
    await gone.type('#password', 'Room-101');
    await gone.keyboard.press('Enter');
    check('a second browser goes live', await waitText(gone, '#connection', /^Live$/));
    await hold(gone, 'Command48', 50);
    const arrow = await (await gone.$('[data-name=Command5]')).boundingBox();
    await gone.mouse.move(arrow.x + 5, arrow.y + 5);
    await gone.mouse.down();
    await sleep(500);
    const atKill = frames('C3C');
    process.kill(-lost.process().pid, 'SIGKILL');  // all its processes at once
    await sleep(500);
    const stoppedAt = frames('C3C');
    await sleep(500);
    check('it repeated while held', atKill - afterRelease - up >= 20, atKill - afterRelease - up);
    // (The browser's processes take some tens of milliseconds to go, and
    // their connection with them.)
    check('the repeat stops when the browser is killed', stoppedAt - atKill <= 40 && frames('C3C') === stoppedAt,
      [stoppedAt - atKill, frames('C3C') - stoppedAt]);

    await whole.close();
    await page.bringToFront();

    // The simulator goes: the line is shown lost.
    await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true });
    children[0].kill();
    check('the lost line is shown', await waitText(page, '#line', /^Line lost/), await text(page, '#line'));
    await page.screenshot({ path: path.join(shots, 'web-phone-line-lost.png') });
  } finally {
    await browser.close();
  }
}

main()
  .catch((e) => {
    failed++;
    console.log(`FAIL: ${e.stack || e}`);
  })
  .finally(async () => {
    const ends = await Promise.all(children.map((c) => new Promise((r) => (c.exitCode !== null ? r(c.exitCode)
      : (c.on('exit', (code) => r(code)), c.kill())))));
    check('qm25d ends cleanly when stopped', ends[1] === 0, ends[1]);
    if (failed && children[1])
      console.log(`qm25d's log:\n${children[1].said()}`);
    fs.rmSync(dir, { recursive: true, force: true });
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed ? 1 : 0);
  });
