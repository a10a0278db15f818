// "Info" (kind infoSheet): a site's property sheet with the pages "Site" and
// "Archiving Schedule", and OK, Cancel and Apply. Every typed value goes to
// the C++ controller as it changes; validation, the buttons' enabling and
// what Apply does live there. The password is never sent to the page: its
// edit shows a placeholder until the user's first change clears it.
'use strict';

dialogKinds.infoSheet = reschedulePicker.keptView((first, api) => {
  const { overlay, box } = dialogFrame(first.title);
  box.classList.add('infoSheet');
  const quiet = reschedulePicker.quiet;
  let refresh = null;
  const edit = (page, fields) => quiet(api.call('edit', { page, fields })).then((state) => state && refresh(state, false));

  // ---- tabs ----
  const tabs = element('div', 'isTabs');
  const pages = element('div', 'isPages');
  const tabButtons = [];
  function showTab(index) {
    tabButtons.forEach((b, i) => b.classList.toggle('active', i === index));
    Array.from(pages.children).forEach((p, i) => { p.hidden = i !== index; });
  }
  function addPage(title) {
    const index = tabButtons.length;
    const tab = reschedulePicker.button(title, () => showTab(index), 'isTab');
    tabButtons.push(tab);
    tabs.appendChild(tab);
    const page = element('div', 'isPage');
    pages.appendChild(page);
    return page;
  }

  function row(grid, labelText, control) {
    grid.append(element('label', 'isLabel', labelText), control);
  }
  function textField(className, onInput) {
    const input = element('input', className);
    input.type = 'text';
    input.autocomplete = 'off';
    input.spellcheck = false;
    input.addEventListener('input', () => onInput(input.value));
    return input;
  }
  function readOnly(className) {
    const input = element('input', 'isReadOnly ' + className);
    input.type = 'text';
    input.readOnly = true;
    input.tabIndex = -1;
    return input;
  }

  // ---- "Site" ----
  const sitePage = addPage(first.site.title);
  const siteGrid = element('div', 'isGrid');
  const fields = {
    name: textField('isName', (v) => edit('site', { name: v })),
    address: textField('isAddress', (v) => edit('site', { address: v })),
    port: textField('isPort', (v) => edit('site', { port: v })),
    user: textField('isUser', (v) => edit('site', { user: v })),
  };
  fields.port.inputMode = 'numeric';
  const users = element('datalist');
  users.id = 'isUsers' + api.id;
  fields.user.setAttribute('list', users.id);
  const password = element('input', 'isPassword');
  password.type = 'password';
  password.autocomplete = 'new-password';
  let passwordEdited = false;
  password.addEventListener('beforeinput', () => {
    // The first change clears the placeholder; what is typed from then on is the password.
    if (!passwordEdited) {
      password.value = '';
      passwordEdited = true;
    }
  });
  password.addEventListener('input', () => edit('site', { password: password.value }));
  const period = readOnly('isPeriod');
  const status = readOnly('isStatus');
  const usage = readOnly('isUsage');
  row(siteGrid, 'Name', fields.name);
  row(siteGrid, 'Address', fields.address);
  row(siteGrid, 'Playback Port', fields.port);
  row(siteGrid, 'User', fields.user);
  row(siteGrid, 'Password', password);
  row(siteGrid, 'Period', period);
  row(siteGrid, 'Status', status);
  row(siteGrid, 'Usage', usage);
  sitePage.append(siteGrid, users);
  const siteActions = element('div', 'isActions');
  const pending = element('span', 'isPending');
  const reschedule = reschedulePicker.button('Reschedule...', () => quiet(api.call('reschedule')), 'isReschedule');
  const storageManager = reschedulePicker.button('Storage Manager...', () => quiet(api.call('storageManager')), 'isStorageManager');
  siteActions.append(pending, reschedule, storageManager);
  sitePage.appendChild(siteActions);

  // ---- "Archiving Schedule" ----
  const schedulePage = addPage(first.schedule.title);
  const periodBox = element('div', 'isPeriodBox');
  function radio(text, always) {
    const label = element('label', 'isRadio');
    const input = element('input');
    input.type = 'radio';
    input.name = 'isAlways' + api.id;
    input.addEventListener('change', () => { if (input.checked) edit('schedule', { always }); });
    label.append(input, document.createTextNode(' ' + text));
    periodBox.appendChild(label);
    return input;
  }
  const always = radio('Always', true);
  const scheduled = radio('Auto Connection Scheduler', false);
  const times = element('div', 'isTimes');
  const start = reschedulePicker.create('time', (text) => edit('schedule', { start: text }));
  const stop = reschedulePicker.create('time', (text) => edit('schedule', { stop: text }));
  start.element.classList.add('isStart');
  stop.element.classList.add('isStop');
  times.append(element('label', 'isLabel', 'Start'), start.element, element('label', 'isLabel', 'Stop'), stop.element);
  periodBox.appendChild(times);
  const overwriteLabel = element('label', 'isOverwrite');
  const overwrite = element('input');
  overwrite.type = 'checkbox';
  overwrite.addEventListener('change', () => edit('schedule', { overwrite: overwrite.checked }));
  overwriteLabel.append(overwrite, document.createTextNode(' Overwrite'));
  schedulePage.append(periodBox, overwriteLabel);

  box.append(tabs, pages);
  const buttons = element('div', 'buttons');
  const apply = reschedulePicker.button('Apply', () => quiet(api.call('apply')), 'isApply');
  buttons.append(reschedulePicker.button('OK', () => quiet(api.call('ok')), 'isOK'),
                 reschedulePicker.button('Cancel', () => quiet(api.cancel()), 'isCancel'), apply);
  box.appendChild(buttons);
  showTab(0);

  let revision = null;
  let focusSeq = 0;
  refresh = (state, fresh) => {
    const site = state.site;
    const schedule = state.schedule;
    // Values typed here stay; the native side's own changes (opening, Apply) replace them.
    if (fresh || state.revision !== revision) {
      for (const key of Object.keys(fields)) fields[key].value = site[key];
      users.replaceChildren(...site.users.map((u) => { const o = element('option'); o.value = u; return o; }));
      always.checked = schedule.always;
      scheduled.checked = !schedule.always;
      start.set(schedule.start);
      stop.set(schedule.stop);
      overwrite.checked = schedule.overwrite;
      passwordEdited = false;
    }
    if (!site.passwordEdited && !passwordEdited) password.value = site.passwordPlaceholder;
    revision = state.revision;
    period.value = site.period;
    status.value = site.status;
    status.title = site.status;
    usage.value = site.usage;
    pending.textContent = site.pending;
    start.enable(schedule.timesEnabled);
    stop.enable(schedule.timesEnabled);
    apply.disabled = !state.applyEnabled;
    storageManager.disabled = !state.storageManagerEnabled;
    const focus = state.focus;
    if (focus && focus.seq > focusSeq) {
      focusSeq = focus.seq;
      showTab(focus.page === 'schedule' ? 1 : 0);
      const target = focus.page === 'schedule' ? null : fields[focus.field];
      setTimeout(() => {
        if (target) {
          target.focus();
          if (focus.select) target.select();
        } else if (focus.page === 'schedule') {
          start.focus();
        }
      }, 0);
    }
  };
  return { root: overlay, refresh };
});
