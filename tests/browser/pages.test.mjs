// The pages of `tavolin serve` in headless Chromium: walking census -> class -> instance ->
// referrer -> path by clicking, the back button, a near-miss search, sorting the baseline
// table, a String holding markup, and no console error on any page. Each page's screenshot
// goes to $SHOTS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const { TAVOLIN, WEB_DUMPS, SHOTS, CHROMIUM } = process.env;
mkdirSync(SHOTS, { recursive: true });

// Starts `tavolin serve` and resolves with its base URL once it prints it.
function serve(args) {
  const child = spawn(TAVOLIN, ['serve', '--port', '0', ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  return new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/127\.0\.0\.1:\d+\//);
      if (m) resolve({ child, url: m[0].slice(0, -1) });
    });
    child.on('exit', (code) => reject(new Error(`serve exited with ${code}: ${out}`)));
  });
}

let shop, demo, browser, profile;
const problems = [];  // console errors and page errors, from every page

before(async () => {
  shop = await serve(['--heap', join(WEB_DUMPS, 'shop-later.hprof'),
                      '--baseline', join(WEB_DUMPS, 'shop-earlier.hprof')]);
  demo = await serve([]);
  profile = mkdtempSync(join(tmpdir(), 'tavolin-chromium-'));
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           `--user-data-dir=${profile}`],
  });
});

after(async () => {
  await browser?.close();
  for (const s of [shop, demo]) s?.child.kill('SIGTERM');
  if (profile) rmSync(profile, { recursive: true, force: true });
});

async function newPage() {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`${page.url()}: ${m.text()}`); });
  page.on('pageerror', (e) => problems.push(`${page.url()}: ${e.message}`));
  page.on('dialog', async (d) => { problems.push(`dialog: ${d.message()}`); await d.dismiss(); });
  return page;
}

async function shot(page, name) {
  await page.screenshot({ path: join(SHOTS, `${name}.png`), fullPage: true });
}

// Clicks the first link matching `selector` whose text matches `text`, and waits for the page.
async function follow(page, selector, text) {
  const links = await page.$$(selector);
  for (const link of links) {
    const t = await link.evaluate((a) => a.textContent);
    if (!text || t.includes(text)) {
      await Promise.all([page.waitForNavigation(), link.click()]);
      return;
    }
  }
  assert.fail(`no link ${selector} with ${text} on ${page.url()}`);
}

test('census -> class -> instance -> referrer -> path by clicking, and back', async () => {
  const page = await newPage();
  await page.goto(`${shop.url}/classes`);
  await shot(page, '01-census-baseline');
  await follow(page, 'table a[href^="/class/"]', 'shop/Session');
  assert.match(await page.$eval('h1', (h) => h.textContent), /Class shop\/Session/);
  await shot(page, '02-class');
  await follow(page, 'table a[href^="/object/"]');
  const objectUrl = page.url();
  assert.match(await page.$eval('h1', (h) => h.textContent), /Object 0x[0-9a-f]+ shop\/Session/);
  await shot(page, '03-object');
  await follow(page, 'h2#referrers + p + table a[href^="/object/"]');
  assert.match(await page.$eval('h1', (h) => h.textContent), /Array .*java\/lang\/Object\[\]/);
  const path = await page.$$eval('table.path tr', (rows) => rows.map((r) => r.textContent));
  assert.ok(path.some((r) => /static field\s*sessions/.test(r)), path.join('\n'));
  await shot(page, '04-referrer-path');
  await page.goBack();
  assert.equal(page.url(), objectUrl);
  assert.match(await page.$eval('h1', (h) => h.textContent), /shop\/Session/);
  await page.close();
});

test('a near-miss class name in the search box offers the class', async () => {
  const page = await newPage();
  await page.goto(`${shop.url}/`);
  await shot(page, '05-overview');
  await page.type('input[name=q]', 'shop.Sesion');
  await Promise.all([page.waitForNavigation(), page.keyboard.press('Enter')]);
  assert.match(await page.$eval('main', (m) => m.textContent), /Did you mean shop\/Session\?/);
  await shot(page, '06-did-you-mean');
  await follow(page, 'p.note a');
  assert.match(await page.$eval('h1', (h) => h.textContent), /Class shop\/Session/);
  await page.close();
});

test('the baseline table sorts by a column, both ways', async () => {
  const page = await newPage();
  await page.goto(`${shop.url}/classes`);
  const firstClass = () => page.$eval('tbody tr td:nth-child(2)', (td) => td.textContent);
  assert.equal(await firstClass(), 'shop/Order');  // largest growth first
  await follow(page, 'th[data-column=countChange] a');
  assert.match(page.url(), /sort=countChange&order=desc/);
  assert.equal(await firstClass(), 'shop/Order');
  await follow(page, 'th[data-column=countChange] a');
  assert.match(page.url(), /order=asc/);
  const changes = await page.$$eval('tbody tr td:nth-child(5)', (tds) => tds.map((t) => Number(t.textContent.replace(/[+,]/g, ''))));
  assert.deepEqual(changes, [...changes].sort((a, b) => a - b));
  await shot(page, '07-census-sorted');
  await page.close();
});

test('a String holding markup shows as text and runs nothing', async () => {
  const page = await newPage();
  await page.goto(`${shop.url}/search?q=@2008`);  // the String's dump id
  const text = await page.$eval('pre.text', (p) => p.textContent);
  assert.ok(text.includes("<script>document.title='pwned'</script><b>bold</b>"), text);
  assert.ok(!(await page.title()).includes('pwned'));
  assert.equal(await page.$$eval('script', (s) => s.length), 0);
  assert.equal(await page.$$eval('main b', (b) => b.length), 0);
  await shot(page, '08-markup-string');
  await page.goto(`${shop.url}/threads`);
  assert.match(await page.$eval('main', (m) => m.textContent), /<i>worker<\/i>/);
  await page.close();
});

test('the demo heap: overview and the leaked session (the README shows these)', async () => {
  const page = await newPage();
  await page.goto(`${demo.url}/`);
  assert.equal(await page.$$eval('svg rect', (r) => r.length) > 0, true);
  await shot(page, 'demo-overview');
  await page.goto(`${demo.url}/search?q=com.acme.shop.SessionCache`);
  await page.goto(`${demo.url}/classes?prefix=com.acme.shop.`);
  await follow(page, 'table a[href^="/class/"]', 'com/acme/shop/Session');
  await follow(page, 'table a[href^="/object/"]');
  assert.match(await page.$eval('main', (m) => m.textContent), /expired/);
  await shot(page, 'demo-session');
  for (const path of ['/threads', '/roots', '/missing', '/classes?credit=1']) {
    await page.goto(`${demo.url}${path}`);
    await shot(page, `demo-${path.replace(/[^a-z]/g, '')}`);
  }
  await page.close();
  assert.deepEqual(problems, []);
});
