// qm25d driven by a PJLink client written elsewhere, the npm package pjlink:
// power, input, mute, lamp and error status against the simulator, without
// a password and with one, right and wrong.
//   node pjlink_peer.js NODE_MODULES QM25D QM25_SIM
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [modules, qm25d, sim] = process.argv.slice(2);
const PJLink = require(path.resolve(modules, 'pjlink'));
const children = [];
let passed = 0;
let failed = 0;

function check(what, actual, expected) {
  const [a, e] = [JSON.stringify(actual), JSON.stringify(expected)];
  if (a === e) passed++;
  else failed++, console.log(`FAIL: ${what}: got ${a}, expected ${e}`);
}

// Starts a program; resolves with what the pattern finds in its output.
function start(program, args, pattern, stream) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(child);
  let seen = '';
  return new Promise((resolve, reject) => {
    setTimeout(() => reject(new Error(`${program} said: ${seen}`)), 15000);
    child.on('exit', () => reject(new Error(`${program} ended: ${seen}`)));
    child[stream].on('data', (chunk) => (seen += chunk) && pattern.test(seen) && resolve(pattern.exec(seen)[1]));
  });
}

async function gateway(simArgs, gatewayArgs) {
  const device = await start(sim, simArgs, /QM25_COM1=(\S+)/, 'stdout');
  const args = ['--port', device, '--pjlink', '127.0.0.1:0', ...gatewayArgs];
  return Number(await start(qm25d, args, /PJLink on 127\.0\.0\.1:(\d+)/, 'stderr'));
}

// One call of the client: [error message or null, value].
const call = (client, name, ...args) => new Promise((resolve) => {
  const timer = setTimeout(() => resolve(['no answer']), 10000);
  client[name](...args, (err, value) => clearTimeout(timer) || resolve([err ? err.message : null, value]));
});

// Asks until the value is `expected`, as the projector changes by itself.
async function becomes(client, name, expected) {
  for (let i = 0; i < 100; i++) {
    const [, value] = await call(client, name);
    if (JSON.stringify(value) === JSON.stringify(expected) || i === 99) return value;
    await new Promise((r) => setTimeout(r, 100));
  }
}

async function main() {
  const p = new PJLink('127.0.0.1', await gateway(['--warmup-ms', '1000'], ['--name', 'Room-7']));
  check('power in stand-by', await call(p, 'getPowerState'), [null, 0]);
  check('mute in stand-by', (await call(p, 'getMute'))[0], 'Unavailable time');
  check('power on', await call(p, 'powerOn'), [null, undefined]);
  check('warmed up', await becomes(p, 'getPowerState', 1), 1);
  check('input RGB 2', await call(p, 'setInput', { source: 'rgb', channel: 2 }), [null, undefined]);
  check('input read', (await call(p, 'getInput'))[1].code, '12');
  check('no such input', (await call(p, 'setInput', { source: 'digital', channel: 1 }))[0], 'Out of parameter');
  check('inputs', (await call(p, 'getInputs'))[1].map((i) => i.code), ['11', '12', '21']);
  check('video mute', await call(p, 'setMute', true), [null, undefined]);
  check('mute read', await call(p, 'getMute'), [null, { audio: false, video: true }]);
  check('lamp', await call(p, 'getLamps'), [null, [{ hours: 0, on: true }]]);
  check('no errors', await call(p, 'getErrors'), [null, null]);
  check('name', await call(p, 'getName'), [null, 'Room-7']);

  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qm25-pjlink-'));
  fs.writeFileSync(path.join(dir, 'password'), 'Pr0jector\n', { mode: 0o600 });
  const locked = await gateway(['--warmup-ms', '300', '--lamp-fails'], ['--password-file', path.join(dir, 'password')]);
  for (const wrong of ['pr0jector', undefined])
    check(`password ${wrong}`, (await call(new PJLink('127.0.0.1', locked, wrong), 'getPowerState'))[0], 'Authorization failed');
  const q = new PJLink('127.0.0.1', locked, 'Pr0jector');
  check('power on with the password', await call(q, 'powerOn'), [null, undefined]);
  const errors = { fan: false, lamp: 'error', temperature: false, cover: false, filter: false, other: false };
  check('the lamp did not strike', await becomes(q, 'getErrors', errors), errors);
  check('power fail', (await call(q, 'getPowerState'))[0], 'Projector/Display failure');
  fs.rmSync(dir, { recursive: true });
}

main()
  .catch((e) => {
    failed++;
    console.log(`FAIL: ${e.message}`);
  })
  .finally(async () => {
    await Promise.all(children.map((c) => new Promise((r) => (c.exitCode !== null ? r() : (c.on('exit', r), c.kill())))));
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed ? 1 : 0);
  });
