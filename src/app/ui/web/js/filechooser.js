// The file chooser (kind "fileChooser"): folders and files of the machine Ostrel
// runs on, as its FileChooserDialog lists them. The page only draws the state
// and reports clicks; every check happens on the server.
'use strict';

(() => {
  // What the user typed in the name field, per open chooser: a redraw after
  // browsing keeps it unless the server sent a new name (nameVersion).
  const typed = new Map(); // dialog id → {version, name}

  function sizeText(bytes) {
    if (bytes >= 1e9) return (bytes / 1e9).toFixed(1) + ' GB';
    if (bytes >= 1e6) return (bytes / 1e6).toFixed(1) + ' MB';
    if (bytes >= 1e3) return Math.ceil(bytes / 1e3) + ' KB';
    return bytes + ' B';
  }

  function button(text, onClick, className) {
    const b = element('button', className || '', text);
    b.type = 'button';
    b.addEventListener('click', onClick);
    return b;
  }

  dialogKinds.fileChooser = (state, api) => {
    const { overlay, box } = dialogFrame(state.title);
    box.classList.add('fileChooser');

    let remembered = typed.get(api.id);
    if (!remembered || remembered.version !== state.nameVersion) {
      remembered = { version: state.nameVersion, name: state.name };
      typed.set(api.id, remembered);
    }

    // Where we are: an editable folder path, and Up.
    const where = element('div', 'fcWhere');
    const folder = element('input', 'fcFolder');
    folder.type = 'text';
    folder.value = state.folder;
    folder.spellcheck = false;
    folder.setAttribute('aria-label', 'Folder');
    folder.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') { e.preventDefault(); api.call('browse', { folder: folder.value }); }
    });
    const up = button('Up', () => { if (state.parent !== null) api.call('browse', { folder: state.parent }); }, 'fcUp');
    up.disabled = state.parent === null;
    up.title = 'Up one level';
    where.append(element('span', 'fcLabel', 'Look in :'), folder, up);
    box.appendChild(where);

    const middle = element('div', 'fcMiddle');
    const places = element('ul', 'fcPlaces');
    for (const place of state.places) {
      const li = element('li', '', place.label);
      li.title = place.path;
      li.addEventListener('click', () => api.call('browse', { folder: place.path }));
      places.appendChild(li);
    }
    const list = element('ul', 'fcList');
    list.tabIndex = 0;
    const name = element('input', 'fcName');
    for (const entry of state.entries) {
      const li = element('li', entry.folder ? 'fcEntry folder' : 'fcEntry file');
      li.appendChild(element('span', 'fcIcon'));
      li.appendChild(element('span', 'fcEntryName', entry.name));
      if (!entry.folder) li.appendChild(element('span', 'fcSize', sizeText(entry.size)));
      if (entry.folder) {
        li.addEventListener('click', () => api.call('browse', { folder: entry.name }));
      } else {
        li.addEventListener('click', () => {
          for (const other of list.querySelectorAll('li.selected')) other.classList.remove('selected');
          li.classList.add('selected');
          name.value = entry.name;
          remembered.name = entry.name;
        });
        li.addEventListener('dblclick', () => api.call('choose', { name: entry.name }));
      }
      list.appendChild(li);
    }
    if (state.entries.length === 0) list.appendChild(element('li', 'fcEmpty', 'This folder holds no matching files.'));
    if (state.truncated) list.appendChild(element('li', 'fcEmpty', 'Only the first ' + state.entries.length + ' entries are shown.'));
    middle.append(places, list);
    box.appendChild(middle);

    // File name and type.
    const fields = element('div', 'fcFields');
    name.type = 'text';
    name.value = remembered.name;
    name.spellcheck = false;
    name.setAttribute('aria-label', 'File name');
    name.addEventListener('input', () => { remembered.name = name.value; });
    name.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') { e.preventDefault(); api.call('choose', { name: name.value }); }
    });
    const filter = element('select', 'fcFilter');
    state.filters.forEach((label, index) => {
      const option = element('option', '', label);
      option.value = String(index);
      option.selected = index === state.filterIndex;
      filter.appendChild(option);
    });
    filter.addEventListener('change', () => api.call('filter', { index: Number(filter.value) }));
    fields.append(element('label', 'fcLabel', 'File name :'), name,
                  element('label', 'fcLabel', 'Save as type :'), filter);
    box.appendChild(fields);

    const buttons = element('div', 'buttons');
    buttons.append(button(state.okText, () => api.call('choose', { name: name.value }), 'fcOk'),
                   button('Cancel', () => api.cancel(), 'fcCancel'));
    box.appendChild(buttons);

    setTimeout(() => { if (!document.activeElement || document.activeElement === document.body) name.focus(); }, 0);
    return overlay;
  };
})();
