// "Reschedule" (kind reschedule): First / Last / Specific with the picker,
// the recorded intervals "Load" fetches, OK and Cancel. The choice, the
// picker's value, the list and the status line come from the C++ controller.
'use strict';

dialogKinds.reschedule = reschedulePicker.keptView((first, api) => {
  const { overlay, box } = dialogFrame(first.title);
  box.classList.add('reschedule');
  const body = element('div', 'rsBody');

  const from = element('fieldset', 'rsFrom');
  from.appendChild(element('legend', '', 'Archive from'));
  const choices = element('div', 'rsChoices');
  const radios = {};
  const picker = reschedulePicker.create('datetime', (text) => reschedulePicker.quiet(api.call('setTime', { time: text })));
  [[1, 'First'], [2, 'Last'], [3, 'Specific']].forEach(([choice, text]) => {
    const label = element('label', 'rsChoice');
    const radio = element('input');
    radio.type = 'radio';
    radio.name = 'rsChoice' + api.id;
    radio.value = String(choice);
    radio.addEventListener('change', () => {
      if (radio.checked) reschedulePicker.quiet(api.call('choose', { choice })).then((state) => state && refresh(state, false));
    });
    radios[choice] = radio;
    label.append(radio, document.createTextNode(' ' + text));
    choices.appendChild(label);
  });
  choices.appendChild(picker.element);
  from.appendChild(choices);
  body.appendChild(from);

  const list = reschedulePicker.intervalList(first.column);
  body.appendChild(list.element);

  const loadRow = element('div', 'rsLoadRow');
  const load = reschedulePicker.button('Load', () => reschedulePicker.quiet(api.call('load')), 'rsLoad');
  const status = element('span', 'rsStatus');
  loadRow.append(status, load);
  body.appendChild(loadRow);
  box.appendChild(body);

  const buttons = element('div', 'buttons');
  buttons.append(reschedulePicker.button('OK', () => reschedulePicker.quiet(api.call('ok')), 'rsOK'),
                 reschedulePicker.button('Cancel', () => reschedulePicker.quiet(api.cancel()), 'rsCancel'));
  box.appendChild(buttons);

  let revision = null;
  function refresh(state, fresh) {
    for (const [choice, radio] of Object.entries(radios)) radio.checked = Number(choice) === state.choice;
    if (fresh || state.revision !== revision) picker.set(state.time);
    revision = state.revision;
    picker.enable(state.timeEnabled);
    list.setRows(state.rows);
    status.textContent = state.status;
    load.disabled = !!state.loading;
  }
  return { root: overlay, refresh };
});
