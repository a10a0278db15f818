// The main list page of Ostrel. The native side drives it through its event
// stream (one JSON call per message, looked up in the fixed table `calls`);
// the page calls back through cef.archiver.*, POST requests of the same names.
// Every text from the native side is rendered with textContent, never as HTML.
'use strict';

const constant = {
  status: { CONNECTING: 0, ARCHIVING: 1, STOPPED: 2, FAILED: 3, NOT_ARCHIVABLE: 4 },
};
const STATUS_IMAGES = ['img/status_connecting.gif', 'img/status_archiving.png', 'img/status_stopped.png',
                       'img/status_failed.png', 'img/status_not_archivable.png'];
const SPEED_IMAGES = { 2: 'img/hdd_good.png', 1: 'img/hdd_bad.png', 0: 'img/hdd_error.png' };
const SELECTED_COLOUR = '#DFEBFF';
const UNSELECTED_COLOUR = '#FFFFFF';

// ---- the bridge to the native side ------------------------------------------------------

// Calls reach the native side in the order the page makes them (a right click
// selects before it asks for the menu).
let bridgeChain = Promise.resolve();
function postJSON(path, body) {
  const request = bridgeChain.then(() => fetch(path, {
    method: 'POST', credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  })).then(async (response) => {
    if (!response.ok) throw new Error(path + ': ' + response.status);
    return (await response.json()).result;
  });
  bridgeChain = request.catch(() => {});
  return request;
}
function native(name, args) { return postJSON('/archiver/' + name, { args: args }); }

const cef = {
  archiver: {
    selected: (handle) => native('selected', [handle]),
    contextmenu: (x, y) => native('contextmenu', [x, y]),
    launchInfo: () => native('launchInfo', []),
    newSchedule: () => native('newSchedule', []),
    startAll: () => native('startAll', []),
    stopAll: () => native('stopAll', []),
    storageManager: () => native('storageManager', []),
    log: () => native('log', []),
  },
};

// ---- toolbar -------------------------------------------------------------------------------

const TOOLBAR_ACTIONS = {
  wizard: () => cef.archiver.newSchedule(),
  start: () => cef.archiver.startAll(),
  stop: () => cef.archiver.stopAll(),
  storageManager: () => cef.archiver.storageManager(),
  log: () => cef.archiver.log(),
};

function toolbarItem(base) {
  return document.querySelector('#toolbar li.' + base + ', #toolbar li.' + base + '_disabled');
}
function enableToolbarItem(base, enable) {
  const li = toolbarItem(base);
  if (li) li.className = enable ? base : base + '_disabled';
}

const toolbar = {
  initialEnable(enable) {
    enableToolbarItem('wizard', enable);
    enableToolbarItem('log', enable);
  },
  enableScheduleControl(enable) {
    enableToolbarItem('start', enable);
    enableToolbarItem('stop', enable);
    enableToolbarItem('storageManager', enable);
  },
  reset() {
    toolbar.initialEnable(false);
    toolbar.enableScheduleControl(false);
  },
};

// ---- the list --------------------------------------------------------------------------------

function rows() { return Array.from(document.querySelectorAll('#contents tbody tr')); }
function findRow(handle) { return document.getElementById(String(handle)); }

function sizeText(mb) {
  return mb >= 1000 ? (Math.round(mb / 100) / 10) + ' GB' : mb + ' MB';
}

function fillRow(tr, handle, name, address, status, recordedSize, capacity, overwrite, speed, period) {
  const [indicator, nameCell, addressCell, statusCell] = tr.cells;
  const code = STATUS_IMAGES[status] !== undefined ? status : constant.status.STOPPED;
  indicator.setAttribute('status', String(code));
  indicator.style.backgroundImage = 'url(' + STATUS_IMAGES[code] + ')';
  nameCell.firstChild.textContent = name;
  addressCell.firstChild.textContent = address;
  const bar = statusCell.querySelector('p.usageBar');
  const width = capacity > 0 ? Math.min(123, Math.ceil(123 * recordedSize / capacity)) : 0;
  bar.style.width = width + 'px';
  bar.style.backgroundImage = 'url(' + (SPEED_IMAGES[speed] || SPEED_IMAGES[0]) + ')';
  statusCell.querySelector('span.usage').textContent = sizeText(recordedSize) + ' / ' + sizeText(capacity);
  const recycle = statusCell.querySelector('img.overwrite');
  recycle.src = overwrite ? 'img/hdd_recycle_on.png' : 'img/hdd_recycle_off.png';
  recycle.alt = overwrite ? 'overwrite on' : 'overwrite off';
  statusCell.querySelector('span.period').textContent = period;
}

function cell(className, colSpan) {
  const td = document.createElement('td');
  td.className = className;
  td.colSpan = colSpan;
  return td;
}

function buildRow(handle) {
  const tr = document.createElement('tr');
  tr.id = String(handle);
  const indicator = cell('indicator', 2);
  indicator.title = 'indicator ' + handle;
  const name = cell('name', 2);
  const nameText = document.createElement('div');
  nameText.className = 'ellipsis_name';
  name.appendChild(nameText);
  const address = cell('address', 2);
  const addressText = document.createElement('div');
  addressText.className = 'ellipsis_address';
  address.appendChild(addressText);
  const status = cell('status', 2);
  const statusBar = document.createElement('div');
  statusBar.className = 'statusBar';
  statusBar.title = 'statusBar ' + handle;
  const frame = document.createElement('div');
  frame.className = 'usageFrame';
  const bar = document.createElement('p');
  bar.className = 'usageBar';
  frame.appendChild(bar);
  const usage = document.createElement('span');
  usage.className = 'usage';
  const recycle = document.createElement('img');
  recycle.className = 'overwrite';
  const period = document.createElement('span');
  period.className = 'period';
  period.title = 'period ' + handle;
  statusBar.append(frame, usage, recycle, period);
  status.appendChild(statusBar);
  tr.append(indicator, name, address, status);
  tr.style.backgroundColor = UNSELECTED_COLOUR;
  return tr;
}

let selectedRow = null;
function selectRow(tr) {
  if (selectedRow && selectedRow !== tr) selectedRow.style.backgroundColor = UNSELECTED_COLOUR;
  selectedRow = tr;
  if (tr) {
    tr.style.backgroundColor = SELECTED_COLOUR;
    return cef.archiver.selected(tr.id);
  }
  return cef.archiver.selected(-1);
}

const schedule = {
  addSchedule(handle, name, address, status, recordedSize, capacity, overwrite, speed, period) {
    if (findRow(handle)) return;
    const tbody = document.querySelector('#contents tbody');
    const tr = buildRow(handle);
    fillRow(tr, handle, name, address, status, recordedSize, capacity, overwrite, speed, period);
    tbody.appendChild(tr);
    if (tbody.rows.length === 1) toolbar.enableScheduleControl(true);
  },
  updateSchedule(handle, name, address, status, recordedSize, capacity, overwrite, speed, period) {
    const tr = findRow(handle);
    if (tr) fillRow(tr, handle, name, address, status, recordedSize, capacity, overwrite, speed, period);
  },
  deleteSchedule(handle) {
    const tr = findRow(handle);
    if (!tr) return;
    if (tr === selectedRow) selectRow(null);
    tr.remove();
    if (rows().length === 0) toolbar.enableScheduleControl(false);
  },
  clear() {
    selectedRow = null;
    document.querySelector('#contents tbody').replaceChildren();
  },
};

// ---- sorting ----------------------------------------------------------------------------------

const sorting = { column: null, descending: false };
function sortKey(tr, column) {
  if (column === 'indicator') return Number(tr.cells[0].getAttribute('status'));
  const text = column === 'name' ? tr.cells[1].textContent : tr.cells[2].textContent;
  return text.toLowerCase();
}
function sortBy(column) {
  sorting.descending = sorting.column === column ? !sorting.descending : false;
  sorting.column = column;
  const sign = sorting.descending ? -1 : 1;
  const sorted = rows().map((tr) => [sortKey(tr, column), tr]).sort((a, b) =>
    (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0) * sign);
  const tbody = document.querySelector('#contents tbody');
  for (const [, tr] of sorted) tbody.appendChild(tr);
  for (const td of document.querySelectorAll('.visibleHeader td')) td.classList.remove('sorted_up', 'sorted_down');
  document.querySelector('.visibleHeader td.' + column).classList.add(sorting.descending ? 'sorted_down' : 'sorted_up');
}

// ---- column widths ----------------------------------------------------------------------------

const MIN_WIDTH = { indicator: 20, name: 100, address: 100, status: 290 };
const wanted = { name: 200, address: 200 };
const FIXED = 20 + 4 * 5 + 30;

function layoutColumns() {
  let name = wanted.name;
  let address = wanted.address;
  let status = window.innerWidth - name - address - FIXED;
  if (status < MIN_WIDTH.status) {
    let missing = MIN_WIDTH.status - status;
    const fromName = Math.min(missing, name - MIN_WIDTH.name);
    name -= fromName;
    missing -= fromName;
    address -= Math.min(missing, address - MIN_WIDTH.address);
    status = Math.max(MIN_WIDTH.status, window.innerWidth - name - address - FIXED);
  }
  const widths = { indicator: 20, name: name, address: address, status: status };
  for (const table of ['#header .visibleHeader', '#contents .hiddenHeader']) {
    for (const column of Object.keys(widths)) {
      document.querySelector(table + ' td.' + column).style.width = widths[column] + 'px';
    }
    for (const sep of document.querySelectorAll(table + ' td.seperator')) sep.style.width = '5px';
  }
  const total = 20 + name + address + status + 4 * 5;
  document.getElementById('header').style.width = total + 'px';
  document.getElementById('contents').style.width = total + 'px';
}

function startResize(column, event) {
  const start = event.clientX;
  const startWidth = wanted[column];
  const move = (e) => {
    const other = column === 'name' ? wanted.address : wanted.name;
    const most = Math.max(MIN_WIDTH[column], window.innerWidth - other - FIXED - MIN_WIDTH.status);
    wanted[column] = Math.min(most, Math.max(MIN_WIDTH[column], startWidth + e.clientX - start));
    layoutColumns();
  };
  const up = () => {
    window.removeEventListener('mousemove', move);
    window.removeEventListener('mouseup', up);
  };
  window.addEventListener('mousemove', move);
  window.addEventListener('mouseup', up);
}

// ---- tooltips ---------------------------------------------------------------------------------

const TOOLTIP_KEYWORD = /^(indicator|statusBar|period) -?\d+$/;
let tooltipTarget = null;
function showTooltip(target, event) {
  const keyword = target.getAttribute('title');
  target.dataset.keyword = keyword;
  target.removeAttribute('title'); // the page shows the native side's text instead
  tooltipTarget = target;
  const at = { x: event.clientX, y: event.clientY };
  fetch('/tooltip?title=' + encodeURIComponent(keyword), { credentials: 'same-origin' })
    .then((r) => (r.ok ? r.json() : null))
    .then((answer) => {
      if (!answer || tooltipTarget !== target || !answer.result) return;
      const tip = document.getElementById('tooltip');
      tip.textContent = answer.result;
      tip.style.left = Math.min(at.x + 12, window.innerWidth - 260) + 'px';
      tip.style.top = (at.y + 18) + 'px';
      tip.hidden = false;
    }).catch(() => {});
}
function hideTooltip() {
  if (tooltipTarget) {
    tooltipTarget.setAttribute('title', tooltipTarget.dataset.keyword);
    delete tooltipTarget.dataset.keyword;
    tooltipTarget = null;
  }
  document.getElementById('tooltip').hidden = true;
}

// ---- dialogs ------------------------------------------------------------------------------------

// Drawing functions of the dialogs by kind: draw(state, dialogApi) → element.
// A later script may add its own kinds here.
const dialogKinds = {};
const openDialogs = new Map(); // id → {kind, element, api}
let lastMenuPoint = null;

function dialogApi(id) {
  return {
    id: id,
    call: (fn, args) => postJSON('/dialog/' + id + '/' + fn, { args: args === undefined ? {} : args }),
    cancel: () => postJSON('/dialog/' + id + '/cancel', { args: {} }),
  };
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function dialogFrame(caption) {
  const overlay = element('div', 'overlay');
  const box = element('div', 'dialog');
  box.setAttribute('role', 'dialog');
  box.appendChild(element('div', 'caption', caption));
  overlay.appendChild(box);
  return { overlay, box };
}

dialogKinds.messageBox = (state, api) => {
  const { overlay, box } = dialogFrame(state.caption);
  box.classList.add('messageBox');
  const body = element('div', 'body');
  if (state.icon) {
    const icon = element('img', 'icon');
    icon.src = 'img/icon_' + state.icon + '.png';
    icon.alt = state.icon;
    body.appendChild(icon);
  }
  body.appendChild(element('div', 'text', state.text));
  box.appendChild(body);
  let check = null;
  if (state.checkBox) {
    const label = element('label', 'check');
    check = element('input');
    check.type = 'checkbox';
    check.checked = !!state.checkBox.checked;
    label.append(check, document.createTextNode(' ' + state.checkBox.text));
    box.appendChild(label);
  }
  const buttons = element('div', 'buttons');
  for (const b of state.buttons) {
    const button = element('button', '', b.text);
    button.type = 'button';
    button.dataset.answer = b.answer;
    button.addEventListener('click', () => api.call('answer', { button: b.answer, checked: check ? check.checked : false }));
    buttons.appendChild(button);
  }
  box.appendChild(buttons);
  setTimeout(() => { const first = buttons.querySelector('button'); if (first) first.focus(); }, 0);
  return overlay;
};

dialogKinds.menu = (state, api) => {
  const overlay = element('div', 'overlay transparent');
  const menu = element('ul', 'menu');
  menu.dataset.name = state.name;
  for (const item of state.items) {
    const li = element('li', (item.enabled ? 'enabled' : 'disabled') + (item.default ? ' default' : ''), item.text);
    li.dataset.command = item.command;
    if (item.enabled) li.addEventListener('mouseup', (e) => { e.stopPropagation(); api.call('choose', { command: item.command }); });
    menu.appendChild(li);
  }
  const point = lastMenuPoint || { x: state.x, y: state.y };
  lastMenuPoint = null;
  menu.style.left = Math.max(0, Math.min(point.x, window.innerWidth - 160)) + 'px';
  menu.style.top = Math.max(0, Math.min(point.y, window.innerHeight - 24 * state.items.length - 10)) + 'px';
  overlay.addEventListener('mousedown', (e) => { if (e.target === overlay) api.cancel(); });
  overlay.addEventListener('contextmenu', (e) => e.preventDefault());
  overlay.appendChild(menu);
  return overlay;
};

dialogKinds.progress = (state) => {
  const { overlay, box } = dialogFrame(state.title);
  box.classList.add('progress');
  const body = element('div', 'progressBody');
  body.appendChild(element('div', 'progressText', state.text));
  body.appendChild(element('div', 'progressCounter', state.counter));
  const bar = element('div', 'progressBar');
  const fill = element('div');
  fill.style.width = (state.total > 0 ? Math.round(100 * state.position / state.total) : 0) + '%';
  bar.appendChild(fill);
  body.appendChild(bar);
  box.appendChild(body);
  return overlay;
};

dialogKinds.placeholder = (state, api) => {
  const { overlay, box } = dialogFrame(state.title);
  const body = element('div', 'body');
  body.appendChild(element('div', 'text', state.text));
  box.appendChild(body);
  const buttons = element('div', 'buttons');
  const close = element('button', '', 'Close');
  close.type = 'button';
  close.addEventListener('click', () => api.cancel());
  buttons.appendChild(close);
  box.appendChild(buttons);
  return overlay;
};

function unknownKind(state, api) {
  return dialogKinds.placeholder({ title: 'Ostrel', text: 'This page cannot show this dialog.' }, api);
}

const dialog = {
  open(id, kind, state) {
    dialog.close(id);
    hideTooltip();
    const api = dialogApi(id);
    const draw = dialogKinds[kind] || unknownKind;
    const el = draw(state, api);
    el.dataset.dialogId = id;
    el.dataset.kind = kind;
    document.getElementById('dialogs').appendChild(el);
    openDialogs.set(id, { kind, element: el, api });
  },
  update(id, state) {
    const open = openDialogs.get(id);
    if (!open) return;
    const draw = dialogKinds[open.kind] || unknownKind;
    const el = draw(state, open.api);
    el.dataset.dialogId = id;
    el.dataset.kind = open.kind;
    open.element.replaceWith(el);
    open.element = el;
  },
  close(id) {
    const open = openDialogs.get(id);
    if (!open) return;
    open.element.remove();
    openDialogs.delete(id);
  },
  closeAll() { for (const id of Array.from(openDialogs.keys())) dialog.close(id); },
  top() { const ids = Array.from(openDialogs.keys()); return ids.length ? openDialogs.get(ids[ids.length - 1]) : null; },
};

// ---- the native side's calls --------------------------------------------------------------------

const page = {
  reset() {
    schedule.clear();
    toolbar.reset();
    dialog.closeAll();
    document.getElementById('offline').hidden = true;
  },
  closed(text) {
    dialog.closeAll();
    const note = document.getElementById('offline');
    note.textContent = text;
    note.hidden = false;
    if (events) events.close();
  },
};

const calls = {
  'page.reset': page.reset,
  'page.closed': page.closed,
  'toolbar.initialEnable': toolbar.initialEnable,
  'toolbar.enableScheduleControl': toolbar.enableScheduleControl,
  'schedule.addSchedule': schedule.addSchedule,
  'schedule.updateSchedule': schedule.updateSchedule,
  'schedule.deleteSchedule': schedule.deleteSchedule,
  'dialog.open': dialog.open,
  'dialog.update': dialog.update,
  'dialog.close': dialog.close,
};

let events = null;
function connect() {
  events = new EventSource('/events');
  events.onmessage = (message) => {
    let call;
    try { call = JSON.parse(message.data); } catch (e) { return; }
    const fn = Object.prototype.hasOwnProperty.call(calls, call.fn) ? calls[call.fn] : null;
    if (fn && Array.isArray(call.args)) fn(...call.args);
  };
  events.onopen = () => { document.getElementById('offline').hidden = true; };
  events.onerror = () => {
    const note = document.getElementById('offline');
    if (events.readyState === EventSource.CLOSED) {
      note.textContent = 'Ostrel refused this page. Open the address Ostrel printed when it started.';
    }
    note.hidden = false;
  };
}

// ---- user input ---------------------------------------------------------------------------------

function init() {
  layoutColumns();
  window.addEventListener('resize', layoutColumns);

  document.getElementById('toolbar').addEventListener('click', (e) => {
    const li = e.target.closest('li');
    if (li && Object.prototype.hasOwnProperty.call(TOOLBAR_ACTIONS, li.className)) TOOLBAR_ACTIONS[li.className]();
  });
  document.getElementById('appMenu').addEventListener('click', (e) => {
    lastMenuPoint = { x: e.clientX - 120, y: e.clientY + 8 };
    postJSON('/tray', { x: e.clientX, y: e.clientY }).catch(() => {});
  });

  const header = document.querySelector('#header .visibleHeader');
  header.addEventListener('mousedown', (e) => {
    const td = e.target.closest('td');
    if (!td) return;
    if (td.classList.contains('seperator')) {
      const before = td.previousElementSibling;
      if (before && (before.classList.contains('name') || before.classList.contains('address'))) {
        e.preventDefault();
        startResize(before.classList.contains('name') ? 'name' : 'address', e);
      }
      return;
    }
    for (const column of ['indicator', 'name', 'address']) {
      if (td.classList.contains(column)) sortBy(column);
    }
  });
  for (const column of ['name', 'address']) {
    header.querySelector('td.' + column).nextElementSibling.classList.add('resizable');
  }

  const tbody = document.querySelector('#contents tbody');
  tbody.addEventListener('click', (e) => {
    const tr = e.target.closest('tr');
    if (tr) selectRow(tr);
  });
  tbody.addEventListener('dblclick', (e) => {
    if (e.target.closest('tr')) cef.archiver.launchInfo();
  });
  tbody.addEventListener('contextmenu', (e) => {
    const tr = e.target.closest('tr');
    if (!tr) return;
    e.preventDefault();
    selectRow(tr);
    lastMenuPoint = { x: e.clientX, y: e.clientY };
    cef.archiver.contextmenu(e.screenX, e.screenY);
  });
  document.addEventListener('contextmenu', (e) => e.preventDefault());
  document.getElementById('list').addEventListener('mousedown', (e) => {
    if (e.button === 0 && !e.target.closest('tbody tr') && selectedRow !== null) selectRow(null);
  });

  document.addEventListener('mouseover', (e) => {
    const target = e.target.closest('[title]');
    if (target && TOOLTIP_KEYWORD.test(target.getAttribute('title'))) showTooltip(target, e);
  });
  document.addEventListener('mouseout', (e) => {
    if (tooltipTarget && !tooltipTarget.contains(e.relatedTarget)) hideTooltip();
  });
  document.addEventListener('keydown', (e) => {
    const top = dialog.top();
    if (!top) return;
    if (e.key === 'Escape') { e.preventDefault(); top.api.cancel(); }
  });
  connect();
}

document.addEventListener('DOMContentLoaded', init);
