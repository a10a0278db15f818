// What the info sheet's, reschedule dialog's and log viewer's browser tests
// start: simulated sites on ports the site page accepts (1501 to 32001), the
// app.db fixture (sites, log entries), the real ostrel on a free loopback port
// and headless Chromium on its page. Every wait is bounded.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const WAIT = 30000;
export const SHOTS = process.env.OSTREL_SCREENSHOTS || path.join(os.tmpdir(), 'ostrel-screenshots');
const BIN = process.env.OSTREL_BIN;
const SITESIM = process.env.OSTREL_SITESIM;
const FIXTURE = process.env.OSTREL_UI_FIXTURE;
const LOG_FIXTURE = process.env.OSTREL_LOG_FIXTURE;

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
    if (child.exitCode !== null || child.signalCode !== null) return resolve(child.exitCode);
    const timer = setTimeout(() => reject(new Error('did not exit within ' + ms + ' ms')), ms);
    child.on('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

function canListen(host, port) {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.once('error', () => resolve(false));
    server.listen(port, host, () => server.close(() => resolve(true)));
  });
}

// A port between 1501 and 32001 that is free on every host named.
export async function freePortInRange(hosts = ['127.0.0.1']) {
  const base = 3000 + ((process.pid * 97) % 26000);
  for (let i = 0; i < 300; ++i) {
    const port = 1501 + ((base + i * 173) % 30500);
    let free = true;
    for (const host of hosts) free = free && await canListen(host, port);
    if (free) return port;
  }
  throw new Error('no free port between 1501 and 32001');
}

export class Harness {
  constructor() {
    this.children = [];
    this.output = new Map(); // child → its output lines
  }

  // A simulated site; resolves to its port. Extra arguments are passed on.
  async sitesim(host, port, extra = []) {
    const child = spawn(SITESIM, ['--listen', host + ':' + port, '--growing', '--anchor-now', ...extra],
                        { stdio: ['ignore', 'pipe', 'inherit'] });
    this.children.push(child);
    const output = [];
    this.output.set(child, output);
    const bound = Number((await waitForLine(child, /^(\d+)$/, 'site port'))[1]);
    lines(child, (line) => output.push(line));
    return { child, port: bound, output };
  }

  // app.db with the sites (ostrel-ui-fixture) and then the log entries (ostrel-log-fixture).
  prepare(sites, log) {
    assert.ok(BIN && SITESIM && FIXTURE, 'OSTREL_BIN, OSTREL_SITESIM and OSTREL_UI_FIXTURE must be set');
    fs.mkdirSync(SHOTS, { recursive: true });
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrel-info-ui-'));
    fs.writeFileSync(path.join(this.dir, 'sites.json'), JSON.stringify(sites));
    const fixture = spawnSync(FIXTURE, [this.dir, path.join(this.dir, 'sites.json')], { encoding: 'utf8', timeout: WAIT });
    assert.equal(fixture.status, 0, fixture.stderr);
    if (log) {
      assert.ok(LOG_FIXTURE, 'OSTREL_LOG_FIXTURE must be set');
      fs.writeFileSync(path.join(this.dir, 'log.json'), JSON.stringify(log));
      const logged = spawnSync(LOG_FIXTURE, [this.dir, path.join(this.dir, 'log.json')], { encoding: 'utf8', timeout: WAIT });
      assert.equal(logged.status, 0, logged.stderr);
    }
  }

  async start(viewport = { width: 1100, height: 760 }) {
    const env = { ...process.env, XDG_RUNTIME_DIR: this.dir, XDG_DOCUMENTS_DIR: path.join(this.dir, 'docs'),
                  DISPLAY: '', WAYLAND_DISPLAY: '' };
    this.ostrel = spawn(BIN, ['--listen', '127.0.0.1:0'], { cwd: this.dir, env, stdio: ['ignore', 'pipe', 'inherit'] });
    this.children.push(this.ostrel);
    const m = await waitForLine(this.ostrel, /Open (http:\/\/127\.0\.0\.1:(\d+)\/\?token=([0-9a-f]+))/, 'address');
    this.address = m[1];
    this.browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync'],
    });
    this.page = await (await this.browser.newContext({ viewport, bypassCSP: true })).newPage();
    this.page.setDefaultTimeout(WAIT);
    this.pageErrors = [];
    this.page.on('pageerror', (e) => this.pageErrors.push(String(e)));
    await this.page.goto(this.address);
    return this.page;
  }

  async stop() {
    if (this.browser) await this.browser.close();
    for (const child of this.children.reverse()) {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        await exited(child, 15000).catch(() => child.kill('SIGKILL'));
      }
    }
    if (this.dir) fs.rmSync(this.dir, { recursive: true, force: true });
  }

  shot(name) { return this.page.screenshot({ path: path.join(SHOTS, name) }); }

  row(name) { return this.page.locator('#contents tbody tr', { hasText: name }); }

  async waitStatus(name, status) {
    await this.page.waitForFunction(([n, s]) => {
      const tr = Array.from(document.querySelectorAll('#contents tbody tr')).find((r) => r.cells[1].textContent === n);
      return tr && tr.cells[0].getAttribute('status') === s;
    }, [name, String(status)], { timeout: WAIT });
  }
}

// Types a value into a picker ("yyyy/MM/dd HH:mm:ss", "HH:mm:ss" or "yyyy/MM/dd"), segment by segment.
export async function typeIntoPicker(picker, value) {
  const parts = picker.locator('input.pickerPart');
  const numbers = value.split(/\D+/).filter((s) => s !== '');
  const count = await parts.count();
  for (let i = 0; i < count; ++i) {
    const part = parts.nth(i);
    await part.click();
    await part.press('Control+a');
    await part.pressSequentially(numbers[i]);
  }
  await parts.nth(count - 1).blur();
}

// The text a picker shows.
export function pickerText(picker) {
  return picker.evaluate((root) => Array.from(root.childNodes).filter((n) => !(n.classList && n.classList.contains('pickerSpin')))
    .map((n) => (n.tagName === 'INPUT' ? n.value : n.textContent)).join(''));
}
