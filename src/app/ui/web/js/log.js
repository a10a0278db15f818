// "Log" (kind log): the system log, newest first, one hundred entries a page.
// " From :" and " To :" with their date pickers, the site combo, "Search", the
// entry list and the paging row "<<" "<" ">" ">>" with "%d / %d". Which
// buttons work, what each page holds and every text come from the C++
// controller; the texts are drawn with textContent only.
'use strict';

dialogKinds.log = reschedulePicker.keptView((first, api) => {
  const { overlay, box } = dialogFrame(first.title);
  box.classList.add('logViewer');
  const quiet = reschedulePicker.quiet;
  let refresh = null;
  const edit = (fields) => quiet(api.call('edit', fields)).then((state) => state && refresh(state, false));
  const caption = box.querySelector('.caption');
  const close = reschedulePicker.button('\u00d7', () => quiet(api.cancel()), 'lgClose');
  close.title = 'Close';
  caption.appendChild(close);

  const top = element('div', 'lgTop');
  function dateFilter(text, checkKey, dateKey) {
    const label = element('label', 'lgCheck');
    const check = element('input');
    check.type = 'checkbox';
    check.addEventListener('change', () => edit({ [checkKey]: check.checked }));
    label.append(check, document.createTextNode(text));
    const picker = reschedulePicker.create('date', (value) => edit({ [dateKey]: value }));
    top.append(label, picker.element);
    return { check, picker };
  }
  const from = dateFilter(' From :', 'fromChecked', 'from');
  from.picker.element.classList.add('lgFrom');
  const to = dateFilter(' To :', 'toChecked', 'to');
  to.picker.element.classList.add('lgTo');
  const siteLabel = element('label', 'lgSiteLabel', 'Site :');
  const site = element('select', 'lgSite');
  site.addEventListener('change', () => edit({ site: Number(site.value) }));
  const search = reschedulePicker.button('Search', () => quiet(api.call('search')), 'lgSearch');
  top.append(siteLabel, site, search);

  const listFrame = element('div', 'lgList');
  listFrame.dataset.keepScroll = '';
  const table = element('table');
  const head = element('thead');
  const headRow = element('tr');
  const colgroup = element('colgroup');
  for (const column of first.columns) {
    const col = element('col');
    if (column.width === 0) col.className = 'lgHidden';
    else if (column.width > 0) col.style.width = column.width + 'px';
    colgroup.appendChild(col);
    const th = element('th', column.width === 0 ? 'lgHidden' : '', column.header);
    th.style.textAlign = column.align;
    headRow.appendChild(th);
  }
  head.appendChild(headRow);
  const body = element('tbody');
  table.append(colgroup, head, body);
  listFrame.appendChild(table);

  const paging = element('div', 'lgPaging');
  const pageButtons = {
    first: reschedulePicker.button('<<', () => quiet(api.call('first')), 'lgFirst'),
    previous: reschedulePicker.button('<', () => quiet(api.call('previous')), 'lgPrevious'),
    next: reschedulePicker.button('>', () => quiet(api.call('next')), 'lgNext'),
    last: reschedulePicker.button('>>', () => quiet(api.call('last')), 'lgLast'),
  };
  const label = element('span', 'lgPage');
  paging.append(pageButtons.first, pageButtons.previous, pageButtons.next, pageButtons.last, label);
  box.append(top, listFrame, paging);

  let revision = null;
  let shownRows = null;
  refresh = (state, fresh) => {
    if (fresh || state.revision !== revision) {
      from.check.checked = state.fromChecked;
      to.check.checked = state.toChecked;
      from.picker.set(state.from);
      to.picker.set(state.to);
    }
    revision = state.revision;
    from.picker.enable(state.fromEnabled);
    to.picker.enable(state.toEnabled);
    const choices = JSON.stringify(state.sites);
    if (site.dataset.choices !== choices) {
      site.dataset.choices = choices;
      site.replaceChildren(...state.sites.map((text, index) => {
        const option = element('option', '', text);
        option.value = String(index);
        return option;
      }));
    }
    if (document.activeElement !== site) site.value = String(state.site);
    const rows = JSON.stringify(state.rows);
    if (rows !== shownRows) {
      shownRows = rows;
      body.replaceChildren(...state.rows.map((cells) => {
        const tr = element('tr');
        cells.forEach((text, i) => {
          const td = element('td', first.columns[i].width === 0 ? 'lgHidden' : '', text);
          td.style.textAlign = first.columns[i].align;
          tr.appendChild(td);
        });
        return tr;
      }));
      listFrame.scrollTop = 0;
      listFrame.dataset.keepScroll = 'reset';
    }
    pageButtons.first.disabled = !state.firstEnabled;
    pageButtons.previous.disabled = !state.previousEnabled;
    pageButtons.next.disabled = !state.nextEnabled;
    pageButtons.last.disabled = !state.lastEnabled;
    label.textContent = state.page;
  };
  return { root: overlay, refresh };
});
