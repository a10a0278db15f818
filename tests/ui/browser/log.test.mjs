// Browser tests of the log viewer: the real ostrel with a prepared log (150
// entries of one site over two days, a few of a deleted site), headless
// Chromium: paging, the site filter, one day's range, texts drawn literally.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { Harness, typeIntoPicker } from './infoHarness.mjs';

const MARKUP = "<b>bold</b> & 'quoted'";

describe('the log viewer', () => {
  const h = new Harness();
  let page;

  before(async () => {
    // Stopped sites (their one-second period lies at 03:00): Ostrel writes nothing for them itself.
    h.prepare([
      { name: 'Quiet', port: 1, always: false, start: '03:00:00', stop: '03:00:01' },
      { name: 'Annex', port: 1, always: false, start: '03:00:00', stop: '03:00:01' },
    ], {
      entries: [
        { site: 'Quiet', count: 60, start: '2024/05/01 08:00:00', code: 1, text: 'day one' },
        { site: 'Quiet', count: 90, start: '2024/05/02 08:00:00', code: 2, text: 'day two' },
        { site: 'Annex', count: 4, start: '2024/05/02 12:00:00', code: 9, text: '/srv/annex.strg' },
        { site: 'Annex', count: 1, start: '2024/05/02 13:00:00', code: 25, text: MARKUP, level: 1 },
      ],
      delete: ['Annex'],
    });
    page = await h.start();
    await page.locator('#toolbar li.log').waitFor();
  });

  after(async () => {
    await h.stop();
  });

  const log = () => page.locator('.dialog.logViewer');
  const cells = (column) => log().locator('.lgList tbody td:nth-child(' + column + ')').allTextContents();
  const label = () => log().locator('.lgPage').textContent();
  const enabled = async () => Promise.all(['lgFirst', 'lgPrevious', 'lgNext', 'lgLast']
    .map((c) => log().locator('button.' + c).isEnabled()));
  async function search() {
    const before = await log().locator('.lgList tbody').innerHTML();
    await log().locator('button.lgSearch').click();
    await page.waitForFunction((b) => document.querySelector('.logViewer .lgList tbody').innerHTML !== b, before)
      .catch(() => {}); // the same rows again
  }

  it('opens on every entry, newest first, one hundred a page', async () => {
    await page.locator('#toolbar li.log').click();
    await log().waitFor();
    assert.match(await log().locator('.caption').textContent(), /^Log - /);
    assert.deepEqual(await log().locator('.lgList thead th:not(.lgHidden)').allTextContents(), ['Level', 'Time', 'Site', 'Message']);
    assert.equal(await label(), '1 / 2');
    assert.equal(await log().locator('.lgList tbody tr').count(), 100);
    assert.deepEqual(await enabled(), [false, false, true, true]);
    const times = await cells(3);
    assert.equal(times[0], '2024/05/02 13:00:00');
    assert.equal((await cells(4))[0], 'Annex(deleted)');
    assert.equal((await cells(2))[0], 'Error');
    // Texts are drawn as text: the markup shows literally.
    assert.equal((await cells(5))[0], 'Internal exception occured : ' + MARKUP + ' 0');
    assert.equal(await log().locator('.lgList tbody b').count(), 0);
    assert.equal((await cells(5))[1], 'Storage added : /srv/annex.strg 3');
    assert.deepEqual(await log().locator('select.lgSite option').allTextContents(), ['(All Sites)', 'Annex(deleted)', 'Quiet']);
    assert.ok(await log().locator('.lgFrom input').first().isDisabled());
    await h.shot('log.png');
  });

  it('pages forward, back, to the last and the first page', async () => {
    await log().locator('button.lgNext').click();
    await page.waitForFunction(() => document.querySelector('.logViewer .lgPage').textContent === '2 / 2');
    assert.equal(await log().locator('.lgList tbody tr').count(), 55);
    assert.deepEqual(await enabled(), [true, true, false, false]);
    assert.equal((await cells(5)).at(-1), 'Start archiving : day one 0'); // the oldest entry
    await log().locator('button.lgFirst').click();
    await page.waitForFunction(() => document.querySelector('.logViewer .lgPage').textContent === '1 / 2');
    await log().locator('button.lgLast').click();
    await page.waitForFunction(() => document.querySelector('.logViewer .lgPage').textContent === '2 / 2');
    await log().locator('button.lgPrevious').click();
    await page.waitForFunction(() => document.querySelector('.logViewer .lgPage').textContent === '1 / 2');
    assert.equal(await log().locator('.lgList tbody tr').count(), 100);
  });

  it('narrows to one site, and ">>" then shows its oldest fifty', async () => {
    await log().locator('select.lgSite').selectOption({ label: 'Quiet' });
    await search();
    assert.equal(await label(), '1 / 2');
    assert.ok((await cells(4)).every((site) => site === 'Quiet'));
    await log().locator('button.lgLast').click();
    await page.waitForFunction(() => document.querySelector('.logViewer .lgPage').textContent === '2 / 2');
    assert.equal(await log().locator('.lgList tbody tr').count(), 50);
    assert.equal((await cells(5)).at(-1), 'Start archiving : day one 0');
  });

  it('one day in From and To shows that day only', async () => {
    await log().locator('label.lgCheck', { hasText: 'From' }).locator('input').check();
    await page.waitForFunction(() => !document.querySelector('.logViewer .lgFrom input').disabled);
    await typeIntoPicker(log().locator('.picker.lgFrom'), '2024/05/01');
    await log().locator('label.lgCheck', { hasText: 'To' }).locator('input').check();
    await page.waitForFunction(() => !document.querySelector('.logViewer .lgTo input').disabled);
    await typeIntoPicker(log().locator('.picker.lgTo'), '2024/05/01');
    await search();
    await page.waitForFunction(() => document.querySelector('.logViewer .lgPage').textContent === '1 / 1');
    assert.equal(await log().locator('.lgList tbody tr').count(), 60);
    assert.ok((await cells(3)).every((t) => t.startsWith('2024/05/01 ')));
    assert.deepEqual(await enabled(), [false, false, false, false]);
    await h.shot('log-one-day.png');
  });

  it('a search that finds nothing says so', async () => {
    await log().locator('select.lgSite').selectOption({ label: 'Annex(deleted)' });
    await log().locator('button.lgSearch').click();
    const box = page.locator('.dialog.messageBox');
    await box.waitFor();
    assert.equal(await box.locator('.text').textContent(), 'No data found.');
    await box.locator('button', { hasText: 'OK' }).click();
    await box.waitFor({ state: 'detached' });
    assert.equal(await log().locator('.lgList tbody tr').count(), 0);
    assert.equal(await label(), '1 / 1');
    await page.keyboard.press('Escape');
    await log().waitFor({ state: 'detached' });
    assert.deepEqual(h.pageErrors, []);
  });
});
