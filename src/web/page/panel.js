// The web panel: buttons that post the catalogue's commands to qm25d, and
// the status it pushes over a WebSocket whenever it changes.
'use strict';

const $ = (id) => document.getElementById(id);
const powerWords = { standby: 'Stand-by', 'count-down': 'Count-down', on: 'On', cooling: 'Cooling', fail: 'Failure' };
let live = null;
let retry = null;

function showLogin(message) {
  if (live) live.close();
  $('panel').hidden = true;
  $('login').hidden = false;
  $('connection').textContent = 'Password needed';
  $('login-error').textContent = message || '';
  $('password').focus();
}

function showPanel() {
  $('login').hidden = true;
  $('panel').hidden = false;
}

function describe(outcome) {
  if (!outcome) return 'none yet';
  const words = { ok: 'done', 'not-accepted': 'not accepted', 'no-reply': 'no reply', 'port-error': 'line lost',
    'not-reached': 'not reached' };
  let text = `${outcome.name}: ${words[outcome.outcome] || outcome.outcome}`;
  if (outcome.outcome === 'not-accepted') text += ` (reply ${outcome.rendered.trim()})`;
  else if (outcome.decoded) text += ` (${outcome.decoded.trim()})`;
  return text;
}

function render(snapshot) {
  const s = snapshot.status || {};
  const power = s.power;
  $('power').textContent = power ? powerWords[power.state] || power.state : '–';
  $('power').dataset.state = power ? power.state : '';
  $('input-now').textContent = s.input ? s.input.name : '–';
  $('lamp').textContent = s['lamp time'] ? `${s['lamp time'].hours} h` : '–';
  $('temperatures').textContent = s.temperatures
    ? s.temperatures.celsius.map((c) => c.toFixed(1)).join(' / ') + ' °C' : '–';
  const mute = s.mute;
  if (!mute || mute.state === 'standby') {
    $('mute-now').textContent = '–';
    $('signal').textContent = '–';
  } else {
    $('mute-now').textContent = mute.audio_mute === null ? '–'
      : `sound ${mute.audio_mute ? 'muted' : 'on'}, ${mute.video_mute ? 'no show' : 'picture shown'}`;
    $('signal').textContent = mute.signal ? 'present' : 'no signal';
  }
  const down = snapshot.line === 'down';
  $('line').textContent = down ? `Line lost: ${snapshot.line_error || 'the projector cannot be reached'}` : '';
  if (!down && snapshot.outcome === 'no-reply') $('line').textContent = 'The projector does not reply';
  if (snapshot.last) $('last').textContent = describe(snapshot.last);
}

function connect() {
  clearTimeout(retry);
  $('connection').textContent = 'Connecting…';
  live = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/api/live`);
  live.onopen = () => { $('connection').textContent = 'Live'; };
  live.onmessage = (event) => render(JSON.parse(event.data));
  live.onclose = () => {
    live = null;
    if (!$('panel').hidden) {
      $('connection').textContent = 'Connection to qm25d lost: trying again';
      retry = setTimeout(start, 2000);
    }
  };
}

// Reads the status once; a 401 asks for the password, anything else shows
// the panel and goes live.
async function start() {
  let response;
  try {
    response = await fetch('/api/status', { credentials: 'same-origin' });
  } catch (e) {
    $('connection').textContent = 'qm25d cannot be reached: trying again';
    retry = setTimeout(start, 2000);
    return;
  }
  if (response.status === 401) {
    showLogin();
    return;
  }
  showPanel();
  try { render(await response.json()); } catch (e) { /* a reply without a body */ }
  connect();
}

async function post(path, body) {
  const init = { method: 'POST', credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  return fetch(path, init);
}

async function send(name) {
  let response;
  try {
    response = await post(`/api/commands/${encodeURIComponent(name)}`);
  } catch (e) {
    $('last').textContent = `${name}: qm25d cannot be reached`;
    return;
  }
  if (response.status === 401) {
    showLogin('Log in again');
    return;
  }
  const outcome = await response.json().catch(() => null);
  $('last').textContent = outcome && outcome.outcome ? describe(outcome) : `${name}: ${outcome ? outcome.error : response.status}`;
}

// A button with a repeat period sends its command while it is held, once at
// the press and then every period, as the panel's adjusters do; a send that
// has not been answered yet is not doubled.
function holdable(button) {
  const period = Number(button.dataset.repeatMs);
  let timer = null;
  let busy = false;
  let pressed = false;
  const once = async () => {
    if (busy) return;
    busy = true;
    try { await send(button.dataset.command); } finally { busy = false; }
  };
  const press = (event) => {
    if (timer) return;
    if (event) event.preventDefault();
    pressed = true;
    button.classList.add('held');
    once();
    timer = setInterval(once, period);
  };
  const release = () => {
    clearInterval(timer);
    timer = null;
    button.classList.remove('held');
  };
  button.addEventListener('pointerdown', (e) => { if (e.button === 0) { button.setPointerCapture(e.pointerId); press(e); } });
  button.addEventListener('pointerup', release);
  button.addEventListener('pointercancel', release);
  button.addEventListener('lostpointercapture', release);
  button.addEventListener('blur', release);
  button.addEventListener('keydown', (e) => { if ((e.key === ' ' || e.key === 'Enter') && !e.repeat) press(e); });
  button.addEventListener('keyup', (e) => { if (e.key === ' ' || e.key === 'Enter') release(); });
  button.addEventListener('contextmenu', (e) => e.preventDefault());
  // A click without a press before it (a screen reader's) sends once.
  button.addEventListener('click', () => {
    if (!pressed) once();
    pressed = false;
  });
}

document.addEventListener('DOMContentLoaded', () => {
  for (const button of document.querySelectorAll('button[data-command]')) {
    if (button.dataset.repeatMs) holdable(button);
    else button.addEventListener('click', () => send(button.dataset.command));
  }
  $('login').addEventListener('submit', async (event) => {
    event.preventDefault();
    const response = await post('/api/login', { password: $('password').value }).catch(() => null);
    $('password').value = '';
    if (response && response.status === 204) start();
    else showLogin(response && response.status === 429 ? 'Too many wrong passwords: wait a minute' : 'Wrong password');
  });
  $('logout').addEventListener('submit', async (event) => {
    event.preventDefault();
    await post('/api/logout').catch(() => null);
    showLogin();
  });
  start();
});
