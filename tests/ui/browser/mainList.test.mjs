// Browser tests of the main list page: the real ostrel binary in a temporary
// working directory on a free loopback port, a simulated site, and headless
// Chromium (Debian's) driven by playwright-core. Every wait is bounded.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const BIN = process.env.OSTREL_BIN;
const SITESIM = process.env.OSTREL_SITESIM;
const FIXTURE = process.env.OSTREL_UI_FIXTURE;
const SHOTS = process.env.OSTREL_SCREENSHOTS || path.join(os.tmpdir(), 'ostrel-screenshots');
const WAIT = 20000;
const NAUGHTY = "O'Brien\\Lab <b>x</b>";

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

function freeClosedPort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function exited(child, ms) {
  return new Promise((resolve, reject) => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    const timer = setTimeout(() => reject(new Error('did not exit within ' + ms + ' ms')), ms);
    child.on('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

function request(port, { method = 'GET', pathName = '/', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path: pathName, headers, timeout: 5000 }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', reject);
    req.on('timeout', () => req.destroy(new Error('timeout')));
    if (body) req.write(body);
    req.end();
  });
}

describe('the main list page', () => {
  let dir, site, ostrel, browser, page, address, port, token, ostrelOutput = '';
  const env = {};

  before(async () => {
    assert.ok(BIN && SITESIM && FIXTURE, 'OSTREL_BIN, OSTREL_SITESIM and OSTREL_UI_FIXTURE must be set');
    fs.mkdirSync(SHOTS, { recursive: true });
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrel-ui-'));
    site = spawn(SITESIM, ['--listen', '127.0.0.1:0', '--growing', '--anchor-now'], { stdio: ['ignore', 'pipe', 'inherit'] });
    const sitePort = Number((await waitForLine(site, /^(\d+)$/, 'site port'))[1]);
    const closedPort = await freeClosedPort();
    const sites = [
      { name: 'Lobby', port: sitePort, always: true, archiveFrom: 1 },
      { name: 'Gate', port: closedPort, always: true, archiveFrom: 1 },
      // A one-second period at 03:00:00: it stays stopped until started by hand.
      { name: NAUGHTY, port: sitePort, always: false, start: '03:00:00', stop: '03:00:01', archiveFrom: 2, overwrite: false },
      { name: 'Annex', port: sitePort, always: true, group: false },
    ];
    fs.writeFileSync(path.join(dir, 'sites.json'), JSON.stringify(sites));
    const fixture = spawnSync(FIXTURE, [dir, path.join(dir, 'sites.json')], { encoding: 'utf8', timeout: WAIT });
    assert.equal(fixture.status, 0, fixture.stderr);

    Object.assign(env, process.env, { XDG_RUNTIME_DIR: dir, XDG_DOCUMENTS_DIR: path.join(dir, 'docs'), DISPLAY: '', WAYLAND_DISPLAY: '' });
    ostrel = spawn(BIN, ['--listen', '127.0.0.1:0'], { cwd: dir, env, stdio: ['ignore', 'pipe', 'inherit'] });
    lines(ostrel, (line) => { ostrelOutput += line + '\n'; });
    const m = await waitForLine(ostrel, /Open (http:\/\/127\.0\.0\.1:(\d+)\/\?token=([0-9a-f]+))/, 'address');
    [, address, port, token] = m;
    port = Number(port);

    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync'],
    });
    page = await (await browser.newContext({ viewport: { width: 1100, height: 420 }, bypassCSP: true })).newPage();
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

  const row = (name) => page.locator('#contents tbody tr', { hasText: name });
  const statusOf = (name) => row(name).locator('td.indicator').getAttribute('status');
  async function waitStatus(name, status) {
    await page.waitForFunction(([n, s]) => {
      const tr = Array.from(document.querySelectorAll('#contents tbody tr')).find((r) => r.cells[1].textContent === n);
      return tr && tr.cells[0].getAttribute('status') === s;
    }, [name, String(status)], { timeout: WAIT });
  }
  async function openMenu(name) {
    await row(name).click({ button: 'right' });
    await page.locator('ul.menu').waitFor();
    const items = await page.locator('ul.menu li').evaluateAll((lis) => lis.map((li) => [li.textContent, li.className.includes('enabled')]));
    return Object.fromEntries(items);
  }
  async function closeMenu() {
    await page.keyboard.press('Escape');
    await page.locator('ul.menu').waitFor({ state: 'detached' });
  }

  it('the address sets the cookie and drops the token from the address bar', async () => {
    assert.equal(new URL(page.url()).search, '');
    const cookies = await page.context().cookies();
    const cookie = cookies.find((c) => c.name === 'ostrel_token_' + port);
    assert.ok(cookie && cookie.httpOnly && cookie.sameSite === 'Strict');
  });

  it('shows every site with its status icon, usage and period', async () => {
    await page.locator('#contents tbody tr').nth(3).waitFor();
    await waitStatus('Lobby', 1);
    await waitStatus('Gate', 3);
    await waitStatus(NAUGHTY, 2);
    await waitStatus('Annex', 4);
    const images = await page.locator('#contents tbody td.indicator').evaluateAll((tds) =>
      Object.fromEntries(tds.map((td) => [td.parentElement.cells[1].textContent, td.style.backgroundImage])));
    assert.match(images.Lobby, /img\/status_archiving\.png/);
    assert.match(images.Gate, /img\/status_failed\.png/);
    assert.match(images[NAUGHTY], /img\/status_stopped\.png/);
    assert.match(images.Annex, /img\/status_not_archivable\.png/);
    assert.equal(await row('Lobby').locator('td.indicator').getAttribute('title'), 'indicator ' + await row('Lobby').getAttribute('id'));
    assert.match(await row('Lobby').locator('span.usage').textContent(), /^\d+ MB \/ 64 MB$/);
    assert.equal(await row('Annex').locator('span.usage').textContent(), '0 MB / 0 MB');
    assert.equal(await row('Annex').locator('p.usageBar').evaluate((p) => p.style.width), '0px');
    await page.waitForFunction(() => {
      const tr = Array.from(document.querySelectorAll('#contents tbody tr')).find((r) => r.cells[1].textContent === 'Lobby');
      return /^\d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d$/.test(tr.querySelector('span.period').textContent);
    });
    assert.equal(await row('Gate').locator('span.period').textContent(), '');
    assert.match(await row('Lobby').locator('img.overwrite').getAttribute('src'), /hdd_recycle_on\.png$/);
    assert.match(await row(NAUGHTY).locator('img.overwrite').getAttribute('src'), /hdd_recycle_off\.png$/);
    await page.screenshot({ path: path.join(SHOTS, 'main-list.png') });
  });

  it('shows a name with quotes, backslashes and markup literally', async () => {
    const name = row(NAUGHTY).locator('div.ellipsis_name');
    assert.equal(await name.textContent(), NAUGHTY);
    assert.equal(await name.locator('b').count(), 0);
  });

  it('writes usage in GB from 1000 MB on, with a bar proportional to it', async () => {
    const [usage, width] = await page.evaluate(() => {
      schedule.addSchedule(9999, 'Synthetic', '10.0.0.1', 2, 1500, 4000, true, 2, '');
      const tr = document.getElementById('9999');
      const result = [tr.querySelector('span.usage').textContent, tr.querySelector('p.usageBar').style.width];
      schedule.deleteSchedule(9999);
      return result;
    });
    assert.equal(usage, '1.5 GB / 4 GB');
    assert.equal(width, '47px');
  });

  it('sorts by each column both ways', async () => {
    const names = () => page.locator('#contents tbody tr td.name').allTextContents();
    const header = (c) => page.locator('#header .visibleHeader td.' + c);
    await header('name').dispatchEvent('mousedown');
    assert.deepEqual(await names(), ['Annex', 'Gate', 'Lobby', NAUGHTY]);
    await header('name').dispatchEvent('mousedown');
    assert.deepEqual(await names(), [NAUGHTY, 'Lobby', 'Gate', 'Annex']);
    await header('indicator').dispatchEvent('mousedown');
    assert.deepEqual(await page.locator('#contents tbody td.indicator').evaluateAll((t) => t.map((x) => x.getAttribute('status'))), ['1', '2', '3', '4']);
    await header('indicator').dispatchEvent('mousedown');
    assert.deepEqual(await page.locator('#contents tbody td.indicator').evaluateAll((t) => t.map((x) => x.getAttribute('status'))), ['4', '3', '2', '1']);
    await header('address').dispatchEvent('mousedown');
    const addresses = await page.locator('#contents tbody td.address').allTextContents();
    assert.deepEqual(addresses, [...addresses].sort());
    await header('address').dispatchEvent('mousedown');
    assert.deepEqual(await page.locator('#contents tbody td.address').allTextContents(), [...addresses].reverse());
    await header('name').dispatchEvent('mousedown');
  });

  it('enables the toolbar once loaded, selects rows and clears the selection on the empty page', async () => {
    const classes = await page.locator('#toolbar li').evaluateAll((lis) => lis.map((li) => li.className));
    assert.deepEqual(classes, ['wizard', 'seperator', 'start', 'stop', 'seperator', 'storageManager', 'log']);
    await row('Gate').click();
    assert.equal(await row('Gate').evaluate((tr) => getComputedStyle(tr).backgroundColor), 'rgb(223, 235, 255)');
    await row('Lobby').click();
    assert.equal(await row('Gate').evaluate((tr) => getComputedStyle(tr).backgroundColor), 'rgb(255, 255, 255)');
    await page.mouse.click(500, 400);
    assert.equal(await row('Lobby').evaluate((tr) => getComputedStyle(tr).backgroundColor), 'rgb(255, 255, 255)');
  });

  it('resolves the tooltips on the native side', async () => {
    await row('Lobby').locator('td.indicator').hover();
    await page.locator('#tooltip:not([hidden])').waitFor();
    assert.equal(await page.locator('#tooltip').textContent(), 'Archiving');
    await page.mouse.move(600, 400);
    await row('Lobby').locator('div.statusBar').hover({ position: { x: 40, y: 5 } });
    await page.waitForFunction(() => document.getElementById('tooltip').textContent.startsWith('Archiving speed'));
    await page.mouse.move(600, 400);
    assert.equal(await row('Lobby').locator('td.indicator').getAttribute('title'), 'indicator ' + await row('Lobby').getAttribute('id'));
  });

  it('enables the context menu items by the site state', async () => {
    let items = await openMenu('Lobby');
    assert.deepEqual(items, { Start: false, Stop: true, Delete: false, 'Info..': true });
    await page.screenshot({ path: path.join(SHOTS, 'context-menu.png') });
    await closeMenu();
    items = await openMenu('Annex');
    assert.deepEqual(items, { Start: false, Stop: false, Delete: true, 'Info..': true });
    await closeMenu();
    items = await openMenu(NAUGHTY);
    assert.deepEqual(items, { Start: true, Stop: false, Delete: true, 'Info..': true });
    await closeMenu();
  });

  it('starts and stops a site against the simulated site', async () => {
    await openMenu(NAUGHTY);
    await page.locator('ul.menu li', { hasText: 'Start' }).click();
    await waitStatus(NAUGHTY, 1);
    await openMenu(NAUGHTY);
    await page.locator('ul.menu li', { hasText: 'Stop' }).click();
    await waitStatus(NAUGHTY, 2);
  });

  it('deletes a site after its check-box question', async () => {
    await openMenu('Annex');
    await page.locator('ul.menu li', { hasText: 'Delete' }).click();
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.equal(await box.locator('.caption').textContent(), 'Ostrel');
    assert.equal(await box.locator('.text').textContent(), 'Do you really want to delete the schedule?');
    assert.ok(await box.locator('input[type=checkbox]').isChecked());
    await page.screenshot({ path: path.join(SHOTS, 'delete-question.png') });
    await box.locator('button', { hasText: 'Yes' }).click();
    await row('Annex').waitFor({ state: 'detached' });
    assert.equal(await page.locator('#contents tbody tr').count(), 3);
  });

  it('refuses requests without the token, from a foreign host or origin', async () => {
    const host = { Host: '127.0.0.1:' + port };
    const cookie = 'ostrel_token_' + port + '=' + token;
    assert.equal(await request(port, { headers: host }), 403);
    assert.equal(await request(port, { pathName: '/events', headers: host }), 403);
    assert.equal(await request(port, { headers: { Host: 'attacker.example:' + port, Cookie: cookie } }), 403);
    const post = (origin) => request(port, {
      method: 'POST', pathName: '/archiver/startAll', body: '{"args":[]}',
      headers: { ...host, Cookie: cookie, Origin: origin, 'Content-Type': 'application/json' },
    });
    assert.equal(await post('http://attacker.example'), 403);
    assert.equal(await request(port, { headers: { ...host, Cookie: cookie } }), 200);
  });

  it('a second instance names the first and exits 0', async () => {
    const second = spawnSync(BIN, ['--listen', '127.0.0.1:0'], { cwd: dir, env, encoding: 'utf8', timeout: WAIT });
    assert.equal(second.status, 0);
    assert.ok(second.stdout.includes(address), second.stdout);
  });

  it('closing the page leaves Ostrel running', async () => {
    await page.close();
    page = await browser.newPage({ viewport: { width: 1100, height: 420 }, bypassCSP: true });
    page.setDefaultTimeout(WAIT);
    await page.goto(address);
    await page.locator('#contents tbody tr').nth(2).waitFor();
    assert.equal(ostrel.exitCode, null);
  });

  it('exit asks, then Ostrel shuts down in order', async () => {
    await page.locator('#appMenu').click();
    await page.locator('ul.menu li', { hasText: 'Exit' }).click();
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.equal(await box.locator('.text').textContent(), 'Do you really want to exit Ostrel?');
    await page.screenshot({ path: path.join(SHOTS, 'exit-question.png') });
    await box.locator('button', { hasText: 'No' }).click();
    await box.waitFor({ state: 'detached' });
    assert.equal(ostrel.exitCode, null);
    await page.locator('#appMenu').click();
    await page.locator('ul.menu li', { hasText: 'Exit' }).click();
    await page.locator('.dialog.messageBox button', { hasText: 'Yes' }).click();
    assert.equal(await exited(ostrel, 60000), 0);
    assert.match(ostrelOutput, /Ostrel is stopping \(Exit\)\.\nOstrel stopped\.\n/);
    await page.locator('#offline:not([hidden])').waitFor();
    assert.match(await page.locator('#offline').textContent(), /Ostrel has ended/);
  });
});
