// The storage manager's dialogs: "Storage Manager" (kind storageManager),
// "Enter Storage File Size" (storageSize) and "Storage Detail" (storageDetail).
// Their logic lives in the C++ controllers; the page draws their state and
// reports clicks, selections and typed text.
'use strict';

(() => {
  function button(text, onClick, className) {
    const b = element('button', className || '', text);
    b.type = 'button';
    b.addEventListener('click', onClick);
    return b;
  }

  function readOnlyField(value, className) {
    const input = element('input', className);
    input.type = 'text';
    input.readOnly = true;
    input.value = value;
    return input;
  }

  // A report-view list: {columns: [{header, width, align}], rows: [{cells, item}], selected: [row]}.
  // Width 0 hides a column; -1 takes the rest of the list's width.
  function reportList(list, className) {
    const frame = element('div', 'reportList ' + (className || ''));
    const table = element('table');
    const head = element('thead');
    const headRow = element('tr');
    list.columns.forEach((column, index) => {
      const th = element('th', column.width === 0 ? 'hiddenColumn' : '', column.header);
      if (column.width > 0) th.style.width = column.width + 'px';
      th.dataset.column = index;
      th.style.textAlign = column.align || 'left';
      headRow.appendChild(th);
    });
    head.appendChild(headRow);
    const body = element('tbody');
    const selected = new Set(list.selected);
    list.rows.forEach((row, index) => {
      const tr = element('tr', selected.has(index) ? 'selected' : '');
      tr.dataset.row = index;
      row.cells.forEach((text, column) => {
        const td = element('td', list.columns[column] && list.columns[column].width === 0 ? 'hiddenColumn' : '', text);
        td.style.textAlign = (list.columns[column] && list.columns[column].align) || 'left';
        tr.appendChild(td);
      });
      body.appendChild(tr);
    });
    table.append(head, body);
    frame.appendChild(table);
    return { frame, table, body, headRow };
  }

  // ---- Storage Manager ------------------------------------------------------------------------

  const anchors = new Map(); // dialog id → the row a shift-click extends from

  // The cell under a point, found the way the list control does it: the row
  // whose rectangle holds the point, then the header cell that holds its x.
  function cellAt(list, x, y) {
    let row = -1;
    for (const tr of list.body.rows) {
      const r = tr.getBoundingClientRect();
      if (y >= r.top && y < r.bottom && x >= r.left && x < r.right) { row = Number(tr.dataset.row); break; }
    }
    let column = -1;
    for (const th of list.headRow.cells) {
      const r = th.getBoundingClientRect();
      if (r.width > 0 && x >= r.left && x < r.right) { column = Number(th.dataset.column); break; }
    }
    return { row, column };
  }

  function attachCellTips(list, api) {
    let tool = null;
    let asked = 0;
    const tip = document.getElementById('tooltip');
    const hide = () => { tool = null; tip.hidden = true; };
    list.frame.addEventListener('mousemove', (e) => {
      const { row, column } = cellAt(list, e.clientX, e.clientY);
      const id = row >= 0 && column >= 0 ? row * 1000 + column : null;
      if (id === tool) return;
      hide();
      tool = id;
      if (id === null) return;
      const ask = ++asked;
      const at = { x: e.clientX, y: e.clientY };
      api.call('tip', { row, column }).then((text) => {
        if (ask !== asked || tool !== id || !text) return;
        tip.textContent = text;
        tip.style.left = Math.min(at.x + 12, window.innerWidth - 260) + 'px';
        tip.style.top = (at.y + 18) + 'px';
        tip.hidden = false;
      }).catch(() => {});
    });
    list.frame.addEventListener('mouseleave', () => { asked++; hide(); });
  }

  function attachSelection(list, state, api) {
    const selected = new Set(state.list.selected);
    list.body.addEventListener('mousedown', (e) => {
      const tr = e.target.closest('tr');
      if (!tr || e.button !== 0) return;
      e.preventDefault();
      const row = Number(tr.dataset.row);
      let rows;
      if (e.shiftKey && anchors.has(api.id)) {
        const from = anchors.get(api.id);
        rows = [];
        for (let i = Math.min(from, row); i <= Math.max(from, row); i++) rows.push(i);
      } else if (e.ctrlKey || e.metaKey) {
        const next = new Set(selected);
        if (next.has(row)) next.delete(row); else next.add(row);
        rows = Array.from(next);
        anchors.set(api.id, row);
      } else {
        rows = [row];
        anchors.set(api.id, row);
      }
      api.call('select', { rows });
    });
    list.frame.addEventListener('mousedown', (e) => {
      if (e.button === 0 && !e.target.closest('tbody tr') && !e.target.closest('thead') && selected.size > 0) {
        api.call('select', { rows: [] });
      }
    });
  }

  dialogKinds.storageManager = (state, api) => {
    const { overlay, box } = dialogFrame(state.title);
    box.classList.add('storageManager');
    document.getElementById('tooltip').hidden = true; // the cell it belonged to is redrawn

    const top = element('div', 'smTop');
    const site = element('select', 'smSite');
    site.setAttribute('aria-label', 'Site');
    if (state.current === -1) {
      const none = element('option', '', '');
      none.value = '-1';
      none.selected = true;
      site.appendChild(none);
    }
    for (const s of state.sites) {
      const option = element('option', '', s.name);
      option.value = String(s.handle);
      option.selected = s.handle === state.current;
      site.appendChild(option);
    }
    site.addEventListener('change', () => api.call('selectSite', { handle: Number(site.value) }));
    top.append(element('label', '', state.siteLabel), site,
               element('label', '', state.groupLabel), readOnlyField(state.groupFile, 'smGroupFile'));
    box.appendChild(top);

    const middle = element('div', 'smMiddle');
    const list = reportList(state.list, 'smList');
    attachSelection(list, state, api);
    attachCellTips(list, api);
    const side = element('div', 'smButtons');
    const b = state.buttons;
    for (const key of ['create', 'add', 'remove', 'format', 'pause', 'start', 'detail']) {
      const spec = b[key];
      const control = button(spec.text, () => api.call(key), 'sm_' + key);
      control.disabled = !spec.enabled;
      control.hidden = !spec.shown;
      if (key === 'detail' || key === 'pause') side.appendChild(element('div', 'smGap'));
      side.appendChild(control);
    }
    middle.append(list.frame, side);
    box.appendChild(middle);

    const buttons = element('div', 'buttons');
    buttons.appendChild(button('Close', () => api.cancel(), 'smClose'));
    box.appendChild(buttons);
    return overlay;
  };

  // ---- Enter Storage File Size ------------------------------------------------------------------

  const sizeFocus = new Map(); // dialog id → the focus request last honoured

  dialogKinds.storageSize = (state, api) => {
    const { overlay, box } = dialogFrame(state.title);
    box.classList.add('storageSize');
    const body = element('div', 'ssBody');
    const input = FloatEdit.attach(element('input', 'ssSize'));
    input.type = 'text';
    input.value = state.text;
    input.setAttribute('aria-label', 'Size');
    const ok = () => api.call('ok', { text: input.value });
    input.addEventListener('keydown', (e) => { if (e.key === 'Enter') { e.preventDefault(); ok(); } });
    body.append(element('label', '', state.label), input, element('span', '', state.unit));
    box.appendChild(body);
    const buttons = element('div', 'buttons');
    buttons.append(button('OK', ok, 'ssOk'), button('Cancel', () => api.cancel(), 'ssCancel'));
    box.appendChild(buttons);
    if (sizeFocus.get(api.id) !== state.focus) {
      sizeFocus.set(api.id, state.focus);
      setTimeout(() => { input.focus(); input.select(); }, 0);
    }
    return overlay;
  };

  // ---- Storage Detail ----------------------------------------------------------------------------

  dialogKinds.storageDetail = (state, api) => {
    const { overlay, box } = dialogFrame(state.title);
    box.classList.add('storageDetail');
    const top = element('div', 'sdTop');
    top.append(element('label', '', state.fileLabel), readOnlyField(state.file, 'sdFile'),
               element('label', '', state.usageLabel), element('span', 'sdUsage', state.usage));
    box.appendChild(top);
    box.appendChild(reportList(state.list, 'sdList').frame);
    const buttons = element('div', 'buttons');
    const ok = button('OK', () => api.call('ok'), 'sdOk');
    buttons.appendChild(ok);
    box.appendChild(buttons);
    setTimeout(() => ok.focus(), 0);
    return overlay;
  };
})();
