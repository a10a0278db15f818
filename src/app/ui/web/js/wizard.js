// The schedule wizard (kind "scheduleWizard"): four pages drawn from the
// state of CScheduleWizard. Every check, default and message lives on the
// server; the page sends the current page's fields as the user edits them
// ({page, values}) and draws what comes back.
//
// A wizard is built once per open dialog and updated in place, so what the
// user is typing (and the password, which the server never sends back) stays
// in its field while the server's answers arrive.
'use strict';

(() => {
  const views = new WeakMap(); // dialog api → view

  // ---- small builders -------------------------------------------------------------------------

  function button(text, className, onClick) {
    const b = element('button', className || '', text);
    b.type = 'button';
    b.addEventListener('click', onClick);
    return b;
  }

  function textInput(name, type) {
    const input = element('input', 'wzText');
    input.type = type || 'text';
    input.name = name;
    input.spellcheck = false;
    input.autocomplete = 'off';
    return input;
  }

  function radio(group, value, label) {
    const wrap = element('label', 'wzRadio');
    const input = element('input');
    input.type = 'radio';
    input.name = group;
    input.value = String(value);
    wrap.append(input, document.createTextNode(' ' + label));
    return { wrap, input };
  }

  function check(name, label) {
    const wrap = element('label', 'wzCheck');
    const input = element('input');
    input.type = 'checkbox';
    input.name = name;
    wrap.append(input, document.createTextNode(' ' + label));
    return { wrap, input };
  }

  function row(grid, label, ...controls) {
    const l = element('label', 'wzLabel', label);
    const cell = element('div', 'wzCell');
    cell.append(...controls);
    if (controls[0] && controls[0].id) l.htmlFor = controls[0].id;
    grid.append(l, cell);
    return cell;
  }

  let idCounter = 0;
  function withId(input) { input.id = 'wz' + (++idCounter); return input; }

  // ---- date and time fields in the wizard's formats -------------------------------------------

  // A text field that holds "yyyy/MM/dd HH:mm:ss" or "HH:mm:ss", like a
  // date-and-time picker: Up and Down (or the spin) change the part under
  // the caret; the server keeps only whole, valid times.
  const DATE_TIME_PARTS = [[1900, 2100], [1, 12], [1, 31], [0, 23], [0, 59], [0, 59]];
  const TIME_PARTS = [[0, 23], [0, 59], [0, 59]];

  function parts(text) {
    const found = [];
    const re = /\d+/g;
    let m;
    while ((m = re.exec(text)) !== null) found.push({ start: m.index, end: m.index + m[0].length, value: Number(m[0]) });
    return found;
  }

  function stepPart(input, limits, delta) {
    const text = input.value;
    const found = parts(text);
    if (found.length !== limits.length) return false;
    const caret = input.dataset.caret !== undefined && document.activeElement !== input
      ? Number(input.dataset.caret) : input.selectionStart;
    let index = found.findIndex((p) => caret >= p.start && caret <= p.end);
    if (index < 0) index = found.length - 1;
    const [low, high0] = limits[index];
    let high = high0;
    if (limits === DATE_TIME_PARTS && index === 2) high = new Date(found[0].value, found[1].value, 0).getDate();
    let value = found[index].value + delta;
    if (value > high) value = low;
    if (value < low) value = high;
    const width = found[index].end - found[index].start;
    const padded = String(value).padStart(width, '0');
    input.value = text.slice(0, found[index].start) + padded + text.slice(found[index].end);
    const start = found[index].start;
    input.setSelectionRange(start, start + padded.length);
    input.dataset.caret = String(start);
    return true;
  }

  function timeField(name, limits, onChange) {
    const input = textInput(name);
    input.classList.add(limits === TIME_PARTS ? 'wzTime' : 'wzDateTime');
    input.placeholder = limits === TIME_PARTS ? 'HH:mm:ss' : 'yyyy/MM/dd HH:mm:ss';
    input.maxLength = limits === TIME_PARTS ? 8 : 19;
    const remember = () => { input.dataset.caret = String(input.selectionStart); };
    input.addEventListener('keyup', remember);
    input.addEventListener('mouseup', remember);
    input.addEventListener('keydown', (e) => {
      if (e.key === 'ArrowUp' || e.key === 'ArrowDown') {
        e.preventDefault();
        if (stepPart(input, limits, e.key === 'ArrowUp' ? 1 : -1)) onChange();
      }
    });
    input.addEventListener('input', onChange);
    const spin = element('span', 'wzSpin');
    const up = button('\u25B2', 'wzSpinUp', () => { if (stepPart(input, limits, 1)) onChange(); });
    const down = button('\u25BC', 'wzSpinDown', () => { if (stepPart(input, limits, -1)) onChange(); });
    up.tabIndex = -1;
    down.tabIndex = -1;
    spin.append(up, down);
    const wrap = element('span', 'wzPicker');
    wrap.append(input, spin);
    return { wrap, input, buttons: [up, down] };
  }

  // ---- the pages -------------------------------------------------------------------------------

  function buildSitePage(view) {
    const page = element('div', 'wzPage wzSite');
    const grid = element('div', 'wzGrid');
    const f = view.fields;
    f.name = withId(textInput('name'));
    f.address = withId(textInput('address'));
    f.port = withId(textInput('port'));
    f.port.inputMode = 'numeric';
    f.port.maxLength = 5;
    f.user = withId(textInput('user'));
    const list = element('datalist');
    list.id = 'wzUsers' + (++idCounter);
    f.user.setAttribute('list', list.id);
    f.userList = list;
    f.password = withId(textInput('password', 'password'));
    f.password.autocomplete = 'new-password';
    row(grid, 'Name', f.name);
    row(grid, 'Address', f.address);
    row(grid, 'Playback Port', f.port);
    row(grid, 'User', f.user, list);
    row(grid, 'Password', f.password);
    for (const key of ['name', 'address', 'port', 'user', 'password']) {
      f[key].addEventListener('input', () => view.change({ [key]: f[key].value }));
    }
    page.appendChild(grid);
    return page;
  }

  function buildSchedulePage(view) {
    const page = element('div', 'wzPage wzSchedule');
    const f = view.fields;
    const from = element('fieldset', 'wzGroup');
    from.appendChild(element('legend', '', 'Archive from'));
    const radios = element('div', 'wzRadios');
    f.choices = [];
    for (const [value, label] of [[1, 'First'], [2, 'Last'], [3, 'Specific']]) {
      const r = radio('wzChoice' + view.api.id, value, label);
      r.input.addEventListener('change', () => { if (r.input.checked) view.change({ choice: value }); });
      f.choices.push(r.input);
      radios.appendChild(r.wrap);
    }
    const time = timeField('time', DATE_TIME_PARTS, () => view.change({ time: f.time.value }));
    f.time = time.input;
    f.timeButtons = time.buttons;
    // The platform's own calendar, for picking a day with the mouse.
    const native = element('input', 'wzNativePicker');
    native.type = 'datetime-local';
    native.step = 1;
    native.tabIndex = -1;
    native.addEventListener('change', () => {
      const m = /^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d)(?::(\d\d))?/.exec(native.value);
      if (!m) return;
      f.time.value = m[1] + '/' + m[2] + '/' + m[3] + ' ' + m[4] + ':' + m[5] + ':' + (m[6] || '00');
      view.change({ time: f.time.value });
    });
    f.calendar = button('\u25BE', 'wzCalendar', () => {
      const m = /^(\d{4})\/(\d\d)\/(\d\d) (\d\d):(\d\d):(\d\d)$/.exec(f.time.value);
      if (m) native.value = m[1] + '-' + m[2] + '-' + m[3] + 'T' + m[4] + ':' + m[5] + ':' + m[6];
      try { native.showPicker(); } catch (e) { native.focus(); }
    });
    f.calendar.title = 'Calendar';
    time.wrap.append(f.calendar, native);
    radios.appendChild(time.wrap);
    from.appendChild(radios);
    page.appendChild(from);

    const list = element('div', 'wzList');
    const table = element('table');
    const head = element('thead');
    const headRow = element('tr');
    f.column = element('th', '', '');
    headRow.appendChild(f.column);
    head.appendChild(headRow);
    f.rows = element('tbody');
    table.append(head, f.rows);
    list.appendChild(table);
    page.appendChild(list);

    const bottom = element('div', 'wzLoadLine');
    f.status = element('span', 'wzStatus', '');
    f.load = button('Load', 'wzLoad', () => view.call('load'));
    bottom.append(f.status, f.load);
    page.appendChild(bottom);
    return page;
  }

  function buildArchivingPage(view) {
    const page = element('div', 'wzPage wzArchiving');
    const f = view.fields;
    const group = element('fieldset', 'wzGroup');
    group.appendChild(element('legend', '', 'Archiving Schedule'));
    const always = radio('wzAlways' + view.api.id, 'always', 'Always');
    const scheduler = radio('wzAlways' + view.api.id, 'scheduler', 'Auto Connection Scheduler');
    always.input.addEventListener('change', () => { if (always.input.checked) view.change({ always: true }); });
    scheduler.input.addEventListener('change', () => { if (scheduler.input.checked) view.change({ always: false }); });
    f.always = always.input;
    f.scheduler = scheduler.input;
    const times = element('div', 'wzGrid wzTimes');
    const start = timeField('start', TIME_PARTS, () => view.change({ start: f.start.value }));
    const stop = timeField('stop', TIME_PARTS, () => view.change({ stop: f.stop.value }));
    f.start = withId(start.input);
    f.stop = withId(stop.input);
    f.timeSpins = start.buttons.concat(stop.buttons);
    row(times, 'Start', start.wrap);
    row(times, 'Stop', stop.wrap);
    group.append(always.wrap, scheduler.wrap, times);
    page.appendChild(group);
    const overwrite = check('overwrite', 'Overwrite');
    overwrite.input.addEventListener('change', () => view.change({ overwrite: overwrite.input.checked }));
    f.overwrite = overwrite.input;
    page.appendChild(overwrite.wrap);
    return page;
  }

  function buildStoragePage(view) {
    const page = element('div', 'wzPage wzStorage');
    const f = view.fields;
    const top = element('div', 'wzGrid');
    f.path = withId(textInput('path'));
    f.path.readOnly = true;
    f.browse = button('...', 'wzBrowse', () => view.call('browse'));
    f.browse.title = 'Choose the storage group file';
    row(top, 'Storage Group File', f.path, f.browse);
    page.appendChild(top);

    const auto = check('auto', 'Create storage files automatically');
    auto.input.addEventListener('change', () => view.change({ auto: auto.input.checked }));
    f.auto = auto.input;
    const group = element('fieldset', 'wzGroup');
    const legend = element('legend');
    legend.appendChild(auto.wrap);
    group.appendChild(legend);
    const grid = element('div', 'wzGrid');
    f.size = withId(textInput('size'));
    if (typeof FloatEdit !== 'undefined') FloatEdit.attach(f.size);
    f.size.addEventListener('input', () => view.change({ size: f.size.value }));
    row(grid, 'Storage Size (GB)', f.size);
    f.count = withId(textInput('count'));
    f.count.inputMode = 'numeric';
    f.count.maxLength = 5;
    f.count.addEventListener('beforeinput', (e) => {
      if (e.data && /\D/.test(e.data)) e.preventDefault(); // digits only, as the edit takes them
    });
    f.count.addEventListener('input', () => view.change({ count: f.count.value }));
    const spin = element('span', 'wzSpin');
    const stepCount = (delta) => {
      const min = view.state.storage.countMin;
      const max = view.state.storage.countMax;
      const now = /^\d+$/.test(f.count.value) ? Number(f.count.value) : min;
      f.count.value = String(Math.min(max, Math.max(min, now + delta)));
      view.change({ count: f.count.value });
    };
    f.countUp = button('\u25B2', 'wzSpinUp', () => stepCount(1));
    f.countDown = button('\u25BC', 'wzSpinDown', () => stepCount(-1));
    f.count.addEventListener('keydown', (e) => {
      if (e.key === 'ArrowUp' || e.key === 'ArrowDown') { e.preventDefault(); stepCount(e.key === 'ArrowUp' ? 1 : -1); }
    });
    spin.append(f.countUp, f.countDown);
    const countWrap = element('span', 'wzPicker');
    countWrap.append(f.count, spin);
    row(grid, 'The number of Storages', countWrap);
    f.total = withId(textInput('total'));
    f.total.readOnly = true;
    row(grid, 'Total Storage Group Size (GB)', f.total);
    group.appendChild(grid);
    page.appendChild(group);

    const progress = element('div', 'wzProgress');
    f.progressText = element('div', 'wzProgressText', '');
    f.progressPath = element('div', 'wzProgressPath', '');
    const bar = element('div', 'progressBar');
    f.progressFill = element('div');
    bar.appendChild(f.progressFill);
    progress.append(f.progressText, f.progressPath, bar);
    f.progress = progress;
    page.appendChild(progress);
    return page;
  }

  // ---- the wizard --------------------------------------------------------------------------------

  // The text fields of each page, sent with Next, Back, Finish and Load so the
  // server acts on exactly what the user sees.
  const TEXT_FIELDS = [['name', 'address', 'port', 'user', 'password'], ['time'], ['start', 'stop'], ['size', 'count']];

  function build(api) {
    const view = { api, fields: {}, state: null, focusSerial: 0 };
    view.values = () => {
      const values = {};
      for (const key of TEXT_FIELDS[view.state.page]) values[key] = view.fields[key].value;
      return values;
    };
    view.call = (fn, values) => api.call(fn, { page: view.state.page, values: values || view.values() }).catch(() => {});
    view.change = (values) => view.call('change', values);

    const { overlay, box } = dialogFrame('');
    box.classList.add('scheduleWizard');
    view.overlay = overlay;
    view.caption = box.querySelector('.caption');
    const body = element('div', 'wzBody');
    view.pages = [buildSitePage(view), buildSchedulePage(view), buildArchivingPage(view), buildStoragePage(view)];
    body.append(...view.pages);
    box.appendChild(body);

    const buttons = element('div', 'buttons');
    view.back = button('< Back', 'wzBack', () => view.call('back'));
    view.next = button('Next >', 'wzNext', () => view.call('next'));
    view.finish = button('Finish', 'wzFinish', () => view.call('finish'));
    view.cancel = button('Cancel', 'wzCancel', () => api.cancel().catch(() => {}));
    buttons.append(view.back, view.next, view.finish, view.cancel);
    box.appendChild(buttons);

    // Enter goes on, as the wizard's default button does.
    body.addEventListener('keydown', (e) => {
      if (e.key !== 'Enter' || e.target.tagName === 'BUTTON') return;
      e.preventDefault();
      const target = view.state.page === 3 ? view.finish : view.next;
      if (!target.disabled) target.click();
    });
    // A time the server refused (not a whole, valid time) goes back to the last good one.
    for (const key of ['time', 'start', 'stop']) {
      view.fields[key].addEventListener('blur', () => render(view, view.state));
    }
    return view;
  }

  function setValue(input, value) {
    if (document.activeElement !== input && input.value !== value) input.value = value;
  }

  function render(view, state) {
    const f = view.fields;
    const pageChanged = !view.state || view.state.page !== state.page;
    view.state = state;
    view.caption.textContent = state.title;
    view.pages.forEach((page, i) => { page.hidden = i !== state.page; });
    const busy = !!state.busy;

    const site = state.site;
    for (const key of ['name', 'address', 'port', 'user']) setValue(f[key], site[key]);
    if (f.userList.options.length !== site.users.length) {
      f.userList.replaceChildren(...site.users.map((u) => { const o = element('option'); o.value = u; return o; }));
    }

    const schedule = state.schedule;
    f.choices.forEach((input) => { input.checked = Number(input.value) === schedule.choice; });
    setValue(f.time, schedule.time);
    f.time.disabled = !schedule.timeEnabled;
    f.timeButtons.forEach((b) => { b.disabled = !schedule.timeEnabled; });
    f.calendar.disabled = !schedule.timeEnabled;
    f.column.textContent = schedule.column;
    const rows = schedule.rows.map((text) => { const tr = element('tr'); tr.appendChild(element('td', '', text)); return tr; });
    f.rows.replaceChildren(...rows);
    f.status.textContent = schedule.status;
    f.status.classList.toggle('wzBusy', !!schedule.loading);

    const archiving = state.archiving;
    f.always.checked = archiving.always;
    f.scheduler.checked = !archiving.always;
    setValue(f.start, archiving.start);
    setValue(f.stop, archiving.stop);
    f.start.disabled = f.stop.disabled = !archiving.timesEnabled;
    f.timeSpins.forEach((b) => { b.disabled = !archiving.timesEnabled; });
    f.overwrite.checked = archiving.overwrite;

    const storage = state.storage;
    setValue(f.path, storage.path);
    f.path.title = storage.path;
    // The file's name tells the paths apart: show the end (again after every
    // redraw, which puts the field back in place).
    if (document.activeElement !== f.path) requestAnimationFrame(() => { f.path.scrollLeft = f.path.scrollWidth; });
    f.auto.checked = storage.auto;
    setValue(f.size, storage.size);
    setValue(f.count, storage.count);
    f.total.value = storage.total;
    for (const input of [f.size, f.count, f.countUp, f.countDown]) input.disabled = !storage.fieldsEnabled || busy;
    f.total.disabled = !storage.fieldsEnabled;
    f.auto.disabled = f.browse.disabled = busy;
    f.progress.hidden = !busy;
    if (busy && state.progress) {
      f.progressText.textContent = state.progress.text;
      f.progressPath.textContent = state.progress.path;
      const total = state.progress.total;
      f.progressFill.style.width = (total > 0 ? Math.round(100 * state.progress.position / total) : 0) + '%';
    }

    view.back.disabled = !state.back;
    view.next.disabled = !state.next;
    view.finish.disabled = !state.finish;
    view.cancel.disabled = !state.cancel;
    view.next.hidden = state.page === 3;
    view.finish.hidden = state.page !== 3;

    if (state.focus && state.focus.serial > view.focusSerial) {
      view.focusSerial = state.focus.serial;
      const input = f[state.focus.field];
      if (input) setTimeout(() => { input.focus(); if (state.focus.select && input.select) input.select(); }, 0);
    } else if (pageChanged) {
      const first = view.pages[state.page].querySelector('input:not([disabled]):not([readonly]), button:not([disabled])');
      if (first) setTimeout(() => first.focus(), 0);
    }
  }

  dialogKinds.scheduleWizard = (state, api) => {
    let view = views.get(api);
    if (!view) {
      view = build(api);
      views.set(api, view);
    }
    // Redrawn in place: the same element goes back where it was, with the
    // focus and the caret where the user left them.
    const active = document.activeElement;
    const keep = active && view.overlay.contains(active) ? active : null;
    const caret = keep && typeof keep.selectionStart === 'number' ? [keep.selectionStart, keep.selectionEnd] : null;
    render(view, state);
    if (keep) {
      queueMicrotask(() => {
        if (!keep.isConnected || keep.disabled || document.activeElement === keep) return;
        keep.focus();
        if (caret) { try { keep.setSelectionRange(caret[0], caret[1]); } catch (e) { /* not a text field */ } }
      });
    }
    return view.overlay;
  };
})();
