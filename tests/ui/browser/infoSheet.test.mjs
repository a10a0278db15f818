// Browser tests of the info sheet and the reschedule dialog: the real ostrel
// against simulated sites, headless Chromium. A site's address is changed in
// its sheet (with a password only the new site accepts) and archiving starts
// again there; a site is rescheduled from a time picked in the reschedule
// dialog, and the log viewer shows the "Scheduled" entry with that time.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { Harness, freePortInRange, pickerText, typeIntoPicker, WAIT } from './infoHarness.mjs';

const NEW_PASSWORD = 'B-secret-9';

describe('the info sheet and the reschedule dialog', () => {
  const h = new Harness();
  let page, first, second;

  before(async () => {
    // The same port on two loopback addresses: changing only the address moves the site.
    const port = await freePortInRange(['127.0.0.1', '127.0.0.2']);
    first = await h.sitesim('127.0.0.1', port);
    second = await h.sitesim('127.0.0.2', port, ['--password', NEW_PASSWORD]);
    h.prepare([
      { name: 'Lobby', port, always: true, archiveFrom: 1 },
      { name: 'Dock', port, always: true, archiveFrom: 2 },
    ]);
    page = await h.start();
  });

  after(async () => {
    await h.stop();
  });

  const sheet = () => page.locator('.dialog.infoSheet');
  const field = (name) => sheet().locator('input.' + name);

  it('opens a site\'s sheet with its values and the password as a placeholder only', async () => {
    await h.waitStatus('Lobby', 1);
    await h.row('Lobby').dblclick();
    await sheet().waitFor();
    assert.equal(await sheet().locator('.caption').textContent(), 'Info');
    assert.deepEqual(await sheet().locator('button.isTab').allTextContents(), ['Site', 'Archiving Schedule']);
    assert.equal(await field('isName').inputValue(), 'Lobby');
    assert.equal(await field('isAddress').inputValue(), '127.0.0.1');
    assert.equal(await field('isPort').inputValue(), String(first.port));
    assert.equal(await field('isUser').inputValue(), 'admin');
    const placeholder = await field('isPassword').inputValue();
    assert.equal(placeholder.length, 12);
    assert.notEqual(placeholder, 'admin');
    assert.equal(await field('isPassword').getAttribute('type'), 'password');
    await page.waitForFunction(() => document.querySelector('.infoSheet input.isStatus').value === 'Archiving');
    assert.match(await field('isUsage').inputValue(), /^\d+ MB \/ 64 MB$/);
    assert.ok(await sheet().locator('button.isApply').isDisabled());
    await h.shot('info-site.png');
    await sheet().locator('button.isTab', { hasText: 'Archiving Schedule' }).click();
    assert.ok(await sheet().locator('input[type=radio]').first().isChecked());
    assert.ok(await sheet().locator('.isStart input.pickerPart').first().isDisabled());
    await h.shot('info-schedule.png');
    await sheet().locator('button.isTab', { hasText: 'Site' }).click();
  });

  it('refuses a bad port with its message and keeps the sheet', async () => {
    await field('isPort').fill('1500');
    // Apply is enabled by the native side once it has the change.
    await page.waitForFunction(() => {
      const apply = document.querySelector('.dialog.infoSheet button.isApply');
      return apply && !apply.disabled;
    }, null, { timeout: WAIT });
    await sheet().locator('button.isApply').click();
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.equal(await box.locator('.text').textContent(), 'Playback port must be between 1501 ~ 32001.');
    await h.shot('info-refusal.png');
    await box.locator('button', { hasText: 'OK' }).click();
    await box.waitFor({ state: 'detached' });
    // The port gets the focus with its text selected.
    await page.waitForFunction(() => document.activeElement && document.activeElement.classList.contains('isPort'));
    await field('isPort').fill(String(first.port));
  });

  it('a new address and password stop the site, and it archives again at the new address', async () => {
    await field('isAddress').fill('127.0.0.2');
    await field('isPassword').click();
    await field('isPassword').pressSequentially(NEW_PASSWORD);
    assert.equal(await field('isPassword').inputValue(), NEW_PASSWORD); // the placeholder went with the first key
    await sheet().locator('button.isOK').click();
    await sheet().waitFor({ state: 'detached' });
    await page.waitForFunction(() => Array.from(document.querySelectorAll('#contents tbody tr'))
      .some((r) => r.cells[1].textContent === 'Lobby' && r.cells[2].textContent === '127.0.0.2'));
    // The second site only lets the new password in.
    const deadline = Date.now() + WAIT;
    while (!second.output.some((l) => l.includes('"admin" logged in')) && Date.now() < deadline) {
      await new Promise((r) => setTimeout(r, 100));
    }
    assert.ok(second.output.some((l) => l.includes('"admin" logged in')), second.output.join('\n'));
    await h.waitStatus('Lobby', 1);

    // Opened again: the placeholder, never the password.
    await h.row('Lobby').dblclick();
    await sheet().waitFor();
    assert.equal((await field('isPassword').inputValue()).length, 12);
    assert.notEqual(await field('isPassword').inputValue(), NEW_PASSWORD);
    const html = await page.evaluate(() => document.documentElement.outerHTML +
      Array.from(document.querySelectorAll('input')).map((i) => i.value).join('|'));
    assert.ok(!html.includes(NEW_PASSWORD));
    await sheet().locator('button.isCancel').click();
    await sheet().waitFor({ state: 'detached' });
  });

  it('reschedules a site from a time picked among its recorded intervals', async () => {
    await h.waitStatus('Dock', 1);
    await h.row('Dock').dblclick();
    await sheet().waitFor();
    await sheet().locator('button.isReschedule').click();
    const dialog = page.locator('.dialog.reschedule');
    await dialog.waitFor();
    assert.equal(await dialog.locator('.caption').textContent(), 'Reschedule');
    assert.equal(await dialog.locator('.intervalList th').textContent(), 'Recording Interval');
    await dialog.locator('button.rsLoad').click();
    await dialog.locator('.intervalList tbody tr').first().waitFor();
    const rows = await dialog.locator('.intervalList tbody td').allTextContents();
    for (const text of rows) assert.match(text, /^\d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d ~ \d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d$/);
    assert.equal(await dialog.locator('.rsStatus').textContent(), '');
    const picker = dialog.locator('.picker');
    // "Last" puts the end of the last interval into the picker.
    await dialog.locator('label', { hasText: 'Last' }).locator('input').check();
    await page.waitForFunction((end) => {
      const p = document.querySelector('.reschedule .picker');
      return Array.from(p.querySelectorAll('input.pickerPart, .pickerSeparator')).map((n) => (n.tagName === 'INPUT' ? n.value : n.textContent)).join('') === end;
    }, rows[rows.length - 1].split(' ~ ')[1]);
    assert.ok(await picker.locator('input').first().isDisabled());
    // "Specific" with a time typed in: a minute after the last interval began.
    await dialog.locator('label', { hasText: 'Specific' }).locator('input').check();
    await page.waitForFunction(() => !document.querySelector('.reschedule .picker input').disabled);
    const lastStart = rows[rows.length - 1].split(' ~ ')[0];
    const [date, clock] = lastStart.split(' ');
    const [hh, mm] = clock.split(':').map(Number);
    const chosen = date + ' ' + String((hh + Math.floor((mm + 1) / 60)) % 24).padStart(2, '0') + ':' +
      String((mm + 1) % 60).padStart(2, '0') + ':00';
    await typeIntoPicker(picker, chosen);
    assert.equal(await pickerText(picker), chosen);
    // The spin steps the part last typed in (the second) and back.
    await picker.locator('button.pickerStep[data-delta="1"]').click();
    assert.equal((await pickerText(picker)).slice(-2), '01');
    await picker.locator('button.pickerStep[data-delta="-1"]').click();
    assert.equal(await pickerText(picker), chosen);
    await h.shot('reschedule.png');
    await dialog.locator('button.rsOK').click();
    await dialog.waitFor({ state: 'detached' });
    await page.waitForFunction((t) => document.querySelector('.infoSheet .isPending').textContent === '(Scheduled from ' + t + ')', chosen);
    await h.shot('info-pending.png');
    await sheet().locator('button.isApply').click();
    await page.waitForFunction(() => document.querySelector('.infoSheet .isPending').textContent === '');
    await sheet().locator('button.isOK').click();
    await sheet().waitFor({ state: 'detached' });

    // The first frame archived from there logs "Scheduled" with the chosen time.
    await page.locator('#toolbar li.log').click();
    const log = page.locator('.dialog.logViewer');
    await log.waitFor();
    const siteIndex = await log.locator('select.lgSite option', { hasText: 'Dock' }).getAttribute('value');
    await log.locator('select.lgSite').selectOption(siteIndex);
    // Archiving has to reach the site, list its sections and play the first frame: allow for a busy machine.
    const deadline = Date.now() + 3 * WAIT;
    let messages = [];
    while (Date.now() < deadline) {
      await log.locator('button.lgSearch').click();
      await page.waitForTimeout(200);
      messages = await log.locator('.lgList tbody td:nth-child(5)').allTextContents();
      if (messages.includes('Scheduled : ' + chosen)) break;
      const box = page.locator('.dialog.messageBox');
      if (await box.count()) await box.locator('button').click();
      await page.waitForTimeout(300);
    }
    assert.ok(messages.includes('Scheduled : ' + chosen), messages.join('\n'));
    await page.keyboard.press('Escape');
    await log.waitFor({ state: 'detached' });
  });

  it('a load the site does not answer says so in the dialog', async () => {
    // Dock's site goes away: its connections are refused from now on.
    first.child.kill('SIGTERM');
    await new Promise((resolve) => first.child.once('exit', resolve));
    await h.row('Dock').dblclick();
    await sheet().waitFor();
    await sheet().locator('button.isReschedule').click();
    const dialog = page.locator('.dialog.reschedule');
    await dialog.waitFor();
    await dialog.locator('button.rsLoad').click();
    await page.waitForFunction(() => document.querySelector('.reschedule .rsStatus').textContent === 'Cannot connect to the site..');
    await h.shot('reschedule-failed.png');
    await dialog.locator('button.rsCancel').click();
    await sheet().locator('button.isCancel').click();
    assert.deepEqual(h.pageErrors, []);
  });
});
