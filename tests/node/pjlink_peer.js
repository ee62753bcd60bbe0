// qm25d driven by a PJLink client written elsewhere, the npm package pjlink:
// power, input, mute, lamp and error status against the simulator, without
// a password and with one, right and wrong.
//   node pjlink_peer.js QM25D QM25_SIM NODE_MODULES
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [qm25d, sim, modules] = process.argv.slice(2);
const PJLink = require(path.resolve(modules, 'pjlink'));

let passed = 0;
let failed = 0;
const children = [];

function check(what, actual, expected) {
  const a = JSON.stringify(actual);
  const e = JSON.stringify(expected);
  if (a === e) {
    passed++;
  } else {
    failed++;
    console.log(`FAIL: ${what}: got ${a}, expected ${e}`);
  }
}

// Starts a program and waits, bounded, for the line that says what it serves.
function start(program, args, pattern, stream) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    children.push(child);
    let seen = '';
    const timer = setTimeout(() => reject(new Error(`${program} said: ${seen}`)), 15000);
    child[stream].on('data', (chunk) => {
      seen += chunk;
      const m = pattern.exec(seen);
      if (m) {
        clearTimeout(timer);
        resolve(m[1]);
      }
    });
  });
}

// One call of the client: [error message or null, value].
function call(client, name, ...args) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(['no answer', undefined]), 10000);
    client[name](...args, (err, value) => {
      clearTimeout(timer);
      resolve([err ? err.message : null, value]);
    });
  });
}

// Asks until the value is `expected` (the projector changes by itself).
async function becomes(client, name, expected) {
  let last;
  for (let i = 0; i < 100; i++) {
    last = await call(client, name);
    if (JSON.stringify(last[1]) === JSON.stringify(expected)) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  return last[1];
}

async function gateway(simArgs, gatewayArgs) {
  const device = await start(sim, simArgs, /QM25_COM1=(\S+)/, 'stdout');
  const port = await start(qm25d, ['--port', device, '--pjlink', '127.0.0.1:0', ...gatewayArgs],
    /PJLink on 127\.0\.0\.1:(\d+)/, 'stderr');
  return Number(port);
}

async function main() {
  const open = await gateway(['--warmup-ms', '1000', '--cooldown-ms', '1000'], ['--name', 'Room-7']);
  const p = new PJLink('127.0.0.1', open);
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
  check('maker', await call(p, 'getManufacturer'), [null, 'RUNO']);
  check('product', await call(p, 'getModel'), [null, 'QM25']);
  check('class', await call(p, 'getClass'), [null, '1']);
  check('power off', await call(p, 'powerOff'), [null, undefined]);
  check('cooling', await call(p, 'getPowerState'), [null, 2]);

  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qm25-pjlink-'));
  const file = path.join(dir, 'password');
  fs.writeFileSync(file, 'Pr0jector\n', { mode: 0o600 });
  const locked = await gateway(['--warmup-ms', '300', '--lamp-fails'], ['--password-file', file]);
  check('wrong password', (await call(new PJLink('127.0.0.1', locked, 'pr0jector'), 'getPowerState'))[0],
    'Authorization failed');
  check('no password', (await call(new PJLink('127.0.0.1', locked), 'getPowerState'))[0], 'Authorization failed');
  const q = new PJLink('127.0.0.1', locked, 'Pr0jector');
  check('power on with the password', await call(q, 'powerOn'), [null, undefined]);
  const errors = { fan: false, lamp: 'error', temperature: false, cover: false, filter: false, other: false };
  check('the lamp did not strike', await becomes(q, 'getErrors', errors), errors);
  check('power fail', (await call(q, 'getPowerState'))[0], 'Projector/Display failure');
  check('lamp not lit', await call(q, 'getLamps'), [null, [{ hours: 0, on: false }]]);
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
