// The whole panel: the controls of the layout table (GET /api/layout) drawn
// at their places, scaled to the page's width, with their captions, colours,
// faces, tab order and spoken names. What is done to them goes to qm25d on
// the WebSocket /api/panel, where the window's own engine runs it; the
// display lines show what it sends back.
'use strict';

const $ = (id) => document.getElementById(id);
// The design's faces first, then what other systems have in their stead.
const faces = {
  gothic: '"ＭＳ ゴシック", "MS Gothic", "IPAGothic", "Osaka-Mono", "Noto Sans Mono CJK JP", monospace',
  pgothic: '"ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic", "Hiragino Kaku Gothic ProN", "Osaka", "Noto Sans CJK JP", sans-serif',
};
const systemColours = { 'button-face': 'ButtonFace', window: 'Field' };
const displayLines = { txd: 'Label11', rxd: 'Label12', status: 'Label22' };

let layout = null;
let socket = null;
let retry = null;
let aliveMs = 250;
let ended = false;
const controls = new Map();  // name: element
const view = { height: 0, offered: false };  // outer height in twips; Ctrl+H offers the whole window
let held = null;  // { button, command } while a button is held
let alive = null;
let portTimer = null;
let line = { state: 'down', detail: '' };

function say(text) { $('connection').textContent = text; }
function tell(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

// --- drawing ------------------------------------------------------------------

const twips = (n) => `calc(var(--k) * ${n}px)`;
function place(e, left, top, width, height) {
  Object.assign(e.style, { left: twips(left), top: twips(top), width: twips(width), height: twips(height) });
}
function scale() {
  const form = $('form');
  form.style.setProperty('--k', String(document.documentElement.clientWidth / layout.width));
}
function within(c, frame) {
  for (let p = c.parent; p; p = layout.byName[p].parent) if (p === frame) return true;
  return false;
}

function element(c) {
  let e;
  if (c.kind === 'button') {
    e = document.createElement('button');
    e.type = 'button';
    e.textContent = c.caption;
  } else if (c.kind === 'textbox') {
    e = document.createElement('input');
    Object.assign(e, { type: 'text', spellcheck: false, autocomplete: 'off' });
    e.setAttribute('autocapitalize', 'off');
  } else if (c.kind === 'image') {
    e = document.createElement('img');
    Object.assign(e, { src: '/image1.bmp', alt: c.spoken, draggable: false });
  } else {
    e = document.createElement('div');
    e.textContent = c.caption;
    if (c.kind === 'frame') e.setAttribute('role', 'group');
  }
  e.className = `c ${c.kind}`;
  e.dataset.name = c.name;
  place(e, c.left, c.top, c.width, c.height);
  if (c.colour) e.style.background = systemColours[c.colour] || c.colour;
  if (c.textColour) e.style.color = c.textColour;
  if (c.face) {
    e.style.fontFamily = faces[c.face];
    e.style.fontSize = twips(c.pixels * layout.twipsPerPixel);
    e.style.fontWeight = c.bold ? '700' : '400';
  }
  if (c.kind === 'label') e.style.textAlign = c.align;
  if (c.border) e.classList.add('sunken');
  e.hidden = c.hidden;
  if (c.kind === 'button' || c.kind === 'textbox') e.tabIndex = c.tab + 1;
  if (c.kind !== 'image' && c.spoken !== c.caption) e.setAttribute('aria-label', c.spoken);
  if (c.kind === 'label' && c.spoken !== c.caption) e.setAttribute('role', 'note');
  return e;
}

// Creation order: a frame before what lies in it, a control drawn above
// those made before it. The port panel's choices belong to the machine
// qm25d runs on: in their place the port panel says how the line is.
function build() {
  const form = $('form');
  form.replaceChildren();
  controls.clear();
  layout.byName = Object.fromEntries(layout.controls.map((c) => [c.name, c]));
  for (const l of layout.lines) {
    const e = document.createElement('div');
    e.className = 'line';
    const half = layout.lineWidth * layout.twipsPerPixel / 2;
    place(e, Math.min(l.x1, l.x2) - (l.x1 === l.x2 ? half : 0), Math.min(l.y1, l.y2) - (l.y1 === l.y2 ? half : 0),
      Math.abs(l.x2 - l.x1) || 2 * half, Math.abs(l.y2 - l.y1) || 2 * half);
    form.append(e);
  }
  for (const c of layout.controls) {
    if (within(c, 'Frame8')) continue;
    const e = element(c);
    controls.set(c.name, e);
    (c.parent ? controls.get(c.parent) : form).append(e);
    if (c.command) bind(e, c);
  }
  const note = document.createElement('p');
  note.className = 'port-note';
  note.id = 'port-note';
  controls.get('Frame8').append(note);
  controls.get('Frame8').setAttribute('aria-label', 'The line to the projector');

  controls.get('Command16').addEventListener('click', end);
  controls.get('Command33').addEventListener('click', showPortPanel);
  controls.get('Command34').addEventListener('click', toggleData);
  controls.get('Image1').addEventListener('dblclick', openFull);
  controls.get('Command95').addEventListener('click', () => tell({ send: controls.get('Text1').value }));
  controls.get('Command96').addEventListener('click', () => { controls.get('Text1').value = ''; });
  controls.get('Command16').setAttribute('aria-label', 'End this panel session');
  showLine();
  setHeight(layout.heights.start);
  scale();
  form.hidden = false;
  controls.get('Command17').focus();
}

function bind(e, c) {
  if (c.repeat === 'none') {
    e.addEventListener('click', () => tell({ click: c.command }));
    return;
  }
  // Held: a press with any mouse button, a finger or a pen starts the repeat
  // at qm25d, the release stops it; from the keyboard it does nothing, as in
  // the window.
  e.classList.add('holds');
  e.addEventListener('pointerdown', (event) => {
    event.preventDefault();
    if (held) return;
    e.setPointerCapture(event.pointerId);
    press(e, c.command);
  });
  for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) {
    e.addEventListener(type, () => { if (held && held.button === e) release(); });
  }
  e.addEventListener('contextmenu', (event) => event.preventDefault());
}

function press(button, command) {
  held = { button, command };
  button.classList.add('down');
  tell({ press: command });
  alive = setInterval(() => tell({ alive: true }), aliveMs);
}

function release() {
  clearInterval(alive);
  tell({ release: held.command });
  held.button.classList.remove('down');
  held = null;
}

// --- heights, the port panel and END ---------------------------------------------

function setHeight(height) {
  view.height = height;
  $('form').style.height = twips(height);
}

function dataButton(caption) {
  const b = controls.get('Command34');
  b.textContent = caption;
  b.hidden = false;
}

function ctrlH() {
  setHeight(layout.heights.panel);
  view.offered = true;
  dataButton(layout.dataCaptions.close);
}

function openFull() {
  if (!view.offered) return;
  setHeight(layout.heights.full);
  dataButton(layout.dataCaptions.close);
}

function toggleData() {
  view.offered = false;
  const tall = view.height >= layout.heights.tall;
  setHeight(tall ? layout.heights.start : layout.heights.data);
  dataButton(tall ? layout.dataCaptions.show : layout.dataCaptions.hide);
  // The port panel's count-down starts again.
  clearTimeout(portTimer);
  portTimer = setTimeout(hidePortPanel, 5000);
}

function showPortPanel() {
  controls.get('Frame8').hidden = false;
  clearTimeout(portTimer);
  portTimer = setTimeout(hidePortPanel, 5000);
}
function hidePortPanel() { controls.get('Frame8').hidden = true; }

function showLine() {
  const com = controls.get('Command33');
  if (!com) return;
  const up = line.state === 'up';
  com.textContent = up ? 'Line: up' : 'Line: down';
  com.setAttribute('aria-label', `The line to the projector: ${up ? 'up' : 'down'}`);
  const note = `${up ? 'The line is up.' : `The line is down${line.detail ? `: ${line.detail}` : '.'}`}
qm25d holds the port: its device and speed are chosen where qm25d runs.`;
  $('port-note').textContent = note;
  com.title = note;
}

function end() {
  ended = true;
  if (held) release();
  tell({ end: true });
}

// --- qm25d ----------------------------------------------------------------------

function hear(m) {
  for (const [key, name] of Object.entries(displayLines)) {
    if (key in m) controls.get(name).textContent = m[key];
  }
  if ('alive_ms' in m) aliveMs = m.alive_ms;
  if ('line' in m) {
    line = { state: m.line, detail: m.why || '' };
    showLine();
  }
  if ('stopped' in m) {
    clearInterval(alive);
    say(`Repeat stopped: ${m.stopped}`);
  }
  if ('refused' in m) say(`Not taken: ${m.refused}`);
}

function connect() {
  clearTimeout(retry);
  socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/api/panel`);
  socket.onopen = () => say('Live');
  socket.onmessage = (event) => hear(JSON.parse(event.data));
  socket.onclose = (event) => {
    socket = null;
    if (held) {
      clearInterval(alive);
      held.button.classList.remove('down');
      held = null;
    }
    if (ended) {
      $('form').hidden = true;
      $('ended').hidden = false;
      say('Ended');
    } else if (event.reason === 'log in again') {
      showLogin('Log in again');
    } else {
      say(`Connection to qm25d lost${event.reason ? `: ${event.reason}` : ''}: trying again`);
      retry = setTimeout(start, 2000);
    }
  };
}

function showLogin(message) {
  $('form').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = message || '';
  say('Password needed');
  $('password').focus();
}

// The layout, once; a 401 asks for the password. Then the panel's connection.
async function start() {
  clearTimeout(retry);
  let response;
  try {
    response = await fetch('/api/layout', { credentials: 'same-origin' });
  } catch (e) {
    say('qm25d cannot be reached: trying again');
    retry = setTimeout(start, 2000);
    return;
  }
  if (response.status === 401) {
    showLogin();
    return;
  }
  if (!layout) {
    layout = await response.json();
    build();
  }
  $('login').hidden = true;
  $('ended').hidden = true;
  $('form').hidden = false;
  for (const name of Object.values(displayLines)) controls.get(name).textContent = '';
  connect();
}

document.addEventListener('DOMContentLoaded', () => {
  // Ctrl alone with H, whichever control has the focus; the browser's own
  // use of the keys (its history) does not come up.
  document.addEventListener('keydown', (event) => {
    if (layout && event.ctrlKey && !event.shiftKey && !event.altKey && event.code === 'KeyH') {
      event.preventDefault();
      ctrlH();
    }
  });
  $('data-key').addEventListener('click', () => layout && ctrlH());
  window.addEventListener('resize', () => layout && scale());
  $('login').addEventListener('submit', async (event) => {
    event.preventDefault();
    const response = await fetch('/api/login', {
      method: 'POST', credentials: 'same-origin', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ password: $('password').value }),
    }).catch(() => null);
    $('password').value = '';
    if (response && response.status === 204) start();
    else showLogin(response && response.status === 429 ? 'Too many wrong passwords: wait a minute' : 'Wrong password');
  });
  $('again').addEventListener('click', () => {
    ended = false;
    start();
  });
  start();
});
