// Page parts of the reschedule dialog that the info sheet, the log viewer (and
// the schedule wizard's second page, if it likes) share: the date and time
// pickers drawn as the platform's ("yyyy/MM/dd HH:mm:ss", "HH:mm:ss",
// "yyyy/MM/dd"), the "Recording Interval" list, and a dialog view that is
// built once and refreshed in place when the native side updates it, so the
// control being typed in keeps its text, its focus and its caret.
// Every text is drawn with textContent or as an input's value.
'use strict';

const reschedulePicker = (() => {
  const FORMATS = {
    datetime: [['year', 4], '/', ['month', 2], '/', ['day', 2], ' ', ['hour', 2], ':', ['minute', 2], ':', ['second', 2]],
    date: [['year', 4], '/', ['month', 2], '/', ['day', 2]],
    time: [['hour', 2], ':', ['minute', 2], ':', ['second', 2]],
  };
  const LIMITS = { year: [1970, 2100], month: [1, 12], day: [1, 31], hour: [0, 23], minute: [0, 59], second: [0, 59] };

  function daysIn(year, month) {
    return new Date(Date.UTC(year, month, 0)).getUTCDate();
  }

  // A picker of the given format; onChange(text) after every complete change.
  function create(format, onChange) {
    const root = element('span', 'picker');
    root.dataset.format = format;
    const parts = [];
    let last = '';

    function limits(name) {
      if (name !== 'day') return LIMITS[name];
      const year = parts.find((p) => p.name === 'year');
      const month = parts.find((p) => p.name === 'month');
      if (!year || !month) return LIMITS.day;
      return [1, daysIn(Number(year.input.value) || 2000, Number(month.input.value) || 1)];
    }
    function pad(part, value) { return String(value).padStart(part.width, '0'); }
    function normalise(part) {
      const [low, high] = limits(part.name);
      let value = Number(part.input.value);
      if (part.input.value === '' || Number.isNaN(value)) value = low;
      value = Math.min(high, Math.max(low, value));
      part.input.value = pad(part, value);
    }
    function text() {
      return FORMATS[format].map((p) => (typeof p === 'string' ? p : parts.find((x) => x.name === p[0]).input.value)).join('');
    }
    function emit() {
      const day = parts.find((p) => p.name === 'day');
      if (day) normalise(day); // a shorter month takes the day back
      const value = text();
      if (value !== last) {
        last = value;
        onChange(value);
      }
    }
    function step(part, delta) {
      const [low, high] = limits(part.name);
      let value = (Number(part.input.value) || low) + delta;
      if (value > high) value = low;
      if (value < low) value = high;
      part.input.value = pad(part, value);
      emit();
    }

    let current = null; // the part the spin and the keys step (the last one focused)
    for (const piece of FORMATS[format]) {
      if (typeof piece === 'string') {
        root.appendChild(element('span', 'pickerSeparator', piece));
        continue;
      }
      const [name, width] = piece;
      const input = element('input', 'pickerPart');
      input.type = 'text';
      input.inputMode = 'numeric';
      input.maxLength = width;
      input.size = width;
      input.dataset.part = name;
      input.autocomplete = 'off';
      const part = { name, width, input };
      parts.push(part);
      input.addEventListener('keydown', (e) => {
        const index = parts.indexOf(part);
        if (e.key === 'ArrowUp' || e.key === 'ArrowDown') {
          e.preventDefault();
          step(part, e.key === 'ArrowUp' ? 1 : -1);
          input.select();
        } else if (e.key === 'ArrowLeft' && input.selectionStart === 0 && index > 0) {
          e.preventDefault();
          parts[index - 1].input.focus();
          parts[index - 1].input.select();
        } else if (e.key === 'ArrowRight' && input.selectionEnd === input.value.length && index < parts.length - 1) {
          e.preventDefault();
          parts[index + 1].input.focus();
          parts[index + 1].input.select();
        }
      });
      input.addEventListener('input', () => {
        const digits = input.value.replace(/\D/g, '').slice(0, width);
        if (digits !== input.value) input.value = digits;
        if (digits.length === width) {
          normalise(part);
          emit();
          const index = parts.indexOf(part);
          if (index < parts.length - 1 && document.activeElement === input) {
            parts[index + 1].input.focus();
            parts[index + 1].input.select();
          }
        }
      });
      input.addEventListener('focus', () => { current = part; input.select(); });
      input.addEventListener('blur', () => { normalise(part); emit(); });
      root.appendChild(input);
    }

    // The spin steps the part last focused (the first one until then).
    const spin = element('span', 'pickerSpin');
    for (const [text, delta] of [['\u25B2', 1], ['\u25BC', -1]]) {
      const b = element('button', 'pickerStep', text);
      b.type = 'button';
      b.tabIndex = -1;
      b.dataset.delta = String(delta);
      b.addEventListener('mousedown', (e) => e.preventDefault()); // the part keeps the focus
      b.addEventListener('click', () => {
        const part = current || parts[0];
        step(part, delta);
        part.input.focus();
        part.input.select();
      });
      spin.appendChild(b);
    }
    root.appendChild(spin);

    return {
      element: root,
      set(value) {
        const numbers = String(value).split(/\D+/).filter((s) => s !== '');
        parts.forEach((part, i) => {
          if (numbers[i] !== undefined && document.activeElement !== part.input) part.input.value = pad(part, Number(numbers[i]));
        });
        last = text();
      },
      enable(enabled) {
        root.classList.toggle('disabled', !enabled);
        for (const part of parts) part.input.disabled = !enabled;
        for (const b of spin.children) b.disabled = !enabled;
      },
      focus() { if (parts[0]) { parts[0].input.focus(); parts[0].input.select(); } },
      value: text,
    };
  }

  // The one-column list of recorded intervals: {element, setRows(texts)}.
  function intervalList(header) {
    const frame = element('div', 'intervalList');
    frame.dataset.keepScroll = '';
    const table = element('table');
    const head = element('thead');
    const headRow = element('tr');
    headRow.appendChild(element('th', '', header));
    head.appendChild(headRow);
    const body = element('tbody');
    table.append(head, body);
    frame.appendChild(table);
    let shown = null;
    return {
      element: frame,
      setRows(rows) {
        const key = JSON.stringify(rows);
        if (key === shown) return;
        shown = key;
        body.replaceChildren(...rows.map((text) => {
          const tr = element('tr');
          tr.appendChild(element('td', '', text));
          return tr;
        }));
      },
    };
  }

  // Scrolled parts keep their place over a refresh, unless the refresh
  // marked them "reset" (a list that now shows other rows starts at its top).
  function restoreScrolls(scrolls) {
    for (const [e, top] of scrolls) {
      if (e.dataset.keepScroll === 'reset') {
        e.dataset.keepScroll = '';
        e.scrollTop = 0;
      } else {
        e.scrollTop = top;
      }
    }
  }

  // A dialog kind whose view is built once per dialog and then refreshed in
  // place. build(state, api) → {root, refresh(state, fresh)}. The page's
  // dialog.update puts the returned element back where it was; whatever had
  // the focus in it gets it back, with its caret, before anything is drawn.
  function keptView(build) {
    const views = new Map();
    return (state, api) => {
      const kept = views.get(api.id);
      if (kept && kept.root.isConnected) {
        const active = document.activeElement;
        let caret = null;
        try { caret = active ? [active.selectionStart, active.selectionEnd] : null; } catch (e) { caret = null; }
        const scrolls = Array.from(kept.root.querySelectorAll('[data-keep-scroll]')).map((e) => [e, e.scrollTop]);
        kept.refresh(state, false);
        if (active && kept.root.contains(active)) {
          queueMicrotask(() => {
            if (document.activeElement !== active && !active.disabled) active.focus({ preventScroll: true });
            if (caret && caret[0] !== null) { try { active.setSelectionRange(caret[0], caret[1]); } catch (e) { /* not a text field */ } }
            restoreScrolls(scrolls);
          });
        } else {
          queueMicrotask(() => restoreScrolls(scrolls));
        }
        return kept.root;
      }
      for (const [id, view] of views) if (!view.root.isConnected) views.delete(id);
      const view = build(state, api);
      views.set(api.id, view);
      view.refresh(state, true);
      return view.root;
    };
  }

  // A button drawn the dialogs' way.
  function button(text, onClick, className) {
    const b = element('button', className || '', text);
    b.type = 'button';
    b.addEventListener('click', onClick);
    return b;
  }

  // A call whose refusal (the dialog closed meanwhile, a value it cannot use) changes nothing here.
  function quiet(promise) { return promise.catch(() => null); }

  return { create, intervalList, keptView, button, quiet };
})();
