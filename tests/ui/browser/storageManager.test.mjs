// Browser test of the storage manager against a site of the application: the
// real ostrel binary archiving a simulated site, headless Chromium through
// playwright-core. Create, add, format, detail and remove, each through the
// dialogs as a user clicks them. Every wait is bounded.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const BIN = process.env.OSTREL_BIN;
const SITESIM = process.env.OSTREL_SITESIM;
const FIXTURE = process.env.OSTREL_UI_FIXTURE;
const SHOTS = process.env.OSTREL_SCREENSHOTS || path.join(os.tmpdir(), 'ostrel-screenshots');
const WAIT = 20000;

function waitForLine(child, pattern, what) {
  return new Promise((resolve, reject) => {
    let rest = '';
    const timer = setTimeout(() => reject(new Error('no ' + what + ' within ' + WAIT + ' ms')), WAIT);
    child.stdout.on('data', (chunk) => {
      rest += chunk.toString();
      let i;
      while ((i = rest.indexOf('\n')) >= 0) {
        const m = rest.slice(0, i).match(pattern);
        rest = rest.slice(i + 1);
        if (m) { clearTimeout(timer); resolve(m); }
      }
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

describe('the storage manager', () => {
  let dir, folder, site, ostrel, browser, page;

  before(async () => {
    assert.ok(BIN && SITESIM && FIXTURE, 'OSTREL_BIN, OSTREL_SITESIM and OSTREL_UI_FIXTURE must be set');
    fs.mkdirSync(SHOTS, { recursive: true });
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrel-ui-storage-'));
    site = spawn(SITESIM, ['--listen', '127.0.0.1:0'], { stdio: ['ignore', 'pipe', 'inherit'] });
    const sitePort = Number((await waitForLine(site, /^(\d+)$/, 'site port'))[1]);
    const sites = [
      { name: 'Lobby', port: sitePort, always: true, archiveFrom: 1, storages: 1 },
      { name: 'Gate', port: sitePort, always: false, start: '03:00:00', stop: '03:00:01', storages: 1 },
    ];
    fs.writeFileSync(path.join(dir, 'sites.json'), JSON.stringify(sites));
    const fixture = spawnSync(FIXTURE, [dir, path.join(dir, 'sites.json')], { encoding: 'utf8', timeout: WAIT });
    assert.equal(fixture.status, 0, fixture.stderr);
    folder = path.join(dir, 'storages', '0'); // Lobby's group and storage

    const env = { ...process.env, XDG_RUNTIME_DIR: dir, XDG_DOCUMENTS_DIR: path.join(dir, 'docs'), DISPLAY: '', WAYLAND_DISPLAY: '' };
    ostrel = spawn(BIN, ['--listen', '127.0.0.1:0'], { cwd: dir, env, stdio: ['ignore', 'pipe', 'inherit'] });
    const [, address] = await waitForLine(ostrel, /Open (http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+)/, 'address');
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync'],
    });
    page = await (await browser.newContext({ viewport: { width: 1100, height: 560 }, bypassCSP: true })).newPage();
    page.setDefaultTimeout(WAIT);
    await page.goto(address);
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

  const manager = () => page.locator('.dialog.storageManager');
  const listRows = () => manager().locator('.smList tbody tr');
  const button = (key) => manager().locator('button.sm_' + key);
  const cellTexts = () => listRows().evaluateAll((trs) => trs.map((tr) => Array.from(tr.cells).slice(1).map((td) => td.textContent)));
  async function waitRows(count) {
    await page.waitForFunction((n) => document.querySelectorAll('.dialog.storageManager .smList tbody tr').length === n, count);
  }
  async function waitEnabled(key) {
    await page.waitForFunction((k) => {
      const b = document.querySelector('.dialog.storageManager button.sm_' + k);
      return b && !b.disabled && !b.hidden;
    }, key);
  }
  async function answerBox(text, buttonText) {
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.equal(await box.locator('.text').textContent(), text);
    await box.locator('button', { hasText: buttonText }).click();
    await box.waitFor({ state: 'detached' });
  }
  async function choose(name, okText) {
    const chooser = page.locator('.dialog.fileChooser');
    await chooser.waitFor();
    await chooser.locator('input.fcName').fill(name);
    await chooser.locator('button.fcOk', { hasText: okText }).click();
    await chooser.waitFor({ state: 'detached' });
  }

  it('opens on the selected site from the toolbar', async () => {
    const lobby = page.locator('#contents tbody tr', { hasText: 'Lobby' });
    await lobby.waitFor();
    await page.waitForFunction(() => document.querySelector('#toolbar li.storageManager') !== null);
    await lobby.click();
    await page.locator('#toolbar li.storageManager').click();
    await manager().waitFor();
    assert.equal(await manager().locator('.caption').textContent(), 'Storage Manager');
    assert.equal(await manager().locator('select.smSite option:checked').textContent(), 'Lobby');
    assert.deepEqual(await manager().locator('select.smSite option').allTextContents(), ['Gate', 'Lobby']);
    assert.equal(await manager().locator('input.smGroupFile').inputValue(), path.join(folder, 'site.strgx'));
    assert.deepEqual(await manager().locator('.smList thead th:not(.hiddenColumn)').allTextContents(),
                     ['Filename', 'Capacity', 'Period', 'Status']);
    await waitRows(1);
  });

  it('pauses the archiving site and frees the storage buttons once the stop is done', async () => {
    await waitEnabled('pause');
    assert.ok(await button('start').isHidden());
    assert.ok(await button('create').isDisabled());
    await page.screenshot({ path: path.join(SHOTS, 'storage-manager-archiving.png') });
    await button('pause').click();
    await waitEnabled('create');
    await waitEnabled('start');
    assert.ok(await button('pause').isHidden());
    const [[name, capacity, , status]] = await cellTexts();
    assert.deepEqual([name, capacity, status], ['site 1.strg', '64 MB', 'Good']);
  });

  it('shows the full path as the file name tip', async () => {
    await listRows().first().locator('td').nth(1).hover();
    await page.locator('#tooltip:not([hidden])').waitFor();
    assert.equal(await page.locator('#tooltip').textContent(), path.join(folder, 'site 1.strg'));
    await listRows().first().locator('td').nth(4).hover();
    await page.locator('#tooltip').waitFor({ state: 'hidden' });
  });

  it('creates a storage file through the size dialog and the file chooser', async () => {
    await button('create').click();
    const size = page.locator('.dialog.storageSize');
    await size.waitFor();
    const field = size.locator('input.ssSize');
    assert.equal(await field.inputValue(), '4');
    // The field keeps two decimals while typing.
    await field.fill('');
    await field.pressSequentially('4.257');
    assert.equal(await field.inputValue(), '4.25');
    await field.press('Home');
    await field.press('ArrowRight');
    await field.pressSequentially('0');
    assert.equal(await field.inputValue(), '40.25');
    await field.fill('0.4');
    await size.locator('button.ssOk').click();
    await answerBox('The size must be larger than 0.5 GB.', 'OK');
    await page.screenshot({ path: path.join(SHOTS, 'storage-size.png') });
    await field.fill('0.5');
    await size.locator('button.ssOk').click();
    await size.waitFor({ state: 'detached' });
    const chooser = page.locator('.dialog.fileChooser');
    await chooser.waitFor();
    assert.equal(await chooser.locator('input.fcFolder').inputValue(), folder);
    assert.deepEqual(await chooser.locator('li.fcEntry .fcEntryName').allTextContents(), ['site 1.strg']);
    // Up one level and back into the folder by its entry.
    await chooser.locator('button.fcUp').click();
    await page.waitForFunction((f) => document.querySelector('.dialog.fileChooser input.fcFolder').value === f,
                               path.dirname(folder));
    assert.deepEqual(await chooser.locator('li.fcEntry.folder .fcEntryName').allTextContents(), ['0', '1']);
    await page.screenshot({ path: path.join(SHOTS, 'file-chooser.png') });
    await chooser.locator('li.fcEntry.folder', { hasText: '0' }).click();
    await page.waitForFunction((f) => document.querySelector('.dialog.fileChooser input.fcFolder').value === f, folder);
    // A name that would leave the folder is refused by the server.
    await chooser.locator('input.fcName').fill('../escape');
    await chooser.locator('button.fcOk').click();
    await answerBox('../escape\nThe file name is not valid.', 'OK');
    await choose('Lobby extra', 'Save');
    await waitRows(2);
    const rows = await cellTexts();
    assert.deepEqual(rows[1].filter((_, i) => i !== 2), ['Lobby extra.strg', '500 MB', 'Good']);
    assert.equal(fs.statSync(path.join(folder, 'Lobby extra.strg')).size, 500170752);
  });

  it('adds an existing file and formats it for the site', async () => {
    const spare = path.join(folder, 'spare.strg');
    fs.writeFileSync(spare, '');
    fs.truncateSync(spare, 500000000);
    await button('add').click();
    const chooser = page.locator('.dialog.fileChooser');
    await chooser.waitFor();
    await chooser.locator('li.fcEntry', { hasText: 'spare.strg' }).click();
    assert.equal(await chooser.locator('input.fcName').inputValue(), 'spare.strg');
    await chooser.locator('button.fcOk', { hasText: 'Add' }).click();
    await waitRows(3);
    assert.equal((await cellTexts())[2][3], 'Not Formatted');
    await listRows().nth(2).click();
    await waitEnabled('format');
    assert.ok(await button('detail').isDisabled());
    await button('format').click();
    await answerBox('Do you want to format storages? You will not able to restore any more.', 'Yes');
    await page.waitForFunction(() => {
      const rows = document.querySelectorAll('.dialog.storageManager .smList tbody tr');
      return rows.length === 3 && rows[2].cells[4].textContent === 'Good';
    });
    await page.screenshot({ path: path.join(SHOTS, 'storage-manager.png') });
  });

  it('shows the recorded intervals of one storage', async () => {
    await listRows().first().click();
    await waitEnabled('detail');
    await listRows().nth(1).click({ modifiers: ['Control'] });
    await page.waitForFunction(() => document.querySelector('.dialog.storageManager button.sm_detail').disabled);
    await listRows().first().click();
    await waitEnabled('detail');
    await button('detail').click();
    const detail = page.locator('.dialog.storageDetail');
    await detail.waitFor();
    assert.equal(await detail.locator('.caption').textContent(), 'Storage Detail');
    assert.equal(await detail.locator('input.sdFile').inputValue(), path.join(folder, 'site 1.strg'));
    assert.match(await detail.locator('.sdUsage').textContent(), /^\d+ MB \/ 64 MB$/);
    const intervals = await detail.locator('.sdList tbody td:not(.hiddenColumn)').allTextContents();
    assert.ok(intervals.length >= 1);
    for (const text of intervals) assert.match(text, /^\d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d ~ \d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d$/);
    await page.screenshot({ path: path.join(SHOTS, 'storage-detail.png') });
    await detail.locator('button.sdOk').click();
    await detail.waitFor({ state: 'detached' });
  });

  it('removes a storage and deletes its file when asked', async () => {
    await listRows().nth(1).click();
    await waitEnabled('remove');
    await button('remove').click();
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.ok(await box.locator('input[type=checkbox]').isChecked());
    assert.match(await box.locator('label.check').textContent(), /delete the storage file from the system/);
    await page.screenshot({ path: path.join(SHOTS, 'storage-remove-question.png') });
    await answerBox('Do you really want to remove the storage from storage group?', 'Yes');
    await waitRows(2);
    assert.deepEqual((await cellTexts()).map((r) => r[0]), ['site 1.strg', 'spare.strg']);
    assert.ok(!fs.existsSync(path.join(folder, 'Lobby extra.strg')));
  });

  it('starts archiving again and closes', async () => {
    await button('start').click();
    await waitEnabled('pause');
    await manager().locator('button.smClose').click();
    await manager().waitFor({ state: 'detached' });
    await page.waitForFunction(() => {
      const tr = Array.from(document.querySelectorAll('#contents tbody tr')).find((r) => r.cells[1].textContent === 'Lobby');
      return tr && /\/ 564 MB$/.test(tr.querySelector('span.usage').textContent);
    });
  });
});
