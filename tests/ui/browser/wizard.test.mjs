// Browser test of the schedule wizard: the real ostrel binary with an empty
// app.db, a simulated site on a port the wizard accepts, headless Chromium.
// The main path: the four pages, "Load" showing the site's recordings, the
// storage page's "..." and spin, Finish, and the new site archiving. Every
// wait is bounded; the storages are two of 0.5 GB.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const BIN = process.env.OSTREL_BIN;
const SITESIM = process.env.OSTREL_SITESIM;
const SHOTS = process.env.OSTREL_SCREENSHOTS || path.join(os.tmpdir(), 'ostrel-screenshots');
const WAIT = 20000;

function lines(child, onLine) {
  let rest = '';
  child.stdout.on('data', (chunk) => {
    rest += chunk.toString();
    let i;
    while ((i = rest.indexOf('\n')) >= 0) {
      onLine(rest.slice(0, i));
      rest = rest.slice(i + 1);
    }
  });
}

function waitForLine(child, pattern, what) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no ' + what + ' within ' + WAIT + ' ms')), WAIT);
    lines(child, (line) => {
      const m = line.match(pattern);
      if (m) { clearTimeout(timer); resolve(m); }
    });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(what + ': exited with ' + code)); });
  });
}

function exited(child, ms) {
  return new Promise((resolve, reject) => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    const timer = setTimeout(() => reject(new Error('did not exit within ' + ms + ' ms')), ms);
    child.on('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

// A free loopback port within the wizard's range (1501 to 32001); the
// system's own choice of a free port lies above it.
async function freePortInRange() {
  for (let i = 0; i < 100; i++) {
    const port = 20000 + Math.floor(Math.random() * 12000);
    const free = await new Promise((resolve) => {
      const server = net.createServer();
      server.once('error', () => resolve(false));
      server.listen(port, '127.0.0.1', () => server.close(() => resolve(true)));
    });
    if (free) return port;
  }
  throw new Error('no free port in 20000-32000');
}

describe('the schedule wizard', () => {
  let dir, site, sitePort, ostrel, browser, page, storages;

  before(async () => {
    assert.ok(BIN && SITESIM, 'OSTREL_BIN and OSTREL_SITESIM must be set');
    fs.mkdirSync(SHOTS, { recursive: true });
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrel-wizard-ui-'));
    storages = path.join(dir, 'docs', 'Ostrel Storages');
    for (let attempt = 0; ; attempt++) {
      sitePort = await freePortInRange();
      site = spawn(SITESIM, ['--listen', '127.0.0.1:' + sitePort], { stdio: ['ignore', 'pipe', 'ignore'] });
      try {
        await waitForLine(site, /^(\d+)$/, 'site port');
        break;
      } catch (e) {
        if (attempt >= 5) throw e; // taken meanwhile: another port
      }
    }
    const env = { ...process.env, XDG_RUNTIME_DIR: dir, XDG_DOCUMENTS_DIR: path.join(dir, 'docs'), DISPLAY: '', WAYLAND_DISPLAY: '' };
    ostrel = spawn(BIN, ['--listen', '127.0.0.1:0'], { cwd: dir, env, stdio: ['ignore', 'pipe', 'inherit'] });
    const [, address] = await waitForLine(ostrel, /Open (http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+)/, 'address');
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync'],
    });
    page = await (await browser.newContext({ viewport: { width: 1000, height: 560 }, bypassCSP: true })).newPage();
    page.setDefaultTimeout(WAIT);
    await page.goto(address);
    await page.locator('#toolbar li.wizard').waitFor();
  });

  after(async () => {
    if (browser) await browser.close();
    for (const child of [ostrel, site]) {
      if (child && child.exitCode === null) {
        child.kill('SIGTERM');
        await exited(child, 15000).catch(() => child.kill('SIGKILL'));
      }
    }
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  const wizard = () => page.locator('.dialog.scheduleWizard');
  const field = (name) => wizard().locator('input[name="' + name + '"]');
  const caption = () => wizard().locator('.caption').textContent();
  async function answerBox(expected, button) {
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.equal(await box.locator('.caption').textContent(), 'Ostrel');
    assert.equal(await box.locator('.text').textContent(), expected);
    await box.locator('button', { hasText: button }).click();
    await box.waitFor({ state: 'detached' });
  }
  async function waitValue(name, value) {
    await page.waitForFunction(([n, v]) => {
      const input = document.querySelector('.dialog.scheduleWizard input[name="' + n + '"]');
      return input && input.value === v;
    }, [name, value]);
  }

  it('page 1 checks the port and keeps what is typed', async () => {
    await page.locator('#toolbar li.wizard').click();
    await wizard().waitFor();
    assert.equal(await caption(), 'Schedule Wizard : 1. Site');
    assert.equal(await field('name').inputValue(), 'New Site');
    assert.equal(await field('port').inputValue(), '10102');
    assert.ok(await wizard().locator('button.wzNext').isDisabled(), 'Next waits for an address and a user');
    await page.screenshot({ path: path.join(SHOTS, 'wizard-1-site.png') });

    await field('name').fill('Lobby');
    await field('address').fill('127.0.0.1');
    await field('user').fill('admin');
    await field('password').fill('admin');
    await field('port').fill('1500');
    await page.waitForFunction(() => !document.querySelector('.dialog.scheduleWizard button.wzNext').disabled);
    await wizard().locator('button.wzNext').click();
    await page.locator('.dialog.messageBox').waitFor();
    await page.screenshot({ path: path.join(SHOTS, 'wizard-1-port-refused.png') });
    await answerBox('Playback port must be between 1501 ~ 32001.', 'OK');
    // The port gets the focus with its text selected.
    await page.waitForFunction(() => {
      const input = document.activeElement;
      return input && input.name === 'port' && input.selectionStart === 0 && input.selectionEnd === 4;
    });
    await page.keyboard.type(String(sitePort));
    assert.equal(await field('password').inputValue(), 'admin', 'the password stays in its field');
    await wizard().locator('button.wzNext').click();
    await page.waitForFunction(() => document.querySelector('.dialog.scheduleWizard .caption').textContent.includes('2.'));
  });

  it('page 2 loads the site\'s recordings merged, and First/Specific set the time', async () => {
    assert.equal(await caption(), 'Schedule Wizard : 2. Recording Data to Archive');
    assert.equal(await wizard().locator('.wzList th').textContent(), 'Recording Interval');
    assert.ok(await field('time').isDisabled());
    await wizard().locator('button.wzLoad').click();
    await wizard().locator('.wzList tbody tr').nth(2).waitFor();
    assert.deepEqual(await wizard().locator('.wzList tbody td').allTextContents(), [
      '2024/01/01 10:00:00 ~ 2024/01/01 10:09:59',
      '2024/01/01 10:15:00 ~ 2024/01/01 10:29:59',
      '2024/01/01 11:00:00 ~ 2024/01/01 11:59:59',
    ]);
    assert.equal(await wizard().locator('.wzStatus').textContent(), '');
    await wizard().locator('label.wzRadio', { hasText: 'Last' }).click();
    await waitValue('time', '2024/01/01 11:59:59');
    await wizard().locator('label.wzRadio', { hasText: 'Specific' }).click();
    await page.waitForFunction(() => !document.querySelector('.dialog.scheduleWizard input[name="time"]').disabled);
    // Up on the minutes changes only the minutes, in the field's own format.
    await field('time').click();
    await field('time').evaluate((input) => input.setSelectionRange(14, 14));
    await page.keyboard.press('ArrowUp');
    await waitValue('time', '2024/01/01 11:00:59'); // wraps within its part, as a picker does
    await page.screenshot({ path: path.join(SHOTS, 'wizard-2-recordings.png') });
    await wizard().locator('label.wzRadio', { hasText: 'First' }).click();
    await waitValue('time', '2024/01/01 10:00:00');
    await wizard().locator('button.wzNext').click();
    await page.waitForFunction(() => document.querySelector('.dialog.scheduleWizard .caption').textContent.includes('3.'));
  });

  it('page 3 enables the times only for the scheduler', async () => {
    assert.equal(await caption(), 'Schedule Wizard : 3. Archiving Schedule');
    assert.ok(await field('start').isDisabled());
    assert.equal(await field('start').inputValue(), '00:00:00');
    assert.equal(await field('stop').inputValue(), '23:59:59');
    assert.ok(await field('overwrite').isChecked());
    await wizard().locator('label.wzRadio', { hasText: 'Auto Connection Scheduler' }).click();
    await page.waitForFunction(() => !document.querySelector('.dialog.scheduleWizard input[name="start"]').disabled);
    await page.screenshot({ path: path.join(SHOTS, 'wizard-3-schedule.png') });
    await wizard().locator('label.wzRadio', { hasText: 'Always' }).click();
    await page.waitForFunction(() => document.querySelector('.dialog.scheduleWizard input[name="start"]').disabled);
    await wizard().locator('button.wzNext').click();
    await page.waitForFunction(() => document.querySelector('.dialog.scheduleWizard .caption').textContent.includes('4.'));
  });

  it('page 4 proposes the group file, chooses another with "...", totals and finishes', async () => {
    assert.equal(await caption(), 'Schedule Wizard : 4. Storage Group');
    assert.equal(await field('path').inputValue(), path.join(storages, 'Lobby', 'Lobby.strgx'));
    assert.equal(await field('total').inputValue(), '4.00');
    assert.ok(await wizard().locator('button.wzNext').isHidden());

    await wizard().locator('button.wzBrowse').click();
    const chooser = page.locator('.dialog.fileChooser');
    await chooser.waitFor();
    await chooser.locator('input.fcName').fill('Lobby group');
    await chooser.locator('button.fcOk').click();
    await chooser.waitFor({ state: 'detached' });
    await waitValue('path', path.join(storages, 'Lobby group.strgx'));

    // The size field takes at most two decimals; the spin counts up.
    await field('size').fill('');
    await field('size').pressSequentially('0.555');
    await waitValue('size', '0.55');
    await field('size').fill('0.5');
    await wizard().locator('button.wzSpinUp').last().click();
    await waitValue('count', '2');
    await waitValue('total', '1.00');
    await page.screenshot({ path: path.join(SHOTS, 'wizard-4-storage.png') });

    await wizard().locator('button.wzFinish').click();
    const progress = wizard().locator('.wzProgress:not([hidden])');
    if (await progress.waitFor({ timeout: 3000 }).then(() => true, () => false)) {
      await page.screenshot({ path: path.join(SHOTS, 'wizard-4-progress.png') }).catch(() => {});
    }
    await wizard().waitFor({ state: 'detached' });
    assert.equal(await page.locator('.dialog.messageBox').count(), 0);
    assert.ok(fs.existsSync(path.join(storages, 'Lobby group.strgx')));
    assert.equal(fs.statSync(path.join(storages, 'Lobby 2.strg')).size, 500170752);
  });

  it('the new site archives', async () => {
    const row = page.locator('#contents tbody tr', { hasText: 'Lobby' });
    await row.waitFor();
    await page.waitForFunction(() => {
      const tr = Array.from(document.querySelectorAll('#contents tbody tr')).find((r) => r.cells[1].textContent === 'Lobby');
      return tr && tr.cells[0].getAttribute('status') === '1';
    });
    assert.equal(await row.locator('td.address').textContent(), '127.0.0.1');
    assert.match(await row.locator('span.usage').textContent(), /^\d+ MB \/ 1 GB$/);
    await page.screenshot({ path: path.join(SHOTS, 'wizard-5-archiving.png') });
  });
});
