// The decimal entry field for storage sizes in GB (the storage size dialog and
// the schedule wizard's storage page): at most two decimals while typing.
// The server re-checks the text it gets (CFloatEdit::parse); this filter only
// keeps typing sensible, with the same rule as CFloatEdit::accepts.
//
// Use: const input = element('input'); FloatEdit.attach(input);
'use strict';

const FloatEdit = {
  BACKSPACE: '\b',

  // Whether `ch` may be typed into `text` whose selection is [start, end).
  accepts(text, start, end, ch) {
    if (ch === FloatEdit.BACKSPACE) return true;
    const s = Math.min(start, end, text.length);
    const e = Math.min(Math.max(start, end), text.length);
    const remaining = text.slice(0, s) + text.slice(e);
    const dot = remaining.indexOf('.');
    if (ch === '.') return dot < 0;
    if (!(ch >= '0' && ch <= '9') || ch.length !== 1) return false;
    if (dot < 0) return true;
    if (remaining.length - dot - 1 < 2) return true;
    // Two decimals already: only a digit typed into the whole-number part.
    return text.length - e > 2;
  },

  // Whether every character of `inserted` passes the filter when typed in turn.
  acceptsAll(text, start, end, inserted) {
    for (const ch of inserted) {
      if (!FloatEdit.accepts(text, start, end, ch)) return false;
      text = text.slice(0, Math.min(start, end)) + ch + text.slice(Math.max(start, end));
      start = end = Math.min(start, end) + 1;
    }
    return true;
  },

  attach(input) {
    input.setAttribute('inputmode', 'decimal');
    input.setAttribute('autocomplete', 'off');
    input.spellcheck = false;
    input.addEventListener('beforeinput', (e) => {
      const type = e.inputType || '';
      if (type.startsWith('delete') || type.startsWith('history')) return; // Backspace, Delete, undo
      let inserted = e.data;
      if ((inserted === null || inserted === undefined) && e.dataTransfer) inserted = e.dataTransfer.getData('text/plain');
      if (inserted === null || inserted === undefined ||
          !FloatEdit.acceptsAll(input.value, input.selectionStart, input.selectionEnd, inserted)) {
        e.preventDefault();
      }
    });
    return input;
  },
};
